#include "lines.hpp"

#include "sides.hpp"

namespace lfe {

namespace {

using RowMajorMatrixXcd = Eigen::Matrix<std::complex<double>, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

Eigen::MatrixXcd series_admittance(int n, const std::complex<double>* z_line) {
    const Eigen::MatrixXcd z = Eigen::Map<const RowMajorMatrixXcd>(z_line, n, n);
    return z.inverse();
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
    for (std::size_t k = 0; k < side1.size(); ++k) {
        side1[k]->current = i[static_cast<Eigen::Index>(k)];
        side2[k]->current = -i[static_cast<Eigen::Index>(k)];
    }
}

void SimplifiedLine::update_backward_forward() { feed_through(side1, side2); }

double SimplifiedLine::backward_forward_error() {
    const Eigen::MatrixXcd z = y_line.get().inverse();
    return move_potentials(side2, side_potentials(side1) - z * side_currents(side1));
}

}  // namespace lfe
