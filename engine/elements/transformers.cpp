#include "transformers.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

#include "loads.hpp"
#include "sides.hpp"

namespace lfe {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double sqrt3 = 1.7320508075688772;
// Phases b and c of a positive-sequence set, as unit phasors.
constexpr std::complex<double> phase_b{-0.49999999999999983, -0.8660254037844387};
constexpr std::complex<double> phase_c{-0.5000000000000004, 0.8660254037844384};

// 1 / z: Annex G division on plain values; on a tape the library's formula,
// which has no branches for the recording to freeze.
std::complex<double> inverse(const std::complex<double>& z) { return 1.0 / z; }
ADComplex inverse(const ADComplex& z) { return ADScalar(1.0) / z; }

std::complex<double> divide(const std::complex<double>& a, const std::complex<double>& b) { return a / b; }
ADComplex divide(const ADComplex& a, const ADComplex& b) { return a * inverse(b); }

std::complex<double> negated(const std::complex<double>& z) { return -z; }
ADComplex negated(const ADComplex& z) { return ad_negate(z); }

template <class Mode>
PortVector<Mode> opposite_pair(const typename Mode::Complex& i) {
    PortVector<Mode> pair(2);
    pair << i, negated(i);
    return pair;
}

// rho·unit part by part, by the rules of std::polar: a NaN magnitude or one
// with its sign bit set (-0.0 too) gives NaN; an infinite one times a zero part gives 0.
std::complex<double> scaled(double rho, const std::complex<double>& unit) {
    if (std::isnan(rho) || std::signbit(rho)) return {nan, nan};
    const double x = rho * unit.real();
    const double y = rho * unit.imag();
    return {std::isnan(x) ? 0.0 : x, std::isnan(y) ? 0.0 : y};
}

std::complex<double> polar(double rho, double theta) {
    if (!std::isfinite(theta) && rho >= 0.0) return {std::isinf(rho) ? rho : nan, nan};
    return scaled(rho, {std::cos(theta), std::sin(theta)});
}

Eigen::VectorXcd potentials(std::initializer_list<std::complex<double>> values) {
    return Eigen::Map<const Eigen::VectorXcd>(values.begin(), static_cast<Eigen::Index>(values.size()));
}

// Phase-to-neutral potentials r, r·m_b, r·m_c of n ports; a fourth port is the neutral at 0.
Eigen::VectorXcd balanced(double r, Eigen::Index n) {
    Eigen::VectorXcd v = Eigen::VectorXcd::Zero(n);
    v.head(3) << scaled(r, 1.0), scaled(r, phase_b), scaled(r, phase_c);
    return v;
}

void write_currents(const std::vector<Port*>& side, const Eigen::VectorXcd& currents) {
    for (std::size_t q = 0; q < side.size(); ++q) side[q]->current = currents[static_cast<Eigen::Index>(q)];
}

double magnitude(const std::complex<double>& z) { return std::hypot(z.real(), z.imag()); }

}  // namespace

TransformerBase::TransformerBase(int n1, int n2, std::complex<double> z2, std::complex<double> ym,
                                 std::complex<double> k)
    : Branch(n1, n2), z2(z2), ym(ym), k(k) {}

void TransformerBase::add_parameters(std::vector<double>& p0) {
    z2.add(p0);
    ym.add(p0);
    k.add(p0);
}

void TransformerBase::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) {
    z2.bind(ap, p, index);
    ym.bind(ap, p, index);
    k.bind(ap, p, index);
}

void TransformerBase::update_transformer_parameters(const std::complex<double>& z2, const std::complex<double>& ym,
                                                    std::complex<double> k) {
    this->z2.set(z2);
    this->ym.set(ym);
    this->k.set(k);
}

template <class X>
void Transformer<X>::compute_currents(bool use_ad) {
    const X& model = static_cast<const X&>(*this);
    if (use_ad) {
        const auto i = model.template currents<ADMode>(side_potentials_ad(side1), side_potentials_ad(side2));
        set_side_currents_ad(i.side1, i.side2);
        return;
    }
    const auto i = model.template currents<PlainMode>(side_potentials(side1), side_potentials(side2));
    write_currents(side1, i.side1);
    write_currents(side2, i.side2);
}

template <class X>
void Transformer<X>::update_backward_forward() {
    throw std::runtime_error("2 No backward-forward method has been defined for transformers yet.");
}

// The tests evaluate the model at their own potentials instead of writing
// them into the nodes, which belong to the network and may hold its solution.
template <class X>
std::pair<double, double> Transformer<X>::run_test(const Eigen::VectorXcd& v1, const Eigen::VectorXcd& v2) const {
    const Eigen::VectorXcd i1 = static_cast<const X&>(*this).template currents<PlainMode>(v1, v2).side1;
    double losses = 0.0;
    for (Eigen::Index q = 0; q < v1.size(); ++q) losses += (v1[q] * std::conj(i1[q])).real();
    return {losses, magnitude(i1[0])};
}

