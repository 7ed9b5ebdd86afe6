#include "backward_forward.hpp"

#include <cmath>
#include <complex>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

namespace {

bool finite(const std::complex<double>& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

std::runtime_error nan_failure(int it) {
    return std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", it));
}

}  // namespace

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
    load_initial_values();
    bind_records();
    x_init = x;
}

double BackwardForward::sweep() {
    auto& elements = network->elements;
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->update_backward_forward();
    double error = 0.0;
    for (Element* element : elements) {
        const double e = element->backward_forward_error();
        // Once NaN, the error stays NaN: no later number compares above it.
        if (e > error || std::isnan(e)) error = e;
    }
    return error;
}

// The potentials the last forward step wrote and the currents the last
// backward step set: the result the caller reads.
bool BackwardForward::result_is_finite() const {
    for (const Element* element : network->elements)
        for (const Port& port : element->ports)
            if (!finite(port.potential()) || !finite(port.current)) return false;
    return true;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    check_tolerance(tolerance);
    take_records();
    network->mark_listed_ports();
    int it = 0;
    double error;
    do {
        error = sweep();
        ++it;
        if (std::isnan(error)) throw nan_failure(it);
    } while (error > tolerance && it < max_iterations);
    // Earlier sweeps may pass through non-finite currents (a load at a 0 V
    // start); the last one must leave none.
    if (!result_is_finite()) throw nan_failure(it);
    return {it, error};
}

}  // namespace lfe
