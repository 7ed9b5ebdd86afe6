#pragma once

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "elements/ad_types.hpp"
#include "elements/element.hpp"
#include "elements/flexible_parameter.hpp"

namespace lfe {

// The elements, the distinct nodes and the common layout of one load-flow
// problem. x holds the potential of every free node, then each element's
// unknowns; p each element's parameters, then the limits of each flexible
// parameter; the residuals mirror x.
class ElectricalNetwork {
public:
    // How the listed ports meet: the node of each port in element and port
    // order, nodes numbered as first seen, and each node's fixed mark.
    struct NodeGrouping {
        std::vector<int> port_nodes;
        std::vector<bool> fixed;
        bool operator==(const NodeGrouping&) const = default;
    };
    // For each free node, the positions in `elements` of the elements behind
    // its balance rows.
    using NodeElements = std::vector<std::vector<int>>;
    // What a solver reads of the layout once its tape is recorded: joins and
    // splits afterwards must not move it under the tape.
    struct Layout {
        NodeElements node_elements;
        // Where each element's unknowns end in x, after the node pairs.
        std::vector<long> element_ends;
        // For each element whose equations are not linear, the unknowns it
        // reaches, which are also the residual rows it writes to: the
        // potential and balance pairs of its ports' free nodes, then its own.
        // Those of the k-th such element are [nonlinear_starts[k],
        // nonlinear_starts[k + 1]) of nonlinear_unknowns: a list for each
        // would scatter many small blocks over the heap.
        std::vector<int> nonlinear_unknowns;
        std::vector<std::size_t> nonlinear_starts{0};
        // Where in p the parameters of the elements whose equations are
        // linear lie, as [begin, end) ranges: what the other Jacobian entries
        // depend on.
        std::vector<std::pair<int, int>> linear_parameter_ranges;
    };

    std::vector<Element*> elements;
    std::vector<std::shared_ptr<Connection>> connections;
    // Those of the flexible loads, each once; not owned.
    std::set<FlexibleParameter*> flexible_parameters;

    explicit ElectricalNetwork(std::vector<Element*>&& elements);
    ElectricalNetwork(const ElectricalNetwork&) = delete;
    ElectricalNetwork& operator=(const ElectricalNetwork&) = delete;

    // Collects the nodes from the elements' ports again: a join may have left
    // a listed port on another node object. Throws std::runtime_error,
    // changing nothing, when the listed ports are grouped otherwise or a mark
    // differs from when the network was built. Returns whether a node was
    // replaced, so that the records need binding again.
    bool refresh_nodes();

    // Stored values of the records, in the layout of x and p.
    std::pair<std::vector<double>, std::vector<double>> get_initial_values() const;
    // The stored values of the parameter records alone: they are always
    // current, since parameters are only ever written by the set rule.
    std::vector<double> get_parameter_values() const;

    // Points every record at its slots of x and p and gives it the AD values of
    // ax and ap. Throws std::runtime_error when the records do not fill x and p.
    void bind(const ADVector& ax, Eigen::VectorXd& x, const ADVector& ap, Eigen::VectorXd& p);
    // `bind` with constant AD values: for vectors no tape records.
    void bind_constants(Eigen::VectorXd& x, Eigen::VectorXd& p);

    // Records the current balance of every free node, then the elements' own
    // equations, into y of the size of x. Throws std::runtime_error when the
    // rows written do not match the unknowns.
    void add_equations(ADVector& y);

    // Marks the ports on the network's nodes whose elements it lists: only
    // those draw current from its nodes.
    void mark_listed_ports();

    // The layout as the nodes stand now. The elements behind a free node are
    // the listed ones whose current there holds a NaN, else the element of
    // its first listed port: read right after a recording, the layout
    // describes that recording.
    Layout layout() const;
    // Positions in `elements`, ascending and unique, of the elements behind the
    // given ascending variable or residual indices of the layout.
    std::vector<int> find_elements(const std::vector<long>& indices, const Layout& layout) const;

    // Whether every port of the listed elements reads a finite potential and current.
    bool result_is_finite() const;

private:
    NodeGrouping grouping;

    // Whether every listed port is on the node object it was on when built,
    // and every node keeps its mark.
    bool nodes_unchanged() const;

    int free_node_count() const;
    std::vector<int> variable_counts() const;
    NodeElements node_elements() const;
    void add_nonlinear_unknowns(Layout& layout, const std::vector<int>& counts) const;
    std::vector<std::pair<int, int>> linear_parameter_ranges() const;
    void add_balance_rows(ADVector& y) const;
    void add_element_rows(ADVector& y, int first_row) const;
};

}  // namespace lfe
