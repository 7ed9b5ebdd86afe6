#include "load_balancer.hpp"

namespace lfe {

namespace {

constexpr Eigen::Index phases = 3;

// Inverse of the matrix with d on the diagonal and o elsewhere.
Eigen::MatrixXcd balancer_admittance(const std::complex<double>& z2, const std::complex<double>& ym, double k) {
    const std::complex<double> d = z2 + std::complex<double>(1.0 / (k * k) + 1.0) / ym;
    const std::complex<double> o = std::complex<double>(-1.0, 0.0) / std::complex<double>(k * ym.real(), k * ym.imag());
    Eigen::MatrixXcd m = Eigen::MatrixXcd::Constant(phases, phases, o);
    m.diagonal().setConstant(d);
    return m.partialPivLu().inverse();
}

}  // namespace

LoadBalancer::LoadBalancer(const std::complex<double>& z2, const std::complex<double>& ym, double k)
    : Load<LoadBalancer>(phases + 1), Y(balancer_admittance(z2, ym, k)) {}

void LoadBalancer::add_parameters(std::vector<double>& p0) { Y.add(p0); }

void LoadBalancer::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) { Y.bind(ap, p, index); }

void LoadBalancer::compute_currents(bool use_ad) {
    if (use_ad)
        compute_with<ADMode>(Y.ad);
    else
        compute_with<PlainMode>(Y.get());
}

void LoadBalancer::update_backward_forward() { compute_with<PlainMode>(Y.get()); }

void LoadBalancer::get_inner_currents(std::complex<double>* out) { copy_phase_currents(out); }

template <class Mode, class Matrix>
void LoadBalancer::compute_with(const Matrix& y) {
    using Vector = Eigen::Matrix<typename Mode::Complex, Eigen::Dynamic, 1>;
    Vector u(phases);
    for (Eigen::Index r = 0; r < phases; ++r) u[r] = branch_voltage<Mode>(static_cast<std::size_t>(r));
    const Vector i = y * u;
    set_port_currents<Mode>(std::vector<typename Mode::Complex>(i.begin(), i.end()));
}

}  // namespace lfe
