#include "newton.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

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

// Keeps the blocks that the AD library frees for its own reuse while it
// lives: the Taylor storage changes shape between the residuals and the
// Jacobian of every iteration, and large fresh blocks cost page faults.
// Gives the kept blocks back at the end, so the peak stays that of one
// reshaping. Nothing else in the engine holds the library's memory.
struct HeldTaylorMemory {
    HeldTaylorMemory() { CppAD::thread_alloc::hold_memory(true); }
    HeldTaylorMemory(const HeldTaylorMemory&) = delete;
    HeldTaylorMemory& operator=(const HeldTaylorMemory&) = delete;
    ~HeldTaylorMemory() {
        CppAD::thread_alloc::hold_memory(false);
        CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
    }
};

void log_tape_size(std::size_t operators) { spdlog::debug("Number of tape operators: {0:d}", operators); }

}  // namespace

AbstractNewton::AbstractNewton(ElectricalNetwork* network, bool optimize_tape) : AbstractSolver(network) {
    const CppadErrorScope scope;
    load_initial_values();
    record_tape();
    // Once the recording ends, the values of its variables are readable; once
    // its vectors are gone, the layout does not sit among their blocks.
    recording = network->layout();
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
    // A NaN error already tells the caller; a finite one must not pass off
    // non-finite readings (a load at 0 V on fixed nodes only) as a result.
    if (!std::isnan(result.second) && !result_is_finite())
        throw std::runtime_error(fmt::format("1 NaN value encountered at iteration {}. ", result.first));
    return result;
}

std::pair<int, double> AbstractNewton::iterate(int max_iterations, double tolerance) {
    tape.new_dynamic(p);
    jacobian_work.check_parameters(p);
    Eigen::VectorXd F = get_residuals();
    double error = residual_error(F);
    int it = 0;
    // Not before the first Jacobian: what building the pattern frees is not
    // needed again.
    std::optional<HeldTaylorMemory> held;
    while (it < max_iterations && (error > tolerance || std::isnan(error))) {
        const SparseMatrix& J = fill_jacobian();
        if (!held) held.emplace();
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
        ++lu_analyses;
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
    // x may have moved since the tape last evaluated it.
    get_residuals();
    if (!initialised) jacobian_work.build(tape, recording);
    // A matrix of its own: the loop's keeps its constant entries, and the
    // tape may hold other parameters than p until the next solve pushes them.
    return jacobian_work.evaluate_whole(tape);
}

// The derivatives start from the zero-order values that the residuals just
// evaluated at x left in the tape: in the Newton loop every Jacobian follows
// the residuals at its x. New parameters drop those values, and a forward
// pass in several directions keeps them in a layout reverse mode cannot use.
const AbstractNewton::SparseMatrix& AbstractNewton::fill_jacobian() {
    if (!initialised) jacobian_work.build(tape, recording);
    if (tape.size_order() == 0 || tape.size_direction() != 1) get_residuals();
    return jacobian_work.evaluate_in_loop(tape, p);
}

void Newton::update(const SparseMatrix&, const Eigen::VectorXd& dx, Eigen::VectorXd& F) {
    x -= dx;
    F = get_residuals();
}

}  // namespace lfe
