#pragma once

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "flexible_parameter.hpp"
#include "loads.hpp"

namespace lfe {

// The power a flexible phase or branch draws at the branch voltage dV.
struct FlexiblePower {
    static std::complex<double> of(const FlexibleParameter& parameter, const std::complex<double>& s_th,
                                   const std::complex<double>& dv);
    static ADComplex of(const FlexibleParameter& parameter, const ADComplex& s_th, const ADComplex& dv);
};

// A power load whose power on phase or branch i follows the voltage across it
// through parameters[i]. The parameters belong to their owners and must
// outlive the load.
template <class X>
class AbstractFlexibleLoad : public Load<X> {
public:
    std::vector<FlexibleParameter*> parameters;
    ValueRecords powers;

    // Throws std::invalid_argument when `parameters` holds fewer pointers than
    // there are phases or branches, or a null one: the network reads them all.
    AbstractFlexibleLoad(int n, const std::complex<double>* values, std::vector<FlexibleParameter*>&& parameters_)
        : Load<X>(n), parameters(std::move(parameters_)), powers(Load<X>::make_records(n, values)) {
        if (parameters.size() < powers.size())
            throw std::invalid_argument("A flexible load needs one flexible parameter per value");
        if (std::find(parameters.begin(), parameters.end(), nullptr) != parameters.end())
            throw std::invalid_argument("A flexible load needs non-null parameters");
    }

    // The powers actually drawn, one per phase or branch.
    virtual void get_powers(std::complex<double>* out) = 0;

    void add_parameters(std::vector<double>& p0) override { this->add_records(powers, p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        this->bind_records(powers, ap, p, index);
    }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            compute_with<ADMode>();
        else
            compute_currents_double();
    }
    void update_backward_forward() override { compute_currents_double(); }

protected:
    void compute_currents_double() { compute_with<PlainMode>(); }

    template <class Mode>
    void compute_with() {
        std::vector<typename Mode::Complex> j;
        j.reserve(powers.size());
        for (std::size_t i = 0; i < powers.size(); ++i) {
            const auto dv = this->template branch_voltage<Mode>(i);
            j.push_back(PowerLaw::current(FlexiblePower::of(*parameters[i], Mode::value(powers[i]), dv), dv));
        }
        this->template set_port_currents<Mode>(j);
    }

    // (dV, S) of phase or branch i from the present potentials and values.
    std::pair<std::complex<double>, std::complex<double>> branch_power(std::size_t i) const {
        const auto dv = this->template branch_voltage<PlainMode>(i);
        return {dv, FlexiblePower::of(*parameters[i], powers[i].get(), dv)};
    }

    void copy_powers(std::complex<double>* out) const {
        for (std::size_t i = 0; i < powers.size(); ++i) out[i] = branch_power(i).second;
    }
};

class FlexibleLoad : public AbstractFlexibleLoad<FlexibleLoad> {
public:
    static constexpr bool delta = false;
    FlexibleLoad(int n, const std::complex<double>* powers, std::vector<FlexibleParameter*>&& parameters);
    void get_inner_currents(std::complex<double>* out) override;
    void get_powers(std::complex<double>* out) override;
};

class DeltaFlexibleLoad : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
public:
    static constexpr bool delta = true;
    DeltaFlexibleLoad(int n, const std::complex<double>* powers, std::vector<FlexibleParameter*>&& parameters);
    void get_inner_currents(std::complex<double>* out) override;
    void get_powers(std::complex<double>* out) override;
    // (dV, S) of branch i from the present potentials and value.
    std::pair<std::complex<double>, std::complex<double>> compute_branch_power(std::size_t i) const;
};

}  // namespace lfe
