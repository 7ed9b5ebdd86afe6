#pragma once

#include "abstract_solver.hpp"

namespace lfe {

// Sweeps the elements: backward steps set port currents from downstream, then
// forward steps move node potentials and report how far.
class BackwardForward : public AbstractSolver {
public:
    explicit BackwardForward(ElectricalNetwork* network);

    // Throws std::invalid_argument for a NaN tolerance, and std::runtime_error
    // "2 NaN ..." for a sweep that moves a node by NaN or stops with a
    // non-finite potential or current.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

private:
    double sweep();
};

}  // namespace lfe
