#include "voltage_regulator.hpp"

#include <algorithm>
#include <cmath>

#include "sides.hpp"

namespace lfe {

namespace {

std::complex<double> inverse(const std::complex<double>& z) { return 1.0 / z; }

// Spelled out: the library's complex division branches on magnitudes, which
// a tape would freeze at the recording point.
ADComplex inverse(const ADComplex& z) {
    const ADScalar m = z.real() * z.real() + z.imag() * z.imag();
    return {z.real() / m, -z.imag() / m};
}

}  // namespace

SingleVoltageRegulator::SingleVoltageRegulator(const std::complex<double>& z2, const std::complex<double>& ym,
                                               double u_ref, double u_range, double alpha, double phi)
    : Branch(2, 2), z2(z2), ym(ym), u_ref(u_ref), u_range(u_range), alpha(alpha), phi(phi), tap(1.0) {
    ports[1].connection->merge(ports[3].connection);
}

void SingleVoltageRegulator::update_parameters(const std::complex<double>& new_z2,
                                               const std::complex<double>& new_ym, double new_u_ref) {
    z2.set(new_z2);
    ym.set(new_ym);
    u_ref.set(new_u_ref);
    if (const auto k = estimated_tap()) {
        tap.set(*k);
        ports[2].connection->set_potential_if_free(ports[1].potential() + *k * input_voltage());
    }
}

void SingleVoltageRegulator::disconnect() {
    ports[0].detach();
    Port::detach_together({&ports[1], &ports[3]});
    ports[2].detach();
}

double SingleVoltageRegulator::compute_tap(double u_out) const {
    const double u = u_ref.get();
    return 1.0 + u_range * std::tanh(((u - u_out) / u) * alpha);
}

// Only the stored value takes the estimate: the network also counts unknowns
// through this call, which must not move a solved tap.
void SingleVoltageRegulator::add_variables(std::vector<double>& x0) {
    if (const auto k = estimated_tap()) tap.value = *k;
    tap.add(x0);
}

void SingleVoltageRegulator::add_parameters(std::vector<double>& p0) {
    z2.add(p0);
    ym.add(p0);
    u_ref.add(p0);
}

void SingleVoltageRegulator::bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) {
    tap.bind(ax, x, index);
}

void SingleVoltageRegulator::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) {
    z2.bind(ap, p, index);
    ym.bind(ap, p, index);
    u_ref.bind(ap, p, index);
}

template <class Complex>
std::pair<Complex, Complex> SingleVoltageRegulator::winding_currents(const Complex& u1, const Complex& u2,
                                                                     const Complex& z, const Complex& y,
                                                                     const Complex& n) {
    const Complex i2 = inverse(z) * (u2 - n * u1);
    const Complex i1 = y * u1 - std::conj(n) * i2;
    return {i1, i2};
}

void SingleVoltageRegulator::compute_currents(bool use_ad) {
    if (use_ad) {
        const ADComplex u1 = ports[0].potential_ad() - ports[1].potential_ad();
        const ADComplex u2 = ports[2].potential_ad() - ports[3].potential_ad();
        const auto [i1, i2] = winding_currents(u1, u2, z2.ad, ym.ad, ratio(tap.ad));
        ADComplexVector currents1(2), currents2(2);
        currents1 << i1, ad_negate(i1);
        currents2 << i2, ad_negate(i2);
        set_side_currents_ad(currents1, currents2);
        return;
    }
    const auto [i1, i2] = winding_currents(input_voltage(), output_voltage(), z2.get(), ym.get(), ratio(tap.get()));
    set_currents(i1, i2);
}

void SingleVoltageRegulator::add_equations(ResidualRows& y, int& index) {
    const ADComplex u2 = ports[2].potential_ad() - ports[3].potential_ad();
    const ADScalar magnitude = CppAD::sqrt(u2.real() * u2.real() + u2.imag() * u2.imag());
    y[index] = tap.ad - (1.0 + u_range * CppAD::tanh(alpha * ((u_ref.ad - magnitude) / u_ref.ad)));
    index += 1;
}

void SingleVoltageRegulator::update_backward_forward() {
    const std::complex<double> i2 = -others_current(ports[2]);
    set_currents(ym.get() * input_voltage() - std::conj(ratio(tap.get())) * i2, i2);
}

// The tap moves part of the way to what the law asks for at the present
// output, then the output potential follows the new ratio.
double SingleVoltageRegulator::backward_forward_error() {
    const std::complex<double> u2 = output_voltage();
    const double u = u_ref.get();
    const double target = std::fma(u_range, std::tanh(((u - std::hypot(u2.real(), u2.imag())) / u) * alpha), 1.0);
    const double quotient = 1.0 / (u_range * alpha);
    const double weight = std::isnan(quotient) ? 1.0 : std::min(quotient, 1.0);
    const double k = tap.get();
    tap.set(std::fma(weight, target - k, k));

    const std::complex<double> v =
        ratio(tap.get()) * input_voltage() + z2.get() * ports[2].current + ports[3].potential();
    const std::complex<double> move = v - ports[2].potential();
    ports[2].connection->set_potential_if_free(v);
    return max_move(std::max(std::abs(move.real()), std::abs(move.imag())), nan_mark(move));
}

std::complex<double> SingleVoltageRegulator::input_voltage() const {
    return ports[0].potential() - ports[1].potential();
}

std::complex<double> SingleVoltageRegulator::output_voltage() const {
    return ports[2].potential() - ports[3].potential();
}

void SingleVoltageRegulator::set_currents(const std::complex<double>& i1, const std::complex<double>& i2) {
    ports[0].current = i1;
    ports[1].current = -i1;
    ports[2].current = i2;
    ports[3].current = -i2;
}

std::optional<double> SingleVoltageRegulator::estimated_tap() const {
    const std::complex<double> u1 = input_voltage();
    const double magnitude = std::hypot(u1.real(), u1.imag());
    if (!(magnitude > 0.0)) return std::nullopt;
    double k = u_ref.get() / magnitude;
    if (k < 1.0 - u_range) k = 1.0 - u_range;
    if (1.0 + u_range < k) k = 1.0 + u_range;
    return k;
}

}  // namespace lfe
