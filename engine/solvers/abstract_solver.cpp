#include "abstract_solver.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

AbstractSolver::AbstractSolver(ElectricalNetwork* network) : network(network) {
    if (network == nullptr) throw std::runtime_error("A solver needs a network");
}

AbstractSolver::~AbstractSolver() {
    // Moving keeps the buffers, so every record's slots stay where they are.
    storage->x = std::move(x);
    storage->p = std::move(p);
}

AbstractSolver::BorrowedRecords::~BorrowedRecords() {
    // Backwards, so that a record bound twice ends where it was first.
    for (auto it = log.rbegin(); it != log.rend(); ++it) *it->first = std::move(it->second);
}

void AbstractSolver::load_initial_values() {
    const auto [x0, p0] = network->get_initial_values();
    x = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<const Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
}

void AbstractSolver::take_records() {
    if (holds_records()) return;
    const std::vector<double> current = network->get_parameter_values();
    if (static_cast<Eigen::Index>(current.size()) != p.size())
        throw std::runtime_error(
            fmt::format("The network holds {} parameters but this solver {}", current.size(), p.size()));
    std::copy(current.begin(), current.end(), p.data());
    const BindingScope scope(storage, nullptr);
    network->bind_constants(x, p);
    binding = scope.number();
}

void AbstractSolver::reset_inputs() { x = x_init; }

void AbstractSolver::set_variables(const double* values) { std::copy_n(values, x.size(), x.data()); }

}  // namespace lfe
