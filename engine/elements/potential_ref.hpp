#pragma once

#include <complex>

#include "element.hpp"

namespace lfe {

// Fixes the potential of its node at zero. Its forward step writes nothing:
// the node reads 0, and keeps the potential it held free, to start from
// once the reference leaves.
class PotentialRef : public ElementImpl<PotentialRef> {
public:
    PotentialRef();

    // What the node's other elements draw from it, counting only those the
    // network last solved lists: a fixed node has no current balance.
    std::complex<double> drawn_current() const;

    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void update_backward_forward() override;
    bool writes_potential(std::size_t) const override { return true; }
};

// Reference for conductors without a neutral: the potentials of its n nodes
// sum to zero, balanced by one current unknown entering at port 0.
class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
public:
    BoundValue<std::complex<double>> current;

    explicit DeltaPotentialRef(int n);

    void add_variables(std::vector<double>& x0) override;
    void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) override;
    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void add_equations(ResidualRows& y, int& index) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
    bool writes_potential(std::size_t) const override { return true; }
};

}  // namespace lfe