SingleTransformer::SingleTransformer(std::complex<double> z2, std::complex<double> ym, std::complex<double> k)
    : Transformer<SingleTransformer>(2, 2, z2, ym, k) {}

template <class Mode>
SideCurrents<Mode> SingleTransformer::currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const {
    using Complex = typename Mode::Complex;
    const Complex ratio = Mode::value(k);
    const Complex u1 = v1[0] - v1[1];
    const Complex i2 = inverse(Mode::value(z2)) * (v2[0] - v2[1] - ratio * u1);
    const Complex i1 = Mode::value(ym) * u1 - std::conj(ratio) * i2;
    return {opposite_pair<Mode>(i1), opposite_pair<Mode>(i2)};
}

// The LV winding feeds what the rest of its node draws; the HV side follows.
void SingleTransformer::update_backward_forward() {
    const auto i2 = -others_current(*side2[0]);
    side2[0]->current = i2;
    side2[1]->current = -i2;
    const auto u1 = side1[0]->potential() - side1[1]->potential();
    const auto i1 = ym.get() * u1 - std::conj(k.get()) * i2;
    side1[0]->current = i1;
    side1[1]->current = -i1;
}

double SingleTransformer::backward_forward_error() {
    const auto u1 = side1[0]->potential() - side1[1]->potential();
    const auto v = z2.get() * side2[0]->current + k.get() * u1 + side2[1]->potential();
    const auto move = v - side2[0]->potential();
    side2[0]->connection->set_potential_if_free(v);
    return max_move(std::max(std::abs(move.real()), std::abs(move.imag())), nan_mark(v));
}

std::pair<double, double> SingleTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
    const auto [losses, current] =
        run_test(potentials({polar(uhv, 0.0), 0.0}), potentials({polar(ulv, std::arg(k.get())), 0.0}));
    return {losses, current / (sn / uhv)};
}

std::pair<double, double> SingleTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
    const double vsc = magnitude(z2.get()) * sn / (ulv * ulv);
    return {run_test(potentials({vsc * uhv, 0.0}), potentials({0.0, 0.0})).first, vsc};
}

CenterTransformer::CenterTransformer(std::complex<double> z2, std::complex<double> ym, double k)
    : Transformer<CenterTransformer>(2, 3, z2, ym, {k, 0.0}) {}

// Half a has the source voltage +h·U1, half b -h·U1, both from the neutral.
template <class Mode>
SideCurrents<Mode> CenterTransformer::currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const {
    using Complex = typename Mode::Complex;
    using Real = typename Complex::value_type;
    const Real h = Mode::value(k).real() * Real(0.5);
    const Complex u1 = v1[0] - v1[1];
    const Complex z_half = Mode::value(z2) * Real(0.5);
    const Complex ia = divide(v2[0] - (v2[2] + h * u1), z_half);
    const Complex ib = divide(v2[1] - (v2[2] - h * u1), z_half);
    const Complex i1 = Mode::value(ym) * u1 - (ia - ib) * h;
    PortVector<Mode> i2(3);
    i2 << ia, ib, negated(ia) - ib;
    return {opposite_pair<Mode>(i1), i2};
}

std::pair<double, double> CenterTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
    const auto hv = polar(uhv * 0.5, 0.0);
    const auto lv = polar(ulv * 0.5, std::arg(k.get()));
    const auto [losses, current] = run_test(potentials({hv, -hv}), potentials({lv, -lv, 0.0}));
    return {losses, current / (sn / uhv)};
}

std::pair<double, double> CenterTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
    const double vsc = magnitude(z2.get()) * sn / (ulv * ulv);
    const auto hv = polar(vsc * uhv * 0.5, 0.0);
    return {run_test(potentials({hv, -hv}), potentials({0.0, 0.0, 0.0})).first, vsc};
}

namespace {

// Clock numbers are compared as unsigned: a negative one falls in no set.
bool clock_in(int clock, std::initializer_list<unsigned> set) {
    return std::find(set.begin(), set.end(), static_cast<unsigned>(clock)) != set.end();
}

// (A·v)_i = v_(i+1 mod 3); its transpose B takes v_(i-1 mod 3).
Eigen::Matrix3d shift_forward() {
    Eigen::Matrix3d a;
    a << 0, 1, 0, 0, 0, 1, 1, 0, 0;
    return a;
}

// [I | -1]: winding i from phase i to the neutral.
Eigen::MatrixXd star() {
    Eigen::MatrixXd s(3, 4);
    s << Eigen::Matrix3d::Identity(), -Eigen::Vector3d::Ones();
    return s;
}

int ports_of(const std::string& winding) { return winding == "Y" || winding == "y" || winding == "z" ? 4 : 3; }

// The matrices assume the port count of the winding; another count would make them read past the ports.
void check_ports(int n, const std::string& winding, const char* side) {
    if (n != ports_of(winding))
        throw std::invalid_argument(std::string("A ") + winding + " " + side + " winding needs " +
                                    std::to_string(ports_of(winding)) + " ports, got " + std::to_string(n));
}

template <class Complex>
Eigen::Matrix<Complex, Eigen::Dynamic, 1> with_neutral(const Eigen::Matrix<Complex, Eigen::Dynamic, 1>& phases,
                                                       Eigen::Index n, const Complex& zero) {
    Eigen::Matrix<Complex, Eigen::Dynamic, 1> i(n);
    i.head(3) = phases;
    if (n == 4) i[3] = zero - phases.sum();
    return i;
}

}  // namespace

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                                             const std::complex<double>& z2, const std::complex<double>& ym,
                                             double k, int clock)
    : Transformer<ThreePhaseTransformer>(n1, n2, z2, ym, {k, 0.0}),
      orientation(clock_in(clock, {4, 5, 6, 7, 8}) ? -1.0 : 1.0),
      clock(clock),
      whv(whv),
      wlv(wlv) {
    set_hv_winding();
    set_lv_winding();
    check_ports(n1, whv, "HV");
    check_ports(n2, wlv, "LV");
}

