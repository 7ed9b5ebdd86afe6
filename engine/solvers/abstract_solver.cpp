#include "abstract_solver.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

AbstractSolver::AbstractSolver(ElectricalNetwork* network) : network(network) {
    if (network == nullptr) throw std::runtime_error("A solver needs a network");
}

AbstractSolver::~AbstractSolver() {
    if (network->records_in(x)) network->keep_records();
}

void AbstractSolver::load_initial_values() {
    const auto [x0, p0] = network->get_initial_values();
    x = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<const Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
}

void AbstractSolver::take_records() {
    if (network->records_in(x)) return;
    const Eigen::VectorXd& current = network->bound_parameters();
    if (current.size() != p.size())
        throw std::runtime_error(
            fmt::format("The network holds {} parameters but this solver {}", current.size(), p.size()));
    p = current;
    network->bind_constants(x, p);
}

void AbstractSolver::reset_inputs() { x = x_init; }

void AbstractSolver::set_variables(const double* values) { std::copy_n(values, x.size(), x.data()); }

}  // namespace lfe
