#pragma once

#include <complex>
#include <vector>

#include "element.hpp"

namespace lfe {

class LoadBase : public Element {
public:
    using Element::Element;

    // Currents inside the load: one per phase (star) or per branch (delta).
    virtual void get_inner_currents(std::complex<double>* out) = 0;
};

using ValueRecords = std::vector<BoundValue<std::complex<double>>>;

// How the loads read potentials and values and write port currents in each of
// the two computation modes.
struct PlainMode {
    using Complex = std::complex<double>;
    static Complex zero() { return 0.0; }
    static Complex potential(const Port& port) { return port.potential(); }
    static Complex value(const BoundValue<std::complex<double>>& record) { return record.get(); }
    static void set_current(Port& port, const Complex& current) { port.current = current; }
};

struct ADMode {
    using Complex = ADComplex;
    static Complex zero() { return ad_zero(); }
    static Complex potential(const Port& port) { return port.potential_ad(); }
    static const Complex& value(const BoundValue<std::complex<double>>& record) { return record.ad; }
    static void set_current(Port& port, const Complex& current) { port.current_ad = current; }
};

// Branch current of each load family from its value W and the branch voltage dV.
struct PowerLaw {  // dV conj(J) = S
    static std::complex<double> current(const std::complex<double>& s, const std::complex<double>& dv);
    static ADComplex current(const ADComplex& s, const ADComplex& dv);
};

struct CurrentLaw {  // |J| = |I|, J in phase with dV turned by arg I
    static std::complex<double> current(const std::complex<double>& i, const std::complex<double>& dv);
    static ADComplex current(const ADComplex& i, const ADComplex& dv);
};

struct AdmittanceLaw {  // J = Y dV
    static std::complex<double> current(const std::complex<double>& y, const std::complex<double>& dv);
    static ADComplex current(const ADComplex& y, const ADComplex& dv);
};

// Star (X::delta false): n ports, phases then the neutral, one value per phase.
// Delta (X::delta true): n phases, branch i from port i to port (i + 1) mod n.
template <class X>
class Load : public LoadBase {
public:
    using LoadBase::LoadBase;

protected:
    static ValueRecords make_records(int n, const std::complex<double>* values) {
        const int count = X::delta ? n : n - 1;
        ValueRecords records;
        if (count == 0) return records;
        reserve_count(records, count);
        for (int i = 0; i < count; ++i) records.emplace_back(values[i]);
        return records;
    }

    static void add_records(const ValueRecords& records, std::vector<double>& p0) {
        for (const auto& record : records) record.add(p0);
    }

    static void bind_records(ValueRecords& records, const ADVector& ap, Eigen::VectorXd& p, int& index) {
        for (auto& record : records) record.bind(ap, p, index);
    }

    template <class Mode>
    typename Mode::Complex branch_voltage(std::size_t i) const {
        const std::size_t other = X::delta ? (i + 1) % ports.size() : ports.size() - 1;
        return Mode::potential(ports[i]) - Mode::potential(ports[other]);
    }

    template <class Law>
    std::complex<double> branch_current(const ValueRecords& records, std::size_t i) const {
        return Law::current(records[i].get(), branch_voltage<PlainMode>(i));
    }

    template <class Mode, class Law>
    void compute_with(const ValueRecords& records) {
        std::vector<typename Mode::Complex> j;
        j.reserve(records.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            j.push_back(Law::current(Mode::value(records[i]), branch_voltage<Mode>(i)));
        set_port_currents<Mode>(j);
    }

    // Star: the neutral carries minus the phases' sum. Delta: port k carries
    // the branch leaving it minus the branch arriving at it.
    template <class Mode>
    void set_port_currents(const std::vector<typename Mode::Complex>& j) {
        const std::size_t n = ports.size();
        if constexpr (X::delta) {
            for (std::size_t k = 0; k < n; ++k) Mode::set_current(ports[k], j[k] - j[(k + n - 1) % n]);
        } else {
            auto neutral = Mode::zero();
            for (std::size_t i = 0; i < j.size(); ++i) {
                Mode::set_current(ports[i], j[i]);
                neutral -= j[i];
            }
            Mode::set_current(ports.back(), neutral);
        }
    }

    void copy_phase_currents(std::complex<double>* out) const {
        for (std::size_t i = 0; i + 1 < ports.size(); ++i) out[i] = ports[i].current;
    }

    template <class Law>
    void copy_branch_currents(const ValueRecords& records, std::complex<double>* out) const {
        for (std::size_t i = 0; i < records.size(); ++i) out[i] = branch_current<Law>(records, i);
    }
};

template <class X>
class AbstractPowerLoad : public Load<X> {
public:
    ValueRecords powers;

