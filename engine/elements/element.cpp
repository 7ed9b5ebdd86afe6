#include "element.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace lfe {

Port::Port(const std::complex<double>& current, const std::complex<double>& potential, Element* owner)
    : element(owner), current(current), current_ad(ad_zero()) {
    connection = std::make_shared<Connection>(potential);
    connection->ports.push_back(this);
}

Port::Port(Port&& other) noexcept
    : connection(std::move(other.connection)),
      element(other.element),
      current(other.current),
      listed(other.listed),
      fixes_node(other.fixes_node),
      holds_potential(other.holds_potential),
      current_ad(std::move(other.current_ad)) {
    if (connection) std::replace(connection->ports.begin(), connection->ports.end(), &other, this);
}

Port::~Port() {
    if (connection) connection->remove_port(this);
}

std::complex<double> Port::potential() const { return connection->get_potential(); }

ADComplex Port::potential_ad() const { return connection->get_potential_ad(); }

void Port::fix_node() {
    fixes_node = true;
    holds_potential = false;
    connection->fixed = true;
}

void Port::detach_together(std::initializer_list<Port*> group) {
    // A copy: the loop below reassigns the first port's share.
    const auto shared = (*group.begin())->connection;
    if (shared->ports.size() == group.size()) return;
    auto own = std::make_shared<Connection>(shared->get_potential());
    own->fixed = std::any_of(group.begin(), group.end(), [](const Port* q) { return q->fixes_node; });
    for (Port* q : group) {
        q->connection->remove_port(q);
        q->connection = own;
        own->ports.push_back(q);
    }
}

Connection::Connection(const std::complex<double>& initial_potential) : potential(initial_potential) {}

void Connection::merge(const std::shared_ptr<Connection>& other) {
    if (other.get() == this) return;
    // A node of grounds and references holds no potential of its own: it was
    // born at 0 V. It takes over `other`'s record, stored value and slots
    // alike, so that the ports read and start from the same values whichever
    // node survives the join.
    if (std::none_of(ports.begin(), ports.end(), [](const Port* q) { return q->holds_potential; })) {
        // A solver that bound this node's record would go on reading it.
        if (potential.bound) BindingScope::outdate();
        potential = other->potential;
    }
    fixed = fixed || other->fixed;
    const auto self = shared_from_this();
    // `other` may be a reference to one of the ports' own shares: keep it alive.
    const auto absorbed = other;
    for (Port* q : absorbed->ports) {
        ports.push_back(q);
        q->connection = self;
    }
    absorbed->ports.clear();
}

std::complex<double> Connection::get_potential() const {
    if (fixed) return {0.0, 0.0};
    return potential.get();
}

ADComplex Connection::get_potential_ad() const {
    if (fixed) return ad_zero();
    return potential.ad;
}

void Connection::remove_port(const Port* port) {
    ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
    // The port's own flag, not its element: the element may be under destruction.
    if (port->fixes_node) fixed = std::any_of(ports.begin(), ports.end(), [](const Port* q) { return q->fixes_node; });
}

void ResidualRows::refuse(int row) const {
    throw std::runtime_error("Element " + std::to_string(element_) + " writes residual row " + std::to_string(row) +
                             " outside its " + std::to_string(count_) + " rows from row " + std::to_string(first_));
}

Element::Element(int n_ports) {
    reserve_count(ports, n_ports);
    for (int i = 0; i < n_ports; ++i) ports.emplace_back(0.0, 0.0, this);
}

void Element::add_variables(std::vector<double>&) {}
void Element::add_parameters(std::vector<double>&) {}
void Element::bind_variables(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::bind_parameters(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::add_equations(ResidualRows&, int&) {}

void Element::update_backward_forward() {
    throw std::runtime_error("2 No backward-forward method has been defined for this element");
}

double Element::backward_forward_error() { return 0.0; }

void Element::zero_currents(bool use_ad) {
    for (auto& port : ports) {
        if (use_ad)
            port.current_ad = ad_zero();
        else
            port.current = 0.0;
    }
}

void Element::disconnect() {
    for (auto& port : ports) port.detach();
}

namespace {

// Summed where it cannot overflow; a total outside int fails as a negative
// port count does.
int branch_port_count(int n1, int n2, int n_extra) {
    const long long total = static_cast<long long>(n1) + n2 + n_extra;
    if (total < std::numeric_limits<int>::min() || total > std::numeric_limits<int>::max())
        throw std::length_error("vector");
    return static_cast<int>(total);
}

}  // namespace

Branch::Branch(int n1, int n2) : Branch(n1, n2, 0) {}

Branch::Branch(int n1, int n2, int n_extra) : Element(branch_port_count(n1, n2, n_extra)) {
    if (n1 < 0 || n2 < 0 || n_extra < 0)
        throw std::invalid_argument("A branch needs non-negative port counts");
    side1.reserve(static_cast<std::size_t>(n1));
    side2.reserve(static_cast<std::size_t>(n2));
    for (int i = 0; i < n1; ++i) side1.push_back(&ports[static_cast<std::size_t>(i)]);
    for (int i = 0; i < n2; ++i) side2.push_back(&ports[static_cast<std::size_t>(n1 + i)]);
}

namespace {

void set_side_ad(std::vector<Port*>& side, const ADComplexVector& currents) {
    const auto n = static_cast<std::size_t>(currents.size());
    if (n > side.size())
        throw std::invalid_argument("More side currents (" + std::to_string(n) + ") than side ports (" +
                                    std::to_string(side.size()) + ")");
    for (std::size_t k = 0; k < n; ++k) side[k]->current_ad = currents[static_cast<Eigen::Index>(k)];
    if (n < side.size()) {
        ADScalar re(0.0), im(0.0);
        for (std::size_t k = 0; k < n; ++k) {
            re -= currents[static_cast<Eigen::Index>(k)].real();
            im -= currents[static_cast<Eigen::Index>(k)].imag();
        }
        side.back()->current_ad = ADComplex(re, im);
    }
}

}  // namespace

void Branch::set_side_currents_ad(const ADComplexVector& currents1, const ADComplexVector& currents2) {
    set_side_ad(side1, currents1);
    set_side_ad(side2, currents2);
}

}  // namespace lfe
