#include "lines.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "sides.hpp"

namespace lfe {

namespace {

using RowMajorMatrixXcd = Eigen::Matrix<std::complex<double>, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

Eigen::MatrixXcd row_major(int n, const std::complex<double>* values) {
    return Eigen::Map<const RowMajorMatrixXcd>(values, n, n);
}

Eigen::MatrixXcd series_admittance(int n, const std::complex<double>* z_line) {
    return row_major(n, z_line).inverse();
}

void write_currents(const std::vector<Port*>& side, const Eigen::VectorXcd& currents) {
    for (std::size_t k = 0; k < side.size(); ++k) side[k]->current = currents[static_cast<Eigen::Index>(k)];
}

struct PiModel {
    Eigen::MatrixXcd a, b, c, d, y11, y12, y21, y22, y2g, y1g;
    Eigen::VectorXcd yg;
};

PiModel pi_model(int n, const std::complex<double>* y_shunt, const std::complex<double>* z_line) {
    const Eigen::MatrixXcd y = row_major(n, y_shunt);
    const Eigen::MatrixXcd z = row_major(n, z_line);
    const Eigen::MatrixXcd identity = Eigen::MatrixXcd::Identity(n, n);
    PiModel m;
    m.a = identity + (0.5 * z) * y;
    m.b = z;
    m.c = y + ((0.25 * y) * z) * y;
    m.d = identity + (0.5 * y) * z;
    const Eigen::VectorXcd g = -0.5 * y.rowwise().sum();
    const Eigen::VectorXcd t = m.b * g;
    const Eigen::VectorXcd w = 2.0 * g + ((0.5 * y) * z) * g;
    const Eigen::MatrixXcd b_inverse = m.b.inverse();
    const Eigen::MatrixXcd d_b_inverse = m.d * b_inverse;
    m.y11 = d_b_inverse;
    m.y12 = m.c - d_b_inverse * m.a;
    m.y21 = -b_inverse;
    m.y22 = b_inverse * m.a;
    // The ground port returns what the shunt columns draw, so that the line
    // conserves charge even for a Y that is not symmetric.
    m.yg = -0.5 * y.colwise().sum().transpose();
    m.y2g = w - d_b_inverse * t;
    m.y1g = b_inverse * t;
    return m;
}

template <class Vector, class Scalar>
Scalar ground_current(const Vector& yg, const Vector& v1, const Vector& v2, const Scalar& vg) {
    return yg.cwiseProduct(v1 + v2 - Vector::Constant(yg.size(), vg + vg)).sum();
}

}  // namespace

SimplifiedLine::SimplifiedLine(int n, const std::complex<double>* z_line)
    : Line<SimplifiedLine>(n, n), y_line(series_admittance(n, z_line)) {}

void SimplifiedLine::update_line_parameters(const std::complex<double>* z_line) {
    y_line.set(series_admittance(static_cast<int>(ports.size() / 2), z_line));
}

void SimplifiedLine::add_parameters(std::vector<double>& p0) { y_line.add(p0); }

void SimplifiedLine::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) {
    y_line.bind(ap, p, index);
}

void SimplifiedLine::compute_currents(bool use_ad) {
    if (use_ad) {
        const ADComplexVector i = y_line.ad * (side_potentials_ad(side1) - side_potentials_ad(side2));
        set_side_currents_ad(i, i.unaryExpr([](const ADComplex& z) { return ad_negate(z); }));
        return;
    }
    const Eigen::VectorXcd i = y_line.get() * (side_potentials(side1) - side_potentials(side2));
    write_currents(side1, i);
    write_currents(side2, -i);
}

void SimplifiedLine::update_backward_forward() { feed_through(side1, side2); }

const Eigen::MatrixXcd& SimplifiedLine::series_impedance() {
    if (z_line.size() == 0 || y_line.values != z_line_slots || y_line.writes != z_line_writes) {
        z_line = y_line.get().inverse();
        z_line_slots = y_line.values;
        z_line_writes = y_line.writes;
    }
    return z_line;
}

double SimplifiedLine::backward_forward_error() {
    return move_potentials(side2, side_potentials(side1) - series_impedance() * side_currents(side1));
}

ShuntLine::ShuntLine(int n, const std::complex<double>* y_shunt, const std::complex<double>* z_line)
    : Line<ShuntLine>(n, n, 1), ground_port(&ports.back()) {
    update_line_parameters(y_shunt, z_line);
}

void ShuntLine::update_line_parameters(const std::complex<double>* y_shunt, const std::complex<double>* z_line) {
    PiModel m = pi_model(static_cast<int>(side1.size()), y_shunt, z_line);
    y11.set(m.y11);
    y12.set(m.y12);
    y21.set(m.y21);
    y22.set(m.y22);
    yg.set(m.yg);
    y2g.set(m.y2g);
    y1g.set(m.y1g);
    a = std::move(m.a);
    b = std::move(m.b);
    c = std::move(m.c);
    d = std::move(m.d);
}

void ShuntLine::add_parameters(std::vector<double>& p0) {
    for_each_parameter([&](const auto& parameter) { parameter.add(p0); });
}

void ShuntLine::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) {
    for_each_parameter([&](auto& parameter) { parameter.bind(ap, p, index); });
}

void ShuntLine::compute_currents(bool use_ad) {
    if (use_ad) {
        const ADComplexVector v1 = side_potentials_ad(side1);
        const ADComplexVector v2 = side_potentials_ad(side2);
        const ADComplex vg = ground_port->potential_ad();
        set_side_currents_ad(y11.ad * v1 + y12.ad * v2 + y1g.ad.col(0) * vg,
                             y21.ad * v1 + y22.ad * v2 + y2g.ad.col(0) * vg);
        ground_port->current_ad = ground_current(yg.ad, v1, v2, vg);
        return;
    }
    const Eigen::VectorXcd v1 = side_potentials(side1);
    const Eigen::VectorXcd v2 = side_potentials(side2);
    const std::complex<double> vg = ground_port->potential();
    write_currents(side1, y11.get() * v1 + y12.get() * v2 + y1g.get().col(0) * vg);
    write_currents(side2, y21.get() * v1 + y22.get() * v2 + y2g.get().col(0) * vg);
    ground_port->current = ground_current(yg.get(), v1, v2, vg);
}

void ShuntLine::update_backward_forward() {
    feed_downstream(side2);
    const Eigen::VectorXcd i2 = side_currents(side2);
    const Eigen::VectorXcd i1 = c * side_potentials(side2) - d * i2;
    write_currents(side1, i1);
    ground_port->current = -i1.sum() - i2.sum();
}

double ShuntLine::backward_forward_error() {
    if (side1.size() == 1) return single_conductor_step();
    return move_potentials(side2, a * side_potentials(side1) - b * side_currents(side1));
}

// One conductor: the move is measured by its larger part, a bound far node
// takes the new potential in its solver slots only, and a fixed one keeps
// what it stores.
double ShuntLine::single_conductor_step() {
    const std::complex<double> v2 = a(0, 0) * side1[0]->potential() - b(0, 0) * side1[0]->current;
    Connection& far = *side2[0]->connection;
    const std::complex<double> move = v2 - far.get_potential();
    if (far.potential.bound && !far.fixed) {
        far.potential.values[0] = v2.real();
        far.potential.values[1] = v2.imag();
    } else {
        far.set_potential_if_free(v2);
    }
    return max_move(std::max(std::abs(move.real()), std::abs(move.imag())), nan_mark(move));
}

}  // namespace lfe
