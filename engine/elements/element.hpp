#pragma once

#include <complex>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <vector>

#include "ad_types.hpp"
#include "bound_value.hpp"

namespace lfe {

class Connection;
class Element;

// One terminal of an element. Its current flows from the node into the element.
class Port {
public:
    // What a sweep reads first, what only a recording uses last.
    std::shared_ptr<Connection> connection;
    Element* element;
    std::complex<double> current;
    // Whether the network last solved over the port's node lists the port's
    // element: the ports of other elements draw nothing there.
    bool listed = true;
    // Whether the port is a potential reference's: its node is fixed while
    // such a port is on it.
    bool fixes_node = false;
    // Whether the port's element gives its node a potential of its own.
    // Grounds and references do not: they are born at 0 V.
    bool holds_potential = true;
    ADComplex current_ad;

    // Every port is born on a node of its own whose initial potential is given.
    Port(const std::complex<double>& current, const std::complex<double>& potential, Element* owner);
    // Nodes hold the address of their ports: a moved port takes its place in its node's list.
    Port(Port&& other) noexcept;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    Port& operator=(Port&&) = delete;
    // Leaves its node's port list, so that a surviving node never sees a dead port.
    ~Port();

    std::complex<double> potential() const;
    ADComplex potential_ad() const;

    // Fixes its node, and every node it is later joined to or moved to.
    void fix_node();
    // Marks the port as one that gives its node no potential of its own.
    void hold_no_potential() { holds_potential = false; }
    // Leaves a node it shares for one of its own, with the potential it reads
    // now; the new node is fixed only if this port fixes nodes.
    void detach() { detach_together({this}); }
    // The same for ports that share a node and must stay one node: they leave
    // it together for a new node of their own.
    static void detach_together(std::initializer_list<Port*> group);
};

// An electrical node: the ports that meet there and their common potential.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    bool fixed = false;
    std::vector<Port*> ports;
    BoundValue<std::complex<double>> potential;

    explicit Connection(const std::complex<double>& initial_potential);

    // Absorbs every port of `other`, whose list is left empty: a network may
    // still hold `other`, and must not reach the ports through it once they
    // are gone. This node keeps its own potential record, unless only ports
    // that hold no potential are on it: it then takes over `other`'s record.
    void merge(const std::shared_ptr<Connection>& other);

    // A fixed node reads 0; a bound one reads its solver slots; else its stored value.
    std::complex<double> get_potential() const;
    ADComplex get_potential_ad() const;
    // Stores a new potential, and writes the solver slots too when bound.
    void set_potential(const std::complex<double>& v) { potential.set(v); }
    // What elements write: a fixed node reads 0 whatever it stores, so it
    // keeps the potential it held free, to start from once it is freed.
    void set_potential_if_free(const std::complex<double>& v) {
        if (!fixed) potential.set(v);
    }

    // A node that loses a reference's port stays fixed only while another
    // reference's port remains on it.
    void remove_port(const Port* port);
};

// The residual rows of one element for its add_equations: `count` rows from
// row `first` of y. A write to any other row throws before it happens.
class ResidualRows {
public:
    // `element` is the element's position in its network, for the message.
    ResidualRows(ADVector& y, int first, int count, std::size_t element)
        : y_(y), first_(first), count_(count), element_(element) {}

    ADScalar& operator[](int row) {
        if (row < first_ || row - first_ >= count_ || row >= y_.size()) refuse(row);
        return y_[row];
    }

private:
    ADVector& y_;
    int first_;
    int count_;
    std::size_t element_;

    [[noreturn]] void refuse(int row) const;
};

class Element {
public:
    std::vector<Port> ports;

    explicit Element(int n_ports);
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;
    virtual ~Element() = default;

    virtual void add_variables(std::vector<double>& x0);
    virtual void add_parameters(std::vector<double>& p0);
    virtual void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index);
    virtual void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index);
    virtual void compute_currents(bool use_ad) = 0;
    virtual void add_equations(ResidualRows& y, int& index);
    virtual void update_backward_forward();
    virtual double backward_forward_error();
    // Whether the forward step writes the potential of the node at this port:
    // a node that no element of the network writes keeps whatever it held.
    virtual bool writes_potential(std::size_t) const { return false; }
    // Whether the port currents and residual rows are linear in the unknowns:
    // their derivatives then depend on the parameters alone.
    virtual bool is_linear() const { return false; }

    // Sets every port current to zero, in AD or plain form.
    void zero_currents(bool use_ad);
    // Puts every port on a node of its own; an element whose ports are tied
    // by construction keeps each tie on one node.
    virtual void disconnect();

protected:
    // For element types that build their own ports (other initial potentials).
    Element() = default;
};

// Between Element and the node-like element types; adds nothing of its own.
template <class X>
class ElementImpl : public Element {
public:
    using Element::Element;

protected:
    ElementImpl() = default;
};

// Element with two sides; ports from n1 + n2 on belong to no side.
class Branch : public Element {
public:
    std::vector<Port*> side1;
    std::vector<Port*> side2;

    Branch(int n1, int n2);
    Branch(int n1, int n2, int n_extra);

    bool on_side2(std::size_t port) const { return port >= side1.size() && port - side1.size() < side2.size(); }

    // Writes the AD side currents; a side given one value fewer than it has
    // ports puts minus their sum on its last port (the neutral).
    void set_side_currents_ad(const ADComplexVector& currents1, const ADComplexVector& currents2);
};

}  // namespace lfe
