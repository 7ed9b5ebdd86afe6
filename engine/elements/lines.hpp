#pragma once

#include <complex>

#include "element.hpp"

namespace lfe {

// Common base of the line models: n conductors from side 1 to side 2.
template <class X>
class Line : public Branch {
public:
    using Branch::Branch;
};

// Series impedance only: I1 = Y (V1 - V2) = -I2 with Y = inverse(z_line).
class SimplifiedLine : public Line<SimplifiedLine> {
public:
    BoundValue<Eigen::MatrixXcd> y_line;

    // z_line: the n x n series impedance matrix, row by row.
    SimplifiedLine(int n, const std::complex<double>* z_line);

    void update_line_parameters(const std::complex<double>* z_line);

    void add_parameters(std::vector<double>& p0) override;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override;
    void compute_currents(bool use_ad) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
};

}  // namespace lfe
