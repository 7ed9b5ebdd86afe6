#pragma once

#include <complex>
#include <cstdint>

#include "element.hpp"

namespace lfe {

// Common base of the line models: n conductors from side 1 to side 2.
template <class X>
class Line : public Branch {
public:
    using Branch::Branch;
    bool is_linear() const override { return true; }
    bool writes_potential(std::size_t port) const override { return on_side2(port); }
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

private:
    // The series impedance for the sweep, and where and after how many writes
    // the admittance it was inverted from stood: any solver may hold it.
    Eigen::MatrixXcd z_line;
    const double* z_line_slots = nullptr;
    std::uint64_t z_line_writes = 0;

    const Eigen::MatrixXcd& series_impedance();
};

// The pi model: series impedance Z between the sides, half the shunt
// admittance Y at each end, returning through an extra ground port.
// The admittance form is what Newton sees; the sweep runs on the
// transmission form V2 = a V1 - b I1, I1 = c V2 - d I2.
class ShuntLine : public Line<ShuntLine> {
public:
    Port* ground_port;
    BoundValue<Eigen::MatrixXcd> y11;
    BoundValue<Eigen::MatrixXcd> y12;
    BoundValue<Eigen::MatrixXcd> y21;
    BoundValue<Eigen::MatrixXcd> y22;
    BoundValue<Eigen::VectorXcd> yg;
    BoundValue<Eigen::MatrixXcd> y2g;
    BoundValue<Eigen::MatrixXcd> y1g;
    Eigen::MatrixXcd a;
    Eigen::MatrixXcd b;
    Eigen::MatrixXcd c;
    Eigen::MatrixXcd d;

    // y_shunt and z_line: n x n matrices, row by row.
    ShuntLine(int n, const std::complex<double>* y_shunt, const std::complex<double>* z_line);

    void update_line_parameters(const std::complex<double>* y_shunt, const std::complex<double>* z_line);

    void add_parameters(std::vector<double>& p0) override;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override;
    void compute_currents(bool use_ad) override;
    void update_backward_forward() override;
    double backward_forward_error() override;

private:
    double single_conductor_step();

    // The seven parameters in their order in p.
    template <class F>
    void for_each_parameter(F f) {
        f(y11);
        f(y12);
        f(y21);
        f(y22);
        f(yg);
        f(y2g);
        f(y1g);
    }
};

}  // namespace lfe
