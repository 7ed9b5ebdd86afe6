#pragma once

#include <complex>
#include <string>
#include <utility>
#include <vector>

#include "element.hpp"

namespace lfe {

// Two-winding transformer: side 1 is the HV side, side 2 the LV side. Its
// currents are functions of the node potentials and of three parameters.
class TransformerBase : public Branch {
public:
    BoundValue<std::complex<double>> z2;  // series impedance, seen from the LV side
    BoundValue<std::complex<double>> ym;  // magnetising admittance, seen from the HV side
    BoundValue<std::complex<double>> k;   // LV over HV winding voltage at no load

    TransformerBase(int n1, int n2, std::complex<double> z2, std::complex<double> ym, std::complex<double> k);

    void add_parameters(std::vector<double>& p0) override;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override;
    bool is_linear() const override { return true; }

    void update_transformer_parameters(const std::complex<double>& z2, const std::complex<double>& ym,
                                       std::complex<double> k);

    // The no-load and short-circuit tests on the element's own model, with
    // rated winding voltages uhv and ulv and rated power sn: (no-load losses,
    // relative no-load current) and (load losses, relative short-circuit voltage).
    // They leave the network's nodes and the port currents as they were.
    virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) = 0;
    virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) = 0;
};

// Port potentials or currents in a computation mode (PlainMode or ADMode).
template <class Mode>
using PortVector = Eigen::Matrix<typename Mode::Complex, Eigen::Dynamic, 1>;

template <class Mode>
struct SideCurrents {
    PortVector<Mode> side1;
    PortVector<Mode> side2;
};

// X gives `currents<Mode>(v1, v2)`, its port currents from the side
// potentials; this body writes them into the ports and runs the tests on them.
template <class X>
class Transformer : public TransformerBase {
public:
    using TransformerBase::TransformerBase;

    void compute_currents(bool use_ad) override;
    void update_backward_forward() override;

protected:
    // Active power drawn by side 1 and the magnitude of the HV port 0 current
    // at test potentials; the nodes are not touched.
    std::pair<double, double> run_test(const Eigen::VectorXcd& v1, const Eigen::VectorXcd& v2) const;
};

// Single-phase: ports 0, 1 the HV terminals, ports 2, 3 the LV terminals.
class SingleTransformer : public Transformer<SingleTransformer> {
public:
    SingleTransformer(std::complex<double> z2, std::complex<double> ym, std::complex<double> k);

    void update_backward_forward() override;
    double backward_forward_error() override;
    // The LV phase terminal, from the HV winding and the LV neutral.
    bool writes_potential(std::size_t port) const override { return port == 2; }
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;

private:
    friend class Transformer<SingleTransformer>;

    template <class Mode>
    SideCurrents<Mode> currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const;
};

// Single-phase with a centre-tapped LV winding: ports 2, 3 the LV conductors
// a and b, port 4 the neutral; each half has z2 / 2. Only Re k is used.
class CenterTransformer : public Transformer<CenterTransformer> {
public:
    CenterTransformer(std::complex<double> z2, std::complex<double> ym, double k);

    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;

private:
    friend class Transformer<CenterTransformer>;

    template <class Mode>
    SideCurrents<Mode> currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const;
};

// Three-phase, any usual vector group: HV "Y" or "D", LV "y", "d" or "z", the
// clock number in steps of 30° of LV lag. The group becomes constant maps
// between port and winding quantities once, at construction. Only Re k is used.
class ThreePhaseTransformer : public Transformer<ThreePhaseTransformer> {
public:
    Eigen::Matrix3d hv_current_map;  // HV winding currents to HV phase ports
    Eigen::MatrixXd hv_voltage_map;  // HV port potentials to HV winding voltages
    Eigen::Matrix3d lv_current_map;  // LV winding currents to LV phase ports
    Eigen::Matrix3d lv_coupling;     // HV winding voltages to induced LV voltages
    Eigen::MatrixXd lv_voltage_map;  // LV port potentials to LV winding voltages
    Eigen::Matrix3d hv_coupling;     // LV winding currents back to the HV windings
    double orientation;
    int clock;
    std::string whv;
    std::string wlv;

    // A star winding has 4 ports (its neutral last), the others 3.
    ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                          const std::complex<double>& z2, const std::complex<double>& ym, double k, int clock);

    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;

private:
    friend class Transformer<ThreePhaseTransformer>;

    template <class Mode>
    SideCurrents<Mode> currents(const PortVector<Mode>& v1, const PortVector<Mode>& v2) const;
    void set_hv_winding();
    void set_lv_winding();
};

// The shared bodies are compiled once, with the transformer models.
extern template class Transformer<SingleTransformer>;
extern template class Transformer<CenterTransformer>;
extern template class Transformer<ThreePhaseTransformer>;

}  // namespace lfe
