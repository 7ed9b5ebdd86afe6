#pragma once

#include <complex>
#include <vector>

#include "element.hpp"

namespace lfe {

// Closed switch: equal potentials on both sides of each conductor; the
// conductor currents J_i (into side-1 port i, out of side-2 port i) are unknowns.
class Switch : public Branch {
public:
    std::vector<BoundValue<std::complex<double>>> currents;

    explicit Switch(int n);

    void add_variables(std::vector<double>& x0) override;
    void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) override;
    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void add_equations(ResidualRows& y, int& index) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
    bool writes_potential(std::size_t port) const override { return on_side2(port); }
};

// Open switch: no current on any terminal and nothing ties the potentials.
class OpenSwitch : public Branch {
public:
    explicit OpenSwitch(int n);

    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void update_backward_forward() override;
};

}  // namespace lfe
