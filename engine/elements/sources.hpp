#pragma once

#include <complex>
#include <vector>

#include "element.hpp"

namespace lfe {

// n ports and n - 1 imposed voltages E_i, each balanced by a current
// unknown J_i entering at port i; the last port carries minus their sum.
template <class X>
class AbstractVoltageSource : public ElementImpl<X> {
public:
    std::vector<BoundValue<std::complex<double>>> voltages;
    std::vector<BoundValue<std::complex<double>>> currents;

    AbstractVoltageSource(int n, const std::complex<double>* values) : ElementImpl<X>(n) {
        if (n == 1) return;
        const int count = n - 1;
        reserve_count(voltages, count);
        reserve_count(currents, count);
        for (int i = 0; i < count; ++i) {
            voltages.emplace_back(values[i]);
            currents.emplace_back(0.0);
        }
    }

    void add_variables(std::vector<double>& x0) override {
        for (const auto& j : currents) j.add(x0);
    }

    void add_parameters(std::vector<double>& p0) override {
        for (const auto& e : voltages) e.add(p0);
    }

    void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) override {
        for (auto& j : currents) j.bind(ax, x, index);
    }

    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        for (auto& e : voltages) e.bind(ap, p, index);
    }

    bool is_linear() const override { return true; }

    void compute_currents(bool use_ad) override {
        auto& ports = this->ports;
        if (use_ad) {
            ADComplex sum = ad_zero();
            for (std::size_t i = 0; i < currents.size(); ++i) {
                ports[i].current_ad = currents[i].ad;
                sum -= currents[i].ad;
            }
            ports.back().current_ad = sum;
        } else {
            std::complex<double> sum = 0.0;
            for (std::size_t i = 0; i < currents.size(); ++i) {
                ports[i].current = currents[i].get();
                sum -= ports[i].current;
            }
            ports.back().current = sum;
        }
    }

    void update_voltages(const std::complex<double>* values) {
        for (std::size_t i = 0; i < voltages.size(); ++i) voltages[i].set(values[i]);
    }

protected:
    // Residual of E_i against the recorded potential difference.
    void add_voltage_equation(ResidualRows& y, int& index, std::size_t i, const ADComplex& difference) const {
        y[index] = difference.real() - voltages[i].ad.real();
        y[index + 1] = difference.imag() - voltages[i].ad.imag();
        index += 2;
    }
};

// Star form: E_i is the voltage of phase i against the neutral, the last port.
class VoltageSource : public AbstractVoltageSource<VoltageSource> {
public:
    using AbstractVoltageSource::AbstractVoltageSource;

    void add_equations(ResidualRows& y, int& index) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
    // The phases, from the neutral.
    bool writes_potential(std::size_t port) const override { return port + 1 < ports.size(); }
};

// Delta form: E_i is the voltage between conductor i and conductor i + 1.
class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
public:
    using AbstractVoltageSource::AbstractVoltageSource;

    void add_equations(ResidualRows& y, int& index) override;
    void update_backward_forward() override;
    double backward_forward_error() override;
    // Every conductor after the first, from the first.
    bool writes_potential(std::size_t port) const override { return port > 0; }
};

}  // namespace lfe
