#include "backward_forward.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <iterator>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

namespace lfe {

namespace {

std::runtime_error nan_failure(int it) {
    return std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", it));
}

double squared(const std::complex<double>& z) { return z.real() * z.real() + z.imag() * z.imag(); }

std::size_t port_index(const Port& q) { return static_cast<std::size_t>(&q - q.element->ports.data()); }

// Named by the first of its ports that the network lists.
std::runtime_error unfed_node(const ElectricalNetwork& network, const Port& q) {
    const auto& elements = network.elements;
    const auto position = std::distance(elements.begin(), std::find(elements.begin(), elements.end(), q.element));
    return std::runtime_error(fmt::format(
        "2 Nothing feeds the node at port {} of element {}: the backward-forward sweep needs every node fed from a "
        "fixed potential through sources, lines, switches, transformers or regulators",
        port_index(q), position));
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

// Visits the nodes in order, each fetched ahead in stages as in `walk`: the
// node, its port list, its ports, their elements.
template <class Visit>
void walk_nodes(const std::vector<std::shared_ptr<Connection>>& nodes, Visit visit) {
    const std::size_t n = nodes.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k + 4 * prefetch_distance < n) __builtin_prefetch(nodes[k + 4 * prefetch_distance].get());
        if (k + 3 * prefetch_distance < n) {
            const auto& ports = nodes[k + 3 * prefetch_distance]->ports;
            prefetch_lines(ports.data(), ports.size() * sizeof(Port*));
        }
        if (k + 2 * prefetch_distance < n)
            for (const Port* q : nodes[k + 2 * prefetch_distance]->ports) __builtin_prefetch(q);
        if (k + prefetch_distance < n)
            for (const Port* q : nodes[k + prefetch_distance]->ports) __builtin_prefetch(q->element);
        visit(*nodes[k]);
    }
}

}  // namespace

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
    load_initial_values();
    bind_records();
    x_init = x;
}

// Kirchhoff's current law at the free nodes, with the currents of the last
// backward step, as a potential: the largest imbalance times the largest
// potential over the largest port current. An imbalance r at a node shifts
// the potentials by about r times the impedance back to the source, and that
// impedance times the largest current is a drop below the largest potential.
// An imbalance within the rounding of the node's sum counts as none. Squared
// magnitudes throughout: no square root per port.
double BackwardForward::balance_error() const {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    double imbalance = 0.0, largest_current = 0.0, largest_potential = 0.0;
    walk_nodes(network->connections, [&](const Connection& node) {
        if (node.fixed) return;
        std::complex<double> sum = 0.0;
        // |re| + |im| of each current: their magnitudes within a factor of √2.
        double magnitudes = 0.0;
        int count = 0;
        const Port* first = nullptr;
        bool written = false;
        for (const Port* q : node.ports) {
            if (!q->listed) continue;
            sum += q->current;
            magnitudes += std::abs(q->current.real()) + std::abs(q->current.imag());
            largest_current = std::max(largest_current, squared(q->current));
            if (!first) first = q;
            if (!written) written = q->element->writes_potential(port_index(*q));
            ++count;
        }
        if (!first) return;
        if (!written) throw unfed_node(*network, *first);
        largest_potential = std::max(largest_potential, squared(node.get_potential()));
        const double rounding = 2.0 * count * eps * magnitudes;
        const double residual = squared(sum);
        if (residual > rounding * rounding) imbalance = std::max(imbalance, residual);
    });
    return imbalance > 0.0 ? std::sqrt(imbalance / largest_current * largest_potential) : 0.0;
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
    // A sweep that moves nothing may still rest on currents of earlier
    // potentials (an element listed before what feeds it reads them) or
    // leave a node that nothing feeds: it stops only once Kirchhoff's law
    // holds too.
    for (;;) {
        error = sweep();
        ++it;
        if (std::isnan(error)) throw nan_failure(it);
        const bool settled = error <= tolerance;
        if (!settled && it < max_iterations) continue;
        // Earlier sweeps may pass through non-finite currents (a load at a
        // 0 V start); the last one must leave none.
        if (!result_is_finite()) throw nan_failure(it);
        if (settled) error = std::max(error, balance_error());
        if (error <= tolerance || it >= max_iterations) return {it, error};
    }
}

}  // namespace lfe