void ThreePhaseTransformer::set_hv_winding() {
    if (whv == "Y") {
        hv_voltage_map = star();
        hv_current_map.setIdentity();
    } else if (whv == "D") {
        const Eigen::Matrix3d a = shift_forward();
        hv_voltage_map = Eigen::Matrix3d::Identity() - (clock_in(clock, {0, 4, 5, 6, 10, 11}) ? a : a.transpose());
        hv_current_map = hv_voltage_map.transpose();
    } else {
        throw std::runtime_error("Bad HV winding: " + whv);
    }
}

void ThreePhaseTransformer::set_lv_winding() {
    const Eigen::Matrix3d identity = Eigen::Matrix3d::Identity();
    const Eigen::Matrix3d a = shift_forward();
    const Eigen::Matrix3d b = a.transpose();
    const bool first_sets = clock_in(clock, {0, 1, 2, 6, 7, 8});
    lv_coupling = identity;
    if (wlv == "y") {
        const bool back = clock_in(clock, {2, 8});
        const bool forward = clock_in(clock, {4, 10});
        lv_voltage_map = back ? a * star() : forward ? b * star() : star();
        lv_current_map = back ? b : forward ? a : identity;
        if (back || forward) orientation = -orientation;
    } else if (wlv == "d") {
        lv_voltage_map = identity - (first_sets ? a : b);
        lv_current_map = lv_voltage_map.transpose();
    } else if (wlv == "z") {
        lv_voltage_map = star();
        lv_current_map = identity;
        lv_coupling = identity - (first_sets ? b : a);
    } else {
        throw std::runtime_error("Bad LV winding: " + wlv);
    }
    hv_coupling = -lv_coupling.transpose();
    lv_current_map *= orientation;
    lv_coupling *= orientation;
}

template <class Mode>
SideCurrents<Mode> ThreePhaseTransformer::currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const {
    using Complex = typename Mode::Complex;
    const Complex ratio(Mode::value(k).real());
    const PortVector<Mode> u1 = hv_voltage_map.cast<Complex>() * v1;
    const PortVector<Mode> u2 = lv_voltage_map.cast<Complex>() * v2;
    const Complex y2 = inverse(Mode::value(z2)) * Complex(orientation);
    const PortVector<Mode> j2 = y2 * (u2 - ratio * (lv_coupling.cast<Complex>() * u1));
    const PortVector<Mode> x = Mode::value(ym) * u1 + ratio * (hv_coupling.cast<Complex>() * j2);
    return {with_neutral<Complex>(hv_current_map.cast<Complex>() * x, v1.size(), Mode::zero()),
            with_neutral<Complex>(lv_current_map.cast<Complex>() * j2, v2.size(), Mode::zero())};
}

std::pair<double, double> ThreePhaseTransformer::compute_open_circuit_parameters(double uhv, double ulv,
                                                                                 double sn) {
    const auto e = std::polar(1.0, static_cast<double>(clock) * -std::numbers::pi / 6.0);
    Eigen::VectorXcd v2 = balanced(ulv / sqrt3, static_cast<Eigen::Index>(side2.size()));
    v2.head(3) *= e;
    const auto [losses, current] = run_test(balanced(uhv / sqrt3, static_cast<Eigen::Index>(side1.size())), v2);
    return {losses, current / (sn / (uhv * sqrt3))};
}

std::pair<double, double> ThreePhaseTransformer::compute_short_circuit_parameters(double uhv, double ulv,
                                                                                  double sn) {
    const double z = magnitude(z2.get()) / (wlv == "d" ? 3.0 : 1.0);
    const double vsc = z * sn / (ulv * ulv);
    const auto v1 = balanced(vsc * uhv / sqrt3, static_cast<Eigen::Index>(side1.size()));
    return {run_test(v1, Eigen::VectorXcd::Zero(static_cast<Eigen::Index>(side2.size()))).first, vsc};
}

template class Transformer<SingleTransformer>;
template class Transformer<CenterTransformer>;
template class Transformer<ThreePhaseTransformer>;

}  // namespace lfe
