#include "potential_ref.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "sides.hpp"

namespace lfe {

namespace {

// Larger of the two parts' magnitudes; NaN if either part is NaN.
double part_error(const std::complex<double>& z) {
    if (std::isnan(nan_mark(z))) return std::numeric_limits<double>::quiet_NaN();
    return std::max(std::abs(z.real()), std::abs(z.imag()));
}

// Port 0 carries the current unknown: without it there is nothing to write.
int delta_ref_ports(int n) {
    if (n < 1)
        throw std::invalid_argument("A delta potential reference needs at least one port, got " +
                                    std::to_string(n));
    return n;
}

}  // namespace

PotentialRef::PotentialRef() : ElementImpl<PotentialRef>(1) { ports[0].fix_node(); }

std::complex<double> PotentialRef::drawn_current() const { return ports[0].current + others_current(ports[0]); }

void PotentialRef::compute_currents(bool use_ad) { zero_currents(use_ad); }

void PotentialRef::update_backward_forward() { zero_currents(false); }

DeltaPotentialRef::DeltaPotentialRef(int n) : ElementImpl<DeltaPotentialRef>(delta_ref_ports(n)), current(0.0) {
    for (auto& port : ports) port.hold_no_potential();
}

void DeltaPotentialRef::add_variables(std::vector<double>& x0) { current.add(x0); }

void DeltaPotentialRef::bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) {
    current.bind(ax, x, index);
}

void DeltaPotentialRef::compute_currents(bool use_ad) {
    zero_currents(use_ad);
    if (use_ad)
        ports[0].current_ad = current.ad;
    else
        ports[0].current = current.get();
}

void DeltaPotentialRef::add_equations(ResidualRows& y, int& index) {
    ADComplex sum = ad_zero();
    for (const auto& port : ports) sum += port.potential_ad();
    y[index] = sum.real();
    y[index + 1] = sum.imag();
    index += 2;
}

void DeltaPotentialRef::update_backward_forward() { zero_currents(false); }

double DeltaPotentialRef::backward_forward_error() {
    std::complex<double> sum = 0.0;
    for (const auto& port : ports) sum += port.potential();
    const auto shift = sum / static_cast<double>(ports.size());
    double error = part_error(sum);
    for (auto& port : ports) {
        const auto v = port.potential() - shift;
        error = max_move(error, nan_mark(v));
        port.connection->set_potential_if_free(v);
    }
    return error;
}

}  // namespace lfe
