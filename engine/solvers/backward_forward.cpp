#include "backward_forward.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

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

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    take_records();
    network->mark_listed_ports();
    int it = 0;
    double error;
    do {
        error = sweep();
        ++it;
        if (std::isnan(error)) throw std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", it));
    } while (error > tolerance && it < max_iterations);
    return {it, error};
}

}  // namespace lfe
