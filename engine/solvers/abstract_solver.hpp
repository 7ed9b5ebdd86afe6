#pragma once

#include <utility>

#include <Eigen/Dense>

#include "network/electrical_network.hpp"

namespace lfe {

// Holds the vectors that the network's records are bound to. Their sizes are
// fixed once bound: x and p are never reallocated, resized, swapped or moved
// while the records may point into them.
class AbstractSolver {
public:
    ElectricalNetwork* network;
    Eigen::VectorXd x;
    Eigen::VectorXd x_init;
    Eigen::VectorXd p;

    explicit AbstractSolver(ElectricalNetwork* network);
    AbstractSolver(const AbstractSolver&) = delete;
    AbstractSolver& operator=(const AbstractSolver&) = delete;
    // Hands the records to the network, with the last values, when they point here.
    virtual ~AbstractSolver();

    // Returns (iterations, final error).
    virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

    // Makes the network's records point into this solver's vectors, with the
    // current parameters copied into p; x stays as it is. Every solve does it
    // first; element reads and updates afterwards go through this solver.
    void take_records();

    void reset_inputs();
    // Copies x.size() values into x.
    void set_variables(const double* values);

protected:
    // Sizes x and p once, from the stored values of the network's records.
    void load_initial_values();
};

}  // namespace lfe
