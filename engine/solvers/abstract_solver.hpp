#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include <Eigen/Dense>

#include "network/electrical_network.hpp"

namespace lfe {

// Holds the vectors that the network's records are bound to. Their sizes are
// fixed once bound: x and p are never reallocated, resized, swapped or moved
// while the records may point into them.
//
// Networks may share elements, so a record belongs to whichever solver bound
// it last: building a solver binds its network's records, and every solve
// first takes them back.
class AbstractSolver {
public:
    ElectricalNetwork* network;
    Eigen::VectorXd x;
    Eigen::VectorXd x_init;
    Eigen::VectorXd p;

    explicit AbstractSolver(ElectricalNetwork* network);
    AbstractSolver(const AbstractSolver&) = delete;
    AbstractSolver& operator=(const AbstractSolver&) = delete;
    // Leaves x and p to the records that still point into them.
    virtual ~AbstractSolver();

    // Returns (iterations, final error).
    virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

    // Makes the network's records point into this solver's vectors, with the
    // records' current parameters copied into p; x stays as it is. Every solve
    // does it first; element reads and updates afterwards go through this
    // solver, until another solver binds one of the records. Throws
    // std::runtime_error, changing nothing, when the network's nodes were
    // regrouped since it was built; marks the ports of its listed elements.
    void take_records();
    bool holds_records() const { return binding != 0 && binding == BindingScope::latest(); }

    void reset_inputs();
    // Copies x.size() values into x.
    void set_variables(const double* values);

protected:
    // Throws std::invalid_argument for a NaN tolerance: no error compares
    // above it, so the first convergence test would report success.
    static void check_tolerance(double tolerance);

    // What the records keep alive once the solver is gone: x and p move here.
    struct Vectors {
        Eigen::VectorXd x;
        Eigen::VectorXd p;
    };
    const std::shared_ptr<Vectors> storage = std::make_shared<Vectors>();

    // Whether every port of the network's elements reads a finite potential
    // and current: the result the caller reads.
    bool result_is_finite() const { return network->result_is_finite(); }

    // Sizes x and p once, from the stored values of the network's records.
    void load_initial_values();
    // Binds the network's records to x and p, with the AD values of ax and
    // ap, or with constant AD values.
    void bind_records(const ADVector& ax, const ADVector& ap);
    void bind_records() { bind_records(x.cast<ADScalar>(), p.cast<ADScalar>()); }

private:
    // The number of the scope under which this solver took the records.
    std::uint64_t binding = 0;
};

}  // namespace lfe
