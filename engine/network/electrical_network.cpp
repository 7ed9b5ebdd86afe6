#include "electrical_network.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "elements/flexible_load.hpp"

namespace lfe {

namespace {

bool has_nan(const ADComplex& z) {
    return std::isnan(CppAD::Value(z.real())) || std::isnan(CppAD::Value(z.imag()));
}

// Elements whose recorded current at the node is NaN explain it; without such
// a current the node is put down to the element of its first port.
template <class Mark>
void mark_node_elements(const Connection& node, const Mark& mark) {
    bool explained = false;
    for (const Port* q : node.ports) {
        if (has_nan(q->current_ad)) {
            explained = true;
            mark(q->element);
        }
    }
    if (!explained && !node.ports.empty()) mark(node.ports.front()->element);
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
    std::unordered_set<const Connection*> seen;
    for (Element* element : elements) {
        for (Port& port : element->ports)
            if (seen.insert(port.connection.get()).second) connections.push_back(port.connection);
        if (const auto* parameters = flexible_parameters_of(element))
            flexible_parameters.insert(parameters->begin(), parameters->end());
    }
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
            // which the sweep's writes must not reach.
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
    // A port of an element that another network lists holds the currents of
    // that network's recording.
    mark_listed_ports();
    for (Element* element : elements) element->compute_currents(true);
    add_balance_rows(y);
    add_element_rows(y, 2 * free_node_count());
}

void ElectricalNetwork::add_balance_rows(ADVector& y) const {
    int k = 0;
    for (const auto& node : connections) {
        if (node->fixed) continue;
        ADScalar re(0.0), im(0.0);
        for (const Port* q : node->ports) {
            if (!q->listed) continue;
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

std::vector<std::vector<int>> ElectricalNetwork::nonlinear_unknowns() const {
    std::unordered_map<const Connection*, int> free_nodes;
    for (const auto& node : connections)
        if (!node->fixed) free_nodes.emplace(node.get(), static_cast<int>(free_nodes.size()));
    const std::vector<int> counts = variable_counts();
    std::vector<std::vector<int>> unknowns;
    int start = 2 * static_cast<int>(free_nodes.size());
    for (std::size_t e = 0; e < elements.size(); ++e) {
        if (!elements[e]->is_linear()) {
            std::vector<int>& reached = unknowns.emplace_back();
            for (const Port& q : elements[e]->ports)
                if (const auto it = free_nodes.find(q.connection.get()); it != free_nodes.end())
                    reached.insert(reached.end(), {2 * it->second, 2 * it->second + 1});
            for (int k = 0; k < counts[e]; ++k) reached.push_back(start + k);
        }
        start += counts[e];
    }
    return unknowns;
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

std::vector<int> ElectricalNetwork::find_elements(const std::vector<long>& indices) const {
    std::vector<const Connection*> free_nodes;
    for (const auto& node : connections)
        if (!node->fixed) free_nodes.push_back(node.get());
    const long node_rows = 2L * static_cast<long>(free_nodes.size());

    // End of each element's variable range, after the node pairs.
    std::vector<long> ends;
    long end = node_rows;
    for (int count : variable_counts()) ends.push_back(end += count);

    std::unordered_map<const Element*, int> positions;
    for (int e = static_cast<int>(elements.size()) - 1; e >= 0; --e) positions[elements[e]] = e;
    std::vector<bool> found(elements.size(), false);
    const auto mark = [&](const Element* element) {
        if (const auto it = positions.find(element); it != positions.end()) found[it->second] = true;
    };

    for (long index : indices) {
        if (index < node_rows) {
            mark_node_elements(*free_nodes[static_cast<std::size_t>(index / 2)], mark);
        } else if (const auto it = std::upper_bound(ends.begin(), ends.end(), index); it != ends.end()) {
            mark(elements[static_cast<std::size_t>(it - ends.begin())]);
        }
    }

    std::vector<int> result;
    for (std::size_t e = 0; e < found.size(); ++e)
        if (found[e]) result.push_back(static_cast<int>(e));
    return result;
}

}  // namespace lfe
