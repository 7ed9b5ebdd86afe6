#include "newton.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "logging/logging.hpp"

namespace lfe {

namespace {

// Largest |F_i|, NaN as soon as one F_i is NaN, 0 for an empty F.
double residual_error(const Eigen::VectorXd& F) {
    double error = 0.0;
    for (const double f : F) {
        if (std::isnan(f)) return std::numeric_limits<double>::quiet_NaN();
        error = std::max(error, std::abs(f));
    }
    return error;
}

using Pattern = CppAD::sparse_rc<AbstractNewton::SizeVector>;

// The entries column by column, rows ascending: the order in which the
// compressed Jacobian stores them, so evaluated values copy straight in.
Pattern column_major(const Pattern& pattern) {
    const auto order = pattern.col_major();
    Pattern sorted(pattern.nr(), pattern.nc(), pattern.nnz());
    for (std::size_t k = 0; k < pattern.nnz(); ++k) sorted.set(k, pattern.row()[order[k]], pattern.col()[order[k]]);
    return sorted;
}

AbstractNewton::SparseMatrix structure_of(const Pattern& pattern) {
    std::vector<Eigen::Triplet<double>> entries;
    entries.reserve(pattern.nnz());
    for (std::size_t k = 0; k < pattern.nnz(); ++k)
        entries.emplace_back(static_cast<int>(pattern.row()[k]), static_cast<int>(pattern.col()[k]), 0.0);
    AbstractNewton::SparseMatrix J(static_cast<Eigen::Index>(pattern.nr()), static_cast<Eigen::Index>(pattern.nc()));
    J.setFromTriplets(entries.begin(), entries.end());
    return J;
}

void log_tape_size(std::size_t operators) { spdlog::debug("Number of tape operators: {0:d}", operators); }

}  // namespace

AbstractNewton::AbstractNewton(ElectricalNetwork* network, bool optimize_tape) : AbstractSolver(network) {
    const CppadErrorScope scope;
    load_initial_values();
    record_tape();
    spdlog::debug("----- Tape evaluation -----");
    log_tape_size(tape.size_op());
    if (optimize_tape) {
        if (x.size() > 0) tape.optimize();
        spdlog::debug("----- Tape optimization -----");
        log_tape_size(tape.size_op());
    }
    x_init = x;
}

void AbstractNewton::record_tape() {
    // The AD library needs an independent variable: without unknowns there is
    // nothing to record, and the records only need a place to point into.
    if (x.size() == 0) {
        bind_records();
        return;
    }
    ADVector ax = x.cast<ADScalar>();
    ADVector ap = p.cast<ADScalar>();
    CppAD::Independent(ax, ap);
    try {
        bind_records(ax, ap);
        ADVector y = ADVector::Constant(x.size(), ADScalar(0.0));
        network->add_equations(y);
        tape = CppAD::ADFun<double>(ax, y);
    } catch (...) {
        // An unfinished recording would lend its tape to AD values of later ones.
        ADScalar::abort_recording();
        throw;
    }
}

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
    check_tolerance(tolerance);
    const CppadErrorScope scope;
    take_records();
    const auto result = x.size() == 0 ? std::pair{0, 0.0} : iterate(max_iterations, tolerance);
    for (Element* element : network->elements) element->compute_currents(false);
    return result;
}

std::pair<int, double> AbstractNewton::iterate(int max_iterations, double tolerance) {
    tape.new_dynamic(p);
    Eigen::VectorXd F = get_residuals();
    double error = residual_error(F);
    int it = 0;
    while (it < max_iterations && (error > tolerance || std::isnan(error))) {
        const SparseMatrix J = compute_jacobian();
        const Eigen::VectorXd dx = newton_step(J, F, it);
        update(J, dx, F);
        error = residual_error(F);
        ++it;
    }
    return {it, error};
}

Eigen::VectorXd AbstractNewton::newton_step(const SparseMatrix& J, const Eigen::VectorXd& F, int it) {
    if (!J.coeffs().allFinite())
        throw std::runtime_error(fmt::format("1 NaN value encountered at iteration {}. ", it));
    if (!initialised) {
        lu.analyzePattern(J);
        initialised = true;
    }
    lu.factorize(J);
    if (lu.info() != Eigen::Success)
        throw std::runtime_error(fmt::format("1 Decomposition failed, singular matrix at iteration {}. ", it));
    return lu.solve(F);
}

Eigen::VectorXd AbstractNewton::get_residuals() {
    if (x.size() == 0) return {};
    return tape.Forward(0, x);
}

AbstractNewton::SparseMatrix AbstractNewton::compute_jacobian() {
    if (x.size() == 0) return {};
    if (!initialised) build_pattern();
    SparseMatrix J = jacobian_structure;
    if (jacobian_subset.nnz() == 0) return J;
    tape.sparse_jac_for(jacobian_group_max, x, jacobian_subset, jacobian_pattern, "cppad", jacobian_work);
    Eigen::Map<Eigen::VectorXd>(J.valuePtr(), J.nonZeros()) = jacobian_subset.val();
    return J;
}

void AbstractNewton::build_pattern() {
    const auto n = static_cast<std::size_t>(x.size());
    Pattern identity(n, n, n);
    for (std::size_t k = 0; k < n; ++k) identity.set(k, k, k);
    Pattern found;
    tape.for_jac_sparsity(identity, false, false, false, found);
    jacobian_pattern = column_major(found);
    jacobian_subset = CppAD::sparse_rcv<SizeVector, Eigen::VectorXd>(jacobian_pattern);
    jacobian_structure = structure_of(jacobian_pattern);
    spdlog::debug("----- Sparse pattern initialisation -----");
    spdlog::debug("n: {0:d} nnz: {1:d}", n, jacobian_subset.nnz());
}

void Newton::update(const SparseMatrix&, const Eigen::VectorXd& dx, Eigen::VectorXd& F) {
    x -= dx;
    F = get_residuals();
}

}  // namespace lfe
