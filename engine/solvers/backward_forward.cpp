#include "backward_forward.hpp"

#include <cmath>
#include <complex>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

namespace {

std::runtime_error nan_failure(int it) {
    return std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", it));
}

// Elements, their ports and nodes lie scattered over the heap, and a sweep
// of a large network finds few of them in the caches: each is fetched a few
// elements ahead, in stages, since reaching a node needs its port first.
constexpr std::size_t prefetch_distance = 4;
constexpr std::size_t cache_line = 64;

void prefetch_lines(const void* begin, std::size_t bytes) {
    const char* p = static_cast<const char*>(begin);
    for (std::size_t offset = 0; offset < bytes; offset += cache_line) __builtin_prefetch(p + offset);
}

// Visits the elements in order, or in reverse order when `backward`.
template <class Visit>
void walk(const std::vector<Element*>& elements, bool backward, Visit visit) {
    const std::size_t n = elements.size();
    const auto at = [&](std::size_t k) { return elements[backward ? n - 1 - k : k]; };
    for (std::size_t k = 0; k < n; ++k) {
        if (k + 3 * prefetch_distance < n) prefetch_lines(at(k + 3 * prefetch_distance), cache_line);
        if (k + 2 * prefetch_distance < n) {
            const auto& ports = at(k + 2 * prefetch_distance)->ports;
            prefetch_lines(ports.data(), ports.size() * sizeof(Port));
        }
        if (k + prefetch_distance < n)
            for (const Port& q : at(k + prefetch_distance)->ports) __builtin_prefetch(q.connection.get());
        visit(*at(k));
    }
}

}  // namespace

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
    load_initial_values();
    bind_records();
    x_init = x;
}

double BackwardForward::sweep() {
    auto& elements = network->elements;
    walk(elements, true, [](Element& element) { element.update_backward_forward(); });
    double error = 0.0;
    walk(elements, false, [&](Element& element) {
        const double e = element.backward_forward_error();
        // Once NaN, the error stays NaN: no later number compares above it.
        if (e > error || std::isnan(e)) error = e;
    });
    return error;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    check_tolerance(tolerance);
    take_records();
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
