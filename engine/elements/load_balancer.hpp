#pragma once

#include <complex>
#include <vector>

#include "loads.hpp"

namespace lfe {

// Three phases and a neutral drawing I = Y (V_phase - V_neutral). Y is fixed
// at construction from z2, ym and k; the neutral returns the phases' total.
class LoadBalancer : public Load<LoadBalancer> {
public:
    static constexpr bool delta = false;

    BoundValue<Eigen::MatrixXcd> Y;

    LoadBalancer(const std::complex<double>& z2, const std::complex<double>& ym, double k);

    void add_parameters(std::vector<double>& p0) override;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override;
    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void update_backward_forward() override;
    void get_inner_currents(std::complex<double>* out) override;

private:
    template <class Mode, class Matrix>
    void compute_with(const Matrix& y);
};

}  // namespace lfe
