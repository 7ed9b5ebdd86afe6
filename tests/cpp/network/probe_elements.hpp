#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <functional>
#include <string>
#include <vector>

#include "elements/element.hpp"
#include "network/electrical_network.hpp"

// Small elements with known equations, for the network and solver tests.
namespace lfe::probes {

inline void connect(Port& a, Port& b) { a.connection->merge(b.connection); }

// Admittance g between port 0 and port 1: I0 = g (V0 - V1) = -I1.
class Conductance : public Branch {
public:
    BoundValue<std::complex<double>> g;

    explicit Conductance(std::complex<double> g) : Branch(1, 1), g(g) {}

    void add_parameters(std::vector<double>& p0) override { g.add(p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override { g.bind(ap, p, index); }
    void compute_currents(bool use_ad) override {
        if (use_ad) {
            const ADComplex i = g.ad * (ports[0].potential_ad() - ports[1].potential_ad());
            ports[0].current_ad = i;
            ports[1].current_ad = ad_negate(i);
        } else {
            const auto i = g.get() * (ports[0].potential() - ports[1].potential());
            ports[0].current = i;
            ports[1].current = -i;
        }
    }
};

// Holds its node at e through the current unknown j drawn from the node.
class Source : public Element {
public:
    BoundValue<std::complex<double>> e;
    BoundValue<std::complex<double>> j;

    explicit Source(std::complex<double> e) : Element(1), e(e), j(0.0) {}

    void add_variables(std::vector<double>& x0) override { j.add(x0); }
    void add_parameters(std::vector<double>& p0) override { e.add(p0); }
    void bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) override { j.bind(ax, x, index); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override { e.bind(ap, p, index); }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            ports[0].current_ad = j.ad;
        else
            ports[0].current = j.get();
    }
    void add_equations(ResidualRows& y, int& index) override {
        const ADComplex v = ports[0].potential_ad();
        y[index] = v.real() - e.ad.real();
        y[index + 1] = v.imag() - e.ad.imag();
        index += 2;
    }
};

// One port drawing the current given by a law of its potential and of the
// parameter k.
class Law : public Element {
public:
    using ADLaw = std::function<ADComplex(const ADComplex& v, const ADComplex& k)>;
    using PlainLaw = std::function<std::complex<double>(std::complex<double> v, std::complex<double> k)>;

    BoundValue<std::complex<double>> k;

    Law(ADLaw ad_law, PlainLaw plain_law, std::complex<double> k = 0.0)
        : Element(1), k(k), ad_law_(std::move(ad_law)), plain_law_(std::move(plain_law)) {}

    void add_parameters(std::vector<double>& p0) override { k.add(p0); }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override { k.bind(ap, p, index); }
    void compute_currents(bool use_ad) override {
        if (use_ad)
            ports[0].current_ad = ad_law_(ports[0].potential_ad(), k.ad);
        else
            ports[0].current = plain_law_(ports[0].potential(), k.get());
    }

private:
    ADLaw ad_law_;
    PlainLaw plain_law_;
};

// Draws nothing; its sweep steps, which stand for writing its node, follow a
// script and are written to a journal.
class Scripted : public Element {
public:
    Scripted(std::string name, std::vector<double> errors, std::vector<std::string>& journal)
        : Element(1), name_(std::move(name)), errors_(std::move(errors)), journal_(journal) {}

    void compute_currents(bool use_ad) override { zero_currents(use_ad); }
    void update_backward_forward() override { journal_.push_back("backward " + name_); }
    double backward_forward_error() override {
        journal_.push_back("forward " + name_);
        const double error = errors_[std::min(sweeps_, errors_.size() - 1)];
        ++sweeps_;
        return error;
    }
    bool writes_potential(std::size_t) const override { return true; }

private:
    std::string name_;
    std::vector<double> errors_;
    std::vector<std::string>& journal_;
    std::size_t sweeps_ = 0;
};

// Source e on node A, g1 between A and B, g2 between B and a fixed node.
struct Divider {
    Source source;
    Conductance upper;
    Conductance lower;
    ElectricalNetwork network;

    explicit Divider(std::complex<double> e = {10.0, 1.0}, std::complex<double> g1 = {2.0, 0.0},
                     std::complex<double> g2 = {3.0, 0.0})
        : source(e), upper(g1), lower(g2), network(wire()) {}

    std::complex<double> node_b() const { return upper.ports[1].potential(); }
    std::complex<double> expected_b() const {
        return source.e.get() * upper.g.get() / (upper.g.get() + lower.g.get());
    }

private:
    std::vector<Element*> wire() {
        connect(source.ports[0], upper.ports[0]);
        connect(upper.ports[1], lower.ports[0]);
        lower.ports[1].connection->fixed = true;
        return {&source, &upper, &lower};
    }
};

inline void expect_near(std::complex<double> actual, std::complex<double> expected, double tolerance = 1e-9) {
    EXPECT_NEAR(actual.real(), expected.real(), tolerance) << actual << " vs " << expected;
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance) << actual << " vs " << expected;
}

}  // namespace lfe::probes
