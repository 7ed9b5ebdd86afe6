#include "electrical_network.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

#include "elements/flexible_load.hpp"

namespace lfe {

namespace {

bool has_nan(const ADComplex& z) {
    return std::isnan(CppAD::Value(z.real())) || std::isnan(CppAD::Value(z.imag()));
}

bool finite(const std::complex<double>& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

// Positions of the elements, the first one where an element is listed twice.
std::unordered_map<const Element*, int> positions_of(const std::vector<Element*>& elements) {
    std::unordered_map<const Element*, int> positions;
    for (int e = static_cast<int>(elements.size()) - 1; e >= 0; --e) positions[elements[e]] = e;
    return positions;
}

// Ports of elements outside the list hold the currents of another
// recording, if any: they explain nothing.
std::vector<int> elements_behind(const Connection& node, const std::unordered_map<const Element*, int>& positions) {
    std::vector<int> found;
    int first = -1;
    for (const Port* q : node.ports) {
        const auto it = positions.find(q->element);
        if (it == positions.end()) continue;
        if (first < 0) first = it->second;
        if (has_nan(q->current_ad)) found.push_back(it->second);
    }
    if (found.empty() && first >= 0) found.push_back(first);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

struct NodeLayout {
    std::vector<std::shared_ptr<Connection>> nodes;
    ElectricalNetwork::NodeGrouping grouping;
};

NodeLayout collect_nodes(const std::vector<Element*>& elements) {
    NodeLayout layout;
    std::unordered_map<const Connection*, int> numbers;
    for (Element* element : elements)
        for (Port& port : element->ports) {
            const auto [it, first_seen] = numbers.emplace(port.connection.get(), static_cast<int>(layout.nodes.size()));
            if (first_seen) {
                layout.nodes.push_back(port.connection);
                layout.grouping.fixed.push_back(port.connection->fixed);
            }
            layout.grouping.port_nodes.push_back(it->second);
        }
    return layout;
}

// The flexible parameters of a flexible load, star or delta; null for any
// other element.
const std::vector<FlexibleParameter*>* flexible_parameters_of(Element* element) {
    if (const auto* load = dynamic_cast<FlexibleLoad*>(element)) return &load->parameters;
    if (const auto* load = dynamic_cast<DeltaFlexibleLoad*>(element)) return &load->parameters;
    return nullptr;
}

void check_count(const char* what, Eigen::Index reached, Eigen::Index expected) {
    if (reached != expected)
        throw std::runtime_error(fmt::format("The records take {} {} but the solver holds {}", reached, what, expected));
}

}  // namespace

ElectricalNetwork::ElectricalNetwork(std::vector<Element*>&& elements_) : elements(std::move(elements_)) {
    NodeLayout layout = collect_nodes(elements);
    connections = std::move(layout.nodes);
    grouping = std::move(layout.grouping);
    for (Element* element : elements)
        if (const auto* parameters = flexible_parameters_of(element))
            flexible_parameters.insert(parameters->begin(), parameters->end());
}

bool ElectricalNetwork::nodes_unchanged() const {
    const auto& port_nodes = grouping.port_nodes;
    std::size_t k = 0;
    for (const Element* element : elements)
        for (const Port& port : element->ports)
            if (k == port_nodes.size() || port.connection != connections[static_cast<std::size_t>(port_nodes[k++])])
                return false;
    if (k != port_nodes.size()) return false;
    for (std::size_t n = 0; n < connections.size(); ++n)
        if (connections[n]->fixed != grouping.fixed[n]) return false;
    return true;
}

bool ElectricalNetwork::refresh_nodes() {
    // Every solve asks: the common answer costs no map of the nodes.
    if (nodes_unchanged()) return false;
    NodeLayout layout = collect_nodes(elements);
    if (layout.grouping != grouping)
        throw std::runtime_error(
            "The network's nodes were joined, split or fixed after it was built: build the network again");
    if (layout.nodes == connections) return false;
    connections = std::move(layout.nodes);
    return true;
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::get_initial_values() const {
    std::vector<double> x0;
    for (const auto& node : connections)
        if (!node->fixed) node->potential.add(x0);
    for (Element* element : elements) element->add_variables(x0);
    return {std::move(x0), get_parameter_values()};
}

std::vector<double> ElectricalNetwork::get_parameter_values() const {
    std::vector<double> p0;
    for (Element* element : elements) element->add_parameters(p0);
    for (const FlexibleParameter* parameter : flexible_parameters) parameter->add_parameters(p0);
    return p0;
}

void ElectricalNetwork::bind_constants(Eigen::VectorXd& x, Eigen::VectorXd& p) {
    const ADVector ax = x.cast<ADScalar>();
    const ADVector ap = p.cast<ADScalar>();
    bind(ax, x, ap, p);
}

void ElectricalNetwork::bind(const ADVector& ax, Eigen::VectorXd& x, const ADVector& ap, Eigen::VectorXd& p) {
    int i = 0;
    for (const auto& node : connections) {
        if (!node->fixed)
            node->potential.bind(ax, x, i);
        else
            // Fixed since an earlier binding: its slots belong to that solver,
            // which later writes must not reach, and its stored value stays
            // what it was for when the node is freed.
            node->potential.unbind();
    }
    int j = 0;
    for (Element* element : elements) {
        element->bind_variables(ax, x, i);
        element->bind_parameters(ap, p, j);
    }
    for (FlexibleParameter* parameter : flexible_parameters) parameter->bind_parameters(ap, p, j);
    check_count("variables", i, x.size());
    check_count("parameters", j, p.size());
}

void ElectricalNetwork::mark_listed_ports() {
    for (const auto& node : connections)
        for (Port* q : node->ports) q->listed = false;
    for (Element* element : elements)
        for (Port& q : element->ports) q.listed = true;
}

int ElectricalNetwork::free_node_count() const {
    return static_cast<int>(std::count_if(connections.begin(), connections.end(),
                                          [](const auto& node) { return !node->fixed; }));
}

std::vector<int> ElectricalNetwork::variable_counts() const {
    std::vector<int> counts;
    counts.reserve(elements.size());
    std::vector<double> scratch;
    for (Element* element : elements) {
        scratch.clear();
        element->add_variables(scratch);
        counts.push_back(static_cast<int>(scratch.size()));
    }
    return counts;
}

void ElectricalNetwork::add_equations(ADVector& y) {
    for (Element* element : elements) element->compute_currents(true);
    add_balance_rows(y);
    add_element_rows(y, 2 * free_node_count());
}

void ElectricalNetwork::add_balance_rows(ADVector& y) const {
    // A port of an element that another network lists holds the currents of
    // that network's recording. The ports' marks are not used: they stay
    // those of the network solved last, which a reference's current follows.
    const auto positions = positions_of(elements);
    int k = 0;
    for (const auto& node : connections) {
        if (node->fixed) continue;
        ADScalar re(0.0), im(0.0);
        for (const Port* q : node->ports) {
            if (!positions.contains(q->element)) continue;
            re += q->current_ad.real();
            im += q->current_ad.imag();
        }
        y[k] = re;
        y[k + 1] = im;
        k += 2;
    }
}

void ElectricalNetwork::add_element_rows(ADVector& y, int first_row) const {
    const std::vector<int> counts = variable_counts();
    const Eigen::Index n = y.size();
    int k = first_row;
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const int start = k;
        ResidualRows rows(y, start, counts[e], e);
        elements[e]->add_equations(rows, k);
        if (k - start != counts[e])
            throw std::runtime_error(
                fmt::format("Element {} writes {} residual rows for its {} unknowns", e, k - start, counts[e]));
    }
    if (k != n) throw std::runtime_error(fmt::format("The equations fill {} residual rows for {} unknowns", k, n));
}

ElectricalNetwork::Layout ElectricalNetwork::layout() const {
    Layout layout;
    layout.node_elements = node_elements();
    const std::vector<int> counts = variable_counts();
    long end = 2L * static_cast<long>(layout.node_elements.size());
    for (const int count : counts) layout.element_ends.push_back(end += count);
    add_nonlinear_unknowns(layout, counts);
    layout.linear_parameter_ranges = linear_parameter_ranges();
    return layout;
}

void ElectricalNetwork::add_nonlinear_unknowns(Layout& layout, const std::vector<int>& counts) const {
    std::unordered_map<const Connection*, int> free_nodes;
    for (const auto& node : connections)
        if (!node->fixed) free_nodes.emplace(node.get(), static_cast<int>(free_nodes.size()));
    std::vector<int>& reached = layout.nonlinear_unknowns;
    layout.nonlinear_starts.assign(1, 0);
    int start = 2 * static_cast<int>(free_nodes.size());
    for (std::size_t e = 0; e < elements.size(); ++e) {
        if (!elements[e]->is_linear()) {
            for (const Port& q : elements[e]->ports)
                if (const auto it = free_nodes.find(q.connection.get()); it != free_nodes.end())
                    reached.insert(reached.end(), {2 * it->second, 2 * it->second + 1});
            for (int k = 0; k < counts[e]; ++k) reached.push_back(start + k);
            layout.nonlinear_starts.push_back(reached.size());
        }
        start += counts[e];
    }
}

std::vector<std::pair<int, int>> ElectricalNetwork::linear_parameter_ranges() const {
    std::vector<std::pair<int, int>> ranges;
    std::vector<double> scratch;
    for (Element* element : elements) {
        const auto begin = static_cast<int>(scratch.size());
        element->add_parameters(scratch);
        const auto end = static_cast<int>(scratch.size());
        if (element->is_linear() && end > begin) ranges.emplace_back(begin, end);
    }
    return ranges;
}

ElectricalNetwork::NodeElements ElectricalNetwork::node_elements() const {
    const auto positions = positions_of(elements);
    NodeElements nodes;
    for (const auto& node : connections)
        if (!node->fixed) nodes.push_back(elements_behind(*node, positions));
    return nodes;
}

std::vector<int> ElectricalNetwork::find_elements(const std::vector<long>& indices, const Layout& layout) const {
    const NodeElements& nodes = layout.node_elements;
    const std::vector<long>& ends = layout.element_ends;
    const long node_rows = 2L * static_cast<long>(nodes.size());
    const auto positions = positions_of(elements);
    std::vector<bool> found(elements.size(), false);
    for (long index : indices) {
        if (index < node_rows) {
            for (const int e : nodes[static_cast<std::size_t>(index / 2)]) found[static_cast<std::size_t>(e)] = true;
        } else if (const auto it = std::upper_bound(ends.begin(), ends.end(), index); it != ends.end()) {
            found[static_cast<std::size_t>(positions.at(elements[static_cast<std::size_t>(it - ends.begin())]))] = true;
        }
    }

    std::vector<int> result;
    for (std::size_t e = 0; e < found.size(); ++e)
        if (found[e]) result.push_back(static_cast<int>(e));
    return result;
}

bool ElectricalNetwork::result_is_finite() const {
    for (const Element* element : elements)
        for (const Port& port : element->ports)
            if (!finite(port.potential()) || !finite(port.current)) return false;
    return true;
}

}  // namespace lfe
