#pragma once

#include <cmath>
#include <complex>
#include <optional>
#include <utility>
#include <vector>

#include "element.hpp"

namespace lfe {

// Single-phase regulating transformer, input (port 0, neutral port 1) to
// output (port 2, neutral port 3), ratio n = k e^(j phi). The tap k is an
// unknown that pulls the output magnitude towards u_ref within 1 ± u_range.
// Both neutrals are one node from construction on.
class SingleVoltageRegulator : public Branch {
public:
    BoundValue<std::complex<double>> z2;
    BoundValue<std::complex<double>> ym;
    BoundValue<double> u_ref;
    double u_range;
    double alpha;
    double phi;
    BoundValue<double> tap;

    SingleVoltageRegulator(const std::complex<double>& z2, const std::complex<double>& ym, double u_ref,
                           double u_range, double alpha, double phi);

    // Writes the data, re-estimates the tap and, with an input voltage, the
    // output potential.
    void update_parameters(const std::complex<double>& z2, const std::complex<double>& ym, double u_ref);
    double get_tap() const { return tap.get(); }
    // The tap the control law asks for at output magnitude u_out.
    double compute_tap(double u_out) const;
    // The neutrals leave together: they are one node for the regulator's life.
    void disconnect() override;

    void add_variables(std::vector<double>& x0) override;
    void add_parameters(std::vector<double>& p0) override;
    void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) override;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override;
    void compute_currents(bool use_ad) override;
    void add_equations(ResidualRows& y, int& index) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
    // The output terminal, from the input and the common neutral.
    bool writes_potential(std::size_t port) const override { return port == 2; }

private:
    std::complex<double> input_voltage() const;
    std::complex<double> output_voltage() const;
    // Each winding's current enters at its phase and leaves at its neutral.
    void set_currents(const std::complex<double>& i1, const std::complex<double>& i2);
    // u_ref / |U1| within the band; none without an input voltage.
    std::optional<double> estimated_tap() const;

    // n = k e^(j phi), with phi a constant on the tape.
    template <class Scalar>
    std::complex<Scalar> ratio(const Scalar& k) const {
        return {k * std::cos(phi), k * std::sin(phi)};
    }
    // (I1, I2) from the winding voltages, the data and the ratio.
    template <class Complex>
    static std::pair<Complex, Complex> winding_currents(const Complex& u1, const Complex& u2, const Complex& z2,
                                                        const Complex& ym, const Complex& n);
};

}  // namespace lfe
