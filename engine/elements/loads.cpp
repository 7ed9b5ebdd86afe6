#include "loads.hpp"

#include <cmath>

namespace lfe {

std::complex<double> PowerLaw::current(const std::complex<double>& s, const std::complex<double>& dv) {
    return std::conj(s / dv);
}

// 1 / dV spelled out: the library's complex division branches on magnitudes,
// which a tape would freeze at the recording point.
ADComplex PowerLaw::current(const ADComplex& s, const ADComplex& dv) {
    const ADScalar m = dv.real() * dv.real() + dv.imag() * dv.imag();
    const ADComplex w(dv.real() / m, -dv.imag() / m);
    const ADComplex sw = s * w;
    return {sw.real(), -sw.imag()};
}

std::complex<double> CurrentLaw::current(const std::complex<double>& i, const std::complex<double>& dv) {
    return (i * dv) / std::hypot(dv.real(), dv.imag());
}

ADComplex CurrentLaw::current(const ADComplex& i, const ADComplex& dv) {
    const ADScalar modulus = CppAD::sqrt(dv.real() * dv.real() + dv.imag() * dv.imag());
    const ADComplex product = i * dv;
    return {product.real() / modulus, product.imag() / modulus};
}

std::complex<double> AdmittanceLaw::current(const std::complex<double>& y, const std::complex<double>& dv) {
    return y * dv;
}

ADComplex AdmittanceLaw::current(const ADComplex& y, const ADComplex& dv) { return y * dv; }

PowerLoad::PowerLoad(int n, const std::complex<double>* powers) : AbstractPowerLoad(n, powers) {}

void PowerLoad::get_inner_currents(std::complex<double>* out) { copy_phase_currents(out); }

DeltaPowerLoad::DeltaPowerLoad(int n, const std::complex<double>* powers) : AbstractPowerLoad(n, powers) {}

void DeltaPowerLoad::get_inner_currents(std::complex<double>* out) { copy_branch_currents<PowerLaw>(powers, out); }

CurrentLoad::CurrentLoad(int n, const std::complex<double>* currents) : AbstractCurrentLoad(n, currents) {}

void CurrentLoad::get_inner_currents(std::complex<double>* out) { copy_phase_currents(out); }

DeltaCurrentLoad::DeltaCurrentLoad(int n, const std::complex<double>* currents)
    : AbstractCurrentLoad(n, currents) {}

void DeltaCurrentLoad::get_inner_currents(std::complex<double>* out) {
    for (std::size_t i = 0; i < currents.size(); ++i) out[i] = compute_branch_current(i);
}

std::complex<double> DeltaCurrentLoad::compute_branch_current(std::size_t i) const {
    return branch_current<CurrentLaw>(currents, i);
}

AdmittanceLoad::AdmittanceLoad(int n, const std::complex<double>* admittances)
    : AbstractAdmittanceLoad(n, admittances) {}

void AdmittanceLoad::get_inner_currents(std::complex<double>* out) { copy_phase_currents(out); }

DeltaAdmittanceLoad::DeltaAdmittanceLoad(int n, const std::complex<double>* admittances)
    : AbstractAdmittanceLoad(n, admittances) {}

void DeltaAdmittanceLoad::get_inner_currents(std::complex<double>* out) {
    copy_branch_currents<AdmittanceLaw>(admittances, out);
}

}  // namespace lfe