    AbstractPowerLoad(int n, const std::complex<double>* values)
        : Load<X>(n), powers(Load<X>::make_records(n, values)) {}

    void add_parameters(std::vector<double>& p0) override { this->add_records(powers, p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        this->bind_records(powers, ap, p, index);
    }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            this->template compute_with<ADMode, PowerLaw>(powers);
        else
            compute_currents_double();
    }
    void update_backward_forward() override { compute_currents_double(); }

protected:
    void compute_currents_double() { this->template compute_with<PlainMode, PowerLaw>(powers); }
};

template <class X>
class AbstractCurrentLoad : public Load<X> {
public:
    ValueRecords currents;

    AbstractCurrentLoad(int n, const std::complex<double>* values)
        : Load<X>(n), currents(Load<X>::make_records(n, values)) {}

    void add_parameters(std::vector<double>& p0) override { this->add_records(currents, p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        this->bind_records(currents, ap, p, index);
    }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            this->template compute_with<ADMode, CurrentLaw>(currents);
        else
            compute_currents_double();
    }
    void update_backward_forward() override { compute_currents_double(); }

protected:
    void compute_currents_double() { this->template compute_with<PlainMode, CurrentLaw>(currents); }
};

template <class X>
class AbstractAdmittanceLoad : public Load<X> {
public:
    ValueRecords admittances;

    AbstractAdmittanceLoad(int n, const std::complex<double>* values)
        : Load<X>(n), admittances(Load<X>::make_records(n, values)) {}

    void add_parameters(std::vector<double>& p0) override { this->add_records(admittances, p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        this->bind_records(admittances, ap, p, index);
    }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            this->template compute_with<ADMode, AdmittanceLaw>(admittances);
        else
            compute_currents_double();
    }
    bool is_linear() const override { return true; }
    void update_backward_forward() override { compute_currents_double(); }

protected:
    void compute_currents_double() { this->template compute_with<PlainMode, AdmittanceLaw>(admittances); }
};

class PowerLoad : public AbstractPowerLoad<PowerLoad> {
public:
    static constexpr bool delta = false;
    PowerLoad(int n, const std::complex<double>* powers);
    void get_inner_currents(std::complex<double>* out) override;
};

class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
public:
    static constexpr bool delta = true;
    DeltaPowerLoad(int n, const std::complex<double>* powers);
    void get_inner_currents(std::complex<double>* out) override;
};

class CurrentLoad : public AbstractCurrentLoad<CurrentLoad> {
public:
    static constexpr bool delta = false;
    CurrentLoad(int n, const std::complex<double>* currents);
    void get_inner_currents(std::complex<double>* out) override;
};

class DeltaCurrentLoad : public AbstractCurrentLoad<DeltaCurrentLoad> {
public:
    static constexpr bool delta = true;
    DeltaCurrentLoad(int n, const std::complex<double>* currents);
    void get_inner_currents(std::complex<double>* out) override;
    // Current J_i of branch i from the present potentials and value.
    std::complex<double> compute_branch_current(std::size_t i) const;
};

class AdmittanceLoad : public AbstractAdmittanceLoad<AdmittanceLoad> {
public:
    static constexpr bool delta = false;
    AdmittanceLoad(int n, const std::complex<double>* admittances);
    void get_inner_currents(std::complex<double>* out) override;
};

class DeltaAdmittanceLoad : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
public:
    static constexpr bool delta = true;
    DeltaAdmittanceLoad(int n, const std::complex<double>* admittances);
    void get_inner_currents(std::complex<double>* out) override;
};

}  // namespace lfe
