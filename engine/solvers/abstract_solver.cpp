#include "abstract_solver.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

AbstractSolver::AbstractSolver(ElectricalNetwork* network) : network(network) {
    if (network == nullptr) throw std::runtime_error("A solver needs a network");
    network->refresh_nodes();
}

AbstractSolver::~AbstractSolver() {
    // Moving keeps the buffers, so every record's slots stay where they are.
    storage->x = std::move(x);
    storage->p = std::move(p);
}

void AbstractSolver::check_tolerance(double tolerance) {
    if (std::isnan(tolerance)) throw std::invalid_argument("The tolerance must not be NaN");
}

void AbstractSolver::load_initial_values() {
    const auto [x0, p0] = network->get_initial_values();
    x = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<const Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
}

void AbstractSolver::take_records() {
    const bool nodes_replaced = network->refresh_nodes();
    network->mark_listed_ports();
    if (holds_records() && !nodes_replaced) return;
    const std::vector<double> current = network->get_parameter_values();
    if (static_cast<Eigen::Index>(current.size()) != p.size())
        throw std::runtime_error(
            fmt::format("The network holds {} parameters but this solver {}", current.size(), p.size()));
    std::copy(current.begin(), current.end(), p.data());
    bind_records();
}

void AbstractSolver::bind_records(const ADVector& ax, const ADVector& ap) {
    const BindingScope scope(storage);
    network->bind(ax, x, ap, p);
    binding = scope.number();
}

void AbstractSolver::reset_inputs() { x = x_init; }

void AbstractSolver::set_variables(const double* values) { std::copy_n(values, x.size(), x.data()); }

}  // namespace lfe
