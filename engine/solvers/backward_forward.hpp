#pragma once

#include "abstract_solver.hpp"

namespace lfe {

// Sweeps the elements: backward steps set port currents from downstream, then
// forward steps move node potentials and report how far. The elements keep
// the network's order; where it is not the feeding order, a step reads
// currents or potentials of the sweep before, and the sweeps go on until
// the answer is consistent.
class BackwardForward : public AbstractSolver {
public:
    explicit BackwardForward(ElectricalNetwork* network);

    // The error is the largest move of the last sweep; once that is within
    // the tolerance, the current imbalance at the free nodes counts too
    // (`balance_error`). Throws std::invalid_argument for a NaN tolerance,
    // and std::runtime_error "2 NaN ..." for a sweep that moves a node by NaN
    // or stops with a non-finite potential or current, "2 Nothing feeds ..."
    // for a node that no element of the network writes.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

private:
    double balance_error() const;
    double sweep();
};

}  // namespace lfe
