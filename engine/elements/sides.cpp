#include "sides.hpp"

#include <cmath>
#include <limits>

namespace lfe {

Eigen::VectorXcd side_potentials(const std::vector<Port*>& side) {
    Eigen::VectorXcd v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->potential();
    return v;
}

ADComplexVector side_potentials_ad(const std::vector<Port*>& side) {
    ADComplexVector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->potential_ad();
    return v;
}

Eigen::VectorXcd side_currents(const std::vector<Port*>& side) {
    Eigen::VectorXcd i(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) i[static_cast<Eigen::Index>(k)] = side[k]->current;
    return i;
}

std::complex<double> others_current(const Port& q) {
    std::complex<double> sum = 0.0;
    for (const Port* other : q.connection->ports)
        if (other != &q && other->listed) sum += other->current;
    return sum;
}

void feed_downstream(const std::vector<Port*>& side) {
    for (Port* q : side) q->current = -others_current(*q);
}

void feed_through(const std::vector<Port*>& upstream, const std::vector<Port*>& downstream) {
    feed_downstream(downstream);
    for (std::size_t k = 0; k < upstream.size(); ++k) upstream[k]->current = -downstream[k]->current;
}

double max_move(double running, double move) {
    if (std::isnan(running)) return running;
    return move <= running ? running : move;
}

double nan_mark(const std::complex<double>& v) {
    return std::isnan(v.real()) || std::isnan(v.imag()) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
}

double move_potential(Port& port, const std::complex<double>& v) {
    const auto delta = v - port.potential();
    port.connection->set_potential_if_free(v);
    return max_move(std::hypot(delta.real(), delta.imag()), nan_mark(v));
}

double move_potentials(const std::vector<Port*>& side, const Eigen::VectorXcd& potentials) {
    double error = 0.0;
    for (std::size_t k = 0; k < side.size(); ++k)
        error = max_move(error, move_potential(*side[k], potentials[static_cast<Eigen::Index>(k)]));
    return error;
}

}  // namespace lfe
