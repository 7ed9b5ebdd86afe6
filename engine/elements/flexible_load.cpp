#include "flexible_load.hpp"

#include <cmath>

namespace lfe {

std::complex<double> FlexiblePower::of(const FlexibleParameter& parameter, const std::complex<double>& s_th,
                                       const std::complex<double>& dv) {
    return parameter.compute_power(std::hypot(dv.real(), dv.imag()), s_th);
}

ADComplex FlexiblePower::of(const FlexibleParameter& parameter, const ADComplex& s_th, const ADComplex& dv) {
    return parameter.compute_power_ad(CppAD::sqrt(dv.real() * dv.real() + dv.imag() * dv.imag()), s_th);
}

FlexibleLoad::FlexibleLoad(int n, const std::complex<double>* powers, std::vector<FlexibleParameter*>&& parameters)
    : AbstractFlexibleLoad(n, powers, std::move(parameters)) {}

void FlexibleLoad::get_inner_currents(std::complex<double>* out) { copy_phase_currents(out); }

void FlexibleLoad::get_powers(std::complex<double>* out) { copy_powers(out); }

DeltaFlexibleLoad::DeltaFlexibleLoad(int n, const std::complex<double>* powers,
                                     std::vector<FlexibleParameter*>&& parameters)
    : AbstractFlexibleLoad(n, powers, std::move(parameters)) {}

void DeltaFlexibleLoad::get_inner_currents(std::complex<double>* out) {
    for (std::size_t i = 0; i < powers.size(); ++i) {
        const auto [dv, s] = compute_branch_power(i);
        out[i] = PowerLaw::current(s, dv);
    }
}

void DeltaFlexibleLoad::get_powers(std::complex<double>* out) { copy_powers(out); }

std::pair<std::complex<double>, std::complex<double>> DeltaFlexibleLoad::compute_branch_power(std::size_t i) const {
    return branch_power(i);
}

}  // namespace lfe
