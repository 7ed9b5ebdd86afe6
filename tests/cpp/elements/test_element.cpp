#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <functional>
#include <utility>
#include <vector>
#include <stdexcept>
#include <string>

#include "elements/bus.hpp"
#include "elements/element.hpp"
#include "elements/flexible_load.hpp"
#include "elements/lines.hpp"
#include "elements/load_balancer.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "elements/switches.hpp"
#include "elements/transformers.hpp"
#include "elements/voltage_regulator.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

class Probe : public Element {
public:
    using Element::Element;
    void compute_currents(bool use_ad) override { zero_currents(use_ad); }
};

TEST(Connection, MergeKeepsCallerNodeAndAppendsPortsInOrder) {
    Probe a(1), b(2);
    b.ports[1].connection->merge(b.ports[0].connection);  // b0 joins b1's node
    auto node_a = a.ports[0].connection;
    node_a->potential.value = {230.0, 0.0};
    node_a->merge(b.ports[1].connection);
    ASSERT_EQ(node_a->ports.size(), 3u);
    EXPECT_EQ(node_a->ports[0], &a.ports[0]);
    EXPECT_EQ(node_a->ports[1], &b.ports[1]);
    EXPECT_EQ(node_a->ports[2], &b.ports[0]);
    for (auto& port : b.ports) EXPECT_EQ(port.connection, node_a);
    EXPECT_EQ(node_a->get_potential(), std::complex<double>(230.0, 0.0));
    node_a->merge(node_a);
    EXPECT_EQ(node_a->ports.size(), 3u);
}

TEST(Connection, FixedIsCarriedByMergeEitherWay) {
    Probe a(1), b(1), c(1), d(1);
    a.ports[0].connection->fixed = true;
    a.ports[0].connection->merge(b.ports[0].connection);
    EXPECT_TRUE(b.ports[0].connection->fixed);
    d.ports[0].connection->fixed = true;
    c.ports[0].connection->merge(d.ports[0].connection);
    EXPECT_TRUE(c.ports[0].connection->fixed);
}

TEST(Connection, FixedNodeReadsZeroEvenWhenBound) {
    Probe a(1);
    auto node = a.ports[0].connection;
    Eigen::VectorXd x(2);
    x << 3.0, 4.0;
    ADVector ax = x.cast<ADScalar>();
    int index = 0;
    node->potential.bind(ax, x, index);
    EXPECT_EQ(node->get_potential(), std::complex<double>(3.0, 4.0));
    node->fixed = true;
    EXPECT_EQ(node->get_potential(), std::complex<double>(0.0, 0.0));
    EXPECT_EQ(CppAD::Value(node->get_potential_ad().real()), 0.0);
}

TEST(Element, DestroyedElementLeavesSurvivingNode) {
    Probe a(1);
    auto node = a.ports[0].connection;
    std::shared_ptr<Connection> absorbed;
    {
        auto b = std::make_unique<Probe>(1);
        absorbed = b->ports[0].connection;
        node->merge(absorbed);
        ASSERT_EQ(node->ports.size(), 2u);
        // A holder of the absorbed node, a network, reaches no port through it.
        EXPECT_TRUE(absorbed->ports.empty());
    }
    ASSERT_EQ(node->ports.size(), 1u);
    EXPECT_EQ(node->ports[0], &a.ports[0]);
    EXPECT_TRUE(absorbed->ports.empty());
}

TEST(Element, DisconnectPutsEachSharedPortOnANodeOfItsOwn) {
    Probe a(1), b(2);
    PotentialRef c;
    a.ports[0].connection->merge(b.ports[0].connection);
    a.ports[0].connection->set_potential({5.0, 1.0});
    c.ports[0].connection->merge(b.ports[1].connection);
    const auto lone = std::make_unique<Probe>(1);
    const auto lone_node = lone->ports[0].connection;

    b.disconnect();
    lone->disconnect();
    for (Port& port : b.ports) EXPECT_EQ(port.connection->ports, std::vector<Port*>{&port});
    EXPECT_EQ(a.ports[0].connection->ports, std::vector<Port*>{&a.ports[0]});
    EXPECT_EQ(c.ports[0].connection->ports, std::vector<Port*>{&c.ports[0]});
    // Each keeps the potential it read; the earth stays with the reference.
    EXPECT_EQ(b.ports[0].potential(), std::complex<double>(5.0, 1.0));
    EXPECT_FALSE(b.ports[0].connection->fixed);
    EXPECT_FALSE(b.ports[1].connection->fixed);
    EXPECT_TRUE(c.ports[0].connection->fixed);
    EXPECT_EQ(lone->ports[0].connection, lone_node);
}

TEST(Connection, FixedWhileAReferencePortIsOnIt) {
    Probe load(1), other(1);
    PotentialRef first, second;
    const auto node = load.ports[0].connection;
    node->merge(first.ports[0].connection);
    node->merge(second.ports[0].connection);
    node->merge(other.ports[0].connection);
    ASSERT_TRUE(node->fixed);

    load.disconnect();
    EXPECT_TRUE(node->fixed) << "a load leaving takes nothing away";
    EXPECT_FALSE(load.ports[0].connection->fixed) << "nor any mark with it";
    first.disconnect();
    EXPECT_TRUE(node->fixed) << "the second reference still holds it";
    EXPECT_TRUE(first.ports[0].connection->fixed);
    second.disconnect();
    EXPECT_FALSE(node->fixed);

    {
        PotentialRef third;
        third.ports[0].connection->merge(node);
        EXPECT_TRUE(other.ports[0].connection->fixed);
        auto fourth = std::make_unique<PotentialRef>();
        other.ports[0].connection->merge(fourth->ports[0].connection);
        fourth.reset();
        EXPECT_TRUE(other.ports[0].connection->fixed) << "one of two destroyed";
    }
    EXPECT_EQ(other.ports[0].connection->ports, std::vector<Port*>{&other.ports[0]});
    EXPECT_FALSE(other.ports[0].connection->fixed) << "the last one destroyed";
}

TEST(Connection, AReferencesNodeTakesOverTheRecordOfTheNodeItAbsorbs) {
    using C = std::complex<double>;
    const C v[] = {{230.0, 5.0}, {7.0, 0.0}, {3.0, 4.0}};
    Bus bus(3, v);
    // It reads 0 while fixed; freed, it starts where the absorbed node was.
    PotentialRef first;
    first.ports[0].connection->merge(bus.ports[0].connection);
    EXPECT_EQ(bus.ports[0].potential(), C(0.0));
    first.disconnect();
    EXPECT_EQ(bus.ports[0].potential(), v[0]);

    // A bound node's slots come along, and its stored value stays as it
    // was: what a solver left in the slots is not stored, whichever node
    // survives the join.
    Eigen::VectorXd x(2);
    x << 8.0, -1.0;
    const ADVector ax = x.cast<ADScalar>();
    int index = 0;
    bus.ports[1].connection->potential.bind(ax, x, index);
    PotentialRef second, third;
    bus.ports[1].connection->merge(second.ports[0].connection);
    third.ports[0].connection->merge(bus.ports[1].connection);
    const Connection& node = *bus.ports[1].connection;
    EXPECT_EQ(node.potential.values, x.data());
    EXPECT_EQ(node.potential.value, v[1]);
    second.disconnect();
    third.disconnect();
    EXPECT_EQ(bus.ports[1].potential(), C(8.0, -1.0));
    EXPECT_EQ(node.potential.value, v[1]);

    // A node on which other ports sit keeps its own.
    PotentialRef fourth;
    Bus other(1, &v[1]);
    bus.ports[2].connection->merge(fourth.ports[0].connection);
    bus.ports[2].connection->merge(other.ports[0].connection);
    fourth.disconnect();
    EXPECT_EQ(other.ports[0].potential(), v[2]);
}

TEST(Connection, GroundsAndDeltaReferencesTakeOverTheRecordAsAReferenceDoes) {
    using C = std::complex<double>;
    const C v[] = {{230.0, 5.0}, {-115.0, -199.0}, {-115.0, 199.0}};
    Bus bus(3, v);
    // A ground, alone or already holding its reference, absorbs a phase.
    Ground alone, earth;
    PotentialRef reference;
    alone.ports[0].connection->merge(bus.ports[0].connection);
    EXPECT_EQ(bus.ports[0].potential(), v[0]);
    earth.ports[0].connection->merge(reference.ports[0].connection);
    earth.ports[0].connection->merge(bus.ports[1].connection);
    EXPECT_EQ(bus.ports[1].potential(), C(0.0));
    reference.disconnect();
    EXPECT_EQ(bus.ports[1].potential(), v[1]);

    // A delta reference's nodes absorb the bus's.
    DeltaPotentialRef delta(3);
    for (std::size_t k = 0; k < 3; ++k) delta.ports[k].connection->merge(bus.ports[k].connection);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(delta.ports[k].potential(), v[k]) << k;

    // A ground that shares its node with an element of potential keeps it.
    Ground shared;
    PowerLoad load(2, &v[0]);
    load.ports[0].connection->merge(shared.ports[0].connection);
    shared.ports[0].connection->merge(bus.ports[2].connection);
    EXPECT_EQ(bus.ports[2].potential(), C(0.0));
}

TEST(Element, EmptyElementAndDefaultOperations) {
    Probe e(0);
    std::vector<double> x0;
    e.add_variables(x0);
    e.add_parameters(x0);
    EXPECT_TRUE(x0.empty());
    EXPECT_EQ(e.backward_forward_error(), 0.0);
    try {
        e.update_backward_forward();
        FAIL();
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for this element");
    }
    try {
        Probe negative(-1);
        FAIL();
    } catch (const std::length_error& err) {
        EXPECT_STREQ(err.what(), "vector");
    }
}

class TwoSides : public Branch {
public:
    using Branch::Branch;
    void compute_currents(bool use_ad) override { zero_currents(use_ad); }
};

TEST(Branch, SideCurrentsWithNeutralCarryMinusTheSum) {
    TwoSides branch(3, 2, 1);
    EXPECT_EQ(branch.ports.size(), 6u);
    EXPECT_EQ(branch.side2[0], &branch.ports[3]);
    ADComplexVector c1(2), c2(2);
    c1 << ADComplex(1.0, 2.0), ADComplex(3.0, -1.0);
    c2 << ADComplex(5.0, 0.0), ADComplex(0.0, 7.0);
    branch.set_side_currents_ad(c1, c2);
    EXPECT_EQ(CppAD::Value(branch.ports[2].current_ad.real()), -4.0);
    EXPECT_EQ(CppAD::Value(branch.ports[2].current_ad.imag()), -1.0);
    EXPECT_EQ(CppAD::Value(branch.ports[4].current_ad.imag()), 7.0);
    ADComplexVector too_many(4);
    EXPECT_THROW(branch.set_side_currents_ad(too_many, c2), std::invalid_argument);
}

std::string length_failure_of(int n1, int n2, int n_extra) {
    try {
        TwoSides branch(n1, n2, n_extra);
    } catch (const std::length_error& error) {
        return error.what();
    }
    return "built";
}

TEST(Branch, PortCountsBeyondIntAreRefusedBeforeTheSum) {
    constexpr int most = std::numeric_limits<int>::max();
    constexpr int least = std::numeric_limits<int>::min();
    EXPECT_EQ(length_failure_of(1 << 30, 1 << 30, 0), "vector");
    EXPECT_EQ(length_failure_of(most, most, 0), "vector");
    EXPECT_EQ(length_failure_of(most, 4, 0), "vector");
    EXPECT_EQ(length_failure_of(0, 1, most), "vector");
    EXPECT_EQ(length_failure_of(least, least, 0), "vector");
    // Ordinary counts: a negative total as for any element, a negative side alone by the branch.
    EXPECT_EQ(length_failure_of(-1, -1, 0), "vector");
    EXPECT_THROW(TwoSides(-1, 2, 0), std::invalid_argument);
    EXPECT_EQ(length_failure_of(2, 1, 1), "built");
}

TEST(ResidualRows, WritesOnlyTheElementsOwnRows) {
    ADVector y = ADVector::Constant(6, ADScalar(0.0));
    ResidualRows rows(y, 2, 2, 3);
    rows[2] = ADScalar(5.0);
    rows[3] = ADScalar(7.0);
    for (int outside : {-1, 0, 1, 4, 5, 40}) {
        try {
            rows[outside] = ADScalar(9.0);
            ADD_FAILURE() << outside;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Element 3 writes residual row " + std::to_string(outside) + " outside its 2 rows from row 2");
        }
    }
    const double expected[] = {0.0, 0.0, 5.0, 7.0, 0.0, 0.0};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(CppAD::Value(y[k]), expected[k]) << k;

    // Rows past the end of y are refused even when the count would reach them.
    ResidualRows tail(y, 5, 3, 0);
    tail[5] = ADScalar(1.0);
    EXPECT_THROW(tail[6] = ADScalar(1.0), std::runtime_error);
}

TEST(BoundValue, MatrixIsFlattenedRowByRow) {
    Eigen::MatrixXcd m(2, 2);
    m << std::complex<double>(1, 2), std::complex<double>(3, 4), std::complex<double>(5, 6),
        std::complex<double>(7, 8);
    BoundValue<Eigen::MatrixXcd> record(m);
    std::vector<double> p0{-1.0};
    record.add(p0);
    EXPECT_EQ(p0, (std::vector<double>{-1, 1, 2, 3, 4, 5, 6, 7, 8}));

    Eigen::VectorXd p = Eigen::Map<Eigen::VectorXd>(p0.data(), 9);
    ADVector ap = p.cast<ADScalar>();
    int index = 1;
    record.bind(ap, p, index);
    EXPECT_EQ(index, 9);
    EXPECT_EQ(CppAD::Value(record.ad(0, 1).real()), 3.0);
    EXPECT_EQ(CppAD::Value(record.ad(0, 1).imag()), 4.0);
    p[3] = 30.0;
    EXPECT_EQ(record.get()(0, 1), std::complex<double>(30.0, 4.0));

    m(1, 0) = {50.0, 60.0};
    record.set(m);
    EXPECT_EQ(p[5], 50.0);
    EXPECT_EQ(p[6], 60.0);
    EXPECT_THROW(record.set(Eigen::MatrixXcd(3, 3)), std::invalid_argument);
}

TEST(BoundValue, SetOnABoundVectorWritesItsSlotsInIndexOrder) {
    Eigen::VectorXcd v(2);
    v << std::complex<double>(1, 2), std::complex<double>(3, 4);
    BoundValue<Eigen::VectorXcd> record(v);
    Eigen::VectorXd p = Eigen::VectorXd::Constant(5, -1.0);
    ADVector ap = p.cast<ADScalar>();
    int index = 1;
    record.bind(ap, p, index);
    EXPECT_EQ(index, 5);

    v[1] = {30.0, 40.0};
    record.set(v);
    EXPECT_EQ(p, (Eigen::VectorXd(5) << -1, 1, 2, 30, 40).finished());
    EXPECT_EQ(record.get(), v);
    EXPECT_THROW(record.set(Eigen::VectorXcd(3)), std::invalid_argument);
}

TEST(BoundValue, SetBeforeBindingIsAppendedAndBoundScalarReadsSolver) {
    BoundValue<std::complex<double>> s(std::complex<double>(1.0, 1.0));
    s.set({2.0, -2.0});
    std::vector<double> x0;
    s.add(x0);
    EXPECT_EQ(x0, (std::vector<double>{2.0, -2.0}));
    Eigen::VectorXd x(2);
    x << 2.0, -2.0;
    ADVector ax = x.cast<ADScalar>();
    int index = 0;
    s.bind(ax, x, index);
    x[0] = 9.0;
    EXPECT_EQ(s.get(), std::complex<double>(9.0, -2.0));
    EXPECT_EQ(s.value, std::complex<double>(2.0, -2.0));
    int past_end = 1;
    EXPECT_THROW(s.bind(ax, x, past_end), std::runtime_error);
}


// The Newton solver keeps the Jacobian entries of elements that call their
// equations linear from one iteration to the next: each claim must match
// what the element records, and every element with a curved law must not
// claim it.
TEST(Element, LinearityClaimsMatchTheRecordedEquations) {
    using C = std::complex<double>;
    const C four[4] = {{230.0, 0.0}, {-115.0, -199.0}, {-115.0, 199.0}, {0.0, 0.0}};
    const C values[4] = {{1e3, 2e2}, {8e2, 1e2}, {6e2, 3e2}, {0.0, 0.0}};
    std::vector<C> z(16, C(0.01, 0.002)), y(16, C(0.0, 1e-6));
    for (int k = 0; k < 4; ++k) z[k * 5] = {0.1, 0.05};
    const C z2{0.01, 0.03}, ym{1e-6, -1e-5};
    const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
    const Control q_u("q_u", 210.0, 220.0, 240.0, 250.0, 50.0, 0.1);
    FlexibleParameter limits(constant, q_u, Projection("euclidean", 100.0, 1e-4), 5e3, -2e3, 2e3);
    testing::Limits bound_limits({&limits});
    const auto make = [&](auto construct) { return std::function<std::unique_ptr<Element>()>(construct); };
    const std::vector<std::pair<bool, std::function<std::unique_ptr<Element>()>>> cases = {
        {true, make([&] { return std::make_unique<Bus>(4, four); })},
        {true, make([] { return std::make_unique<Ground>(); })},
        {true, make([&] { return std::make_unique<SimplifiedLine>(4, z.data()); })},
        {true, make([&] { return std::make_unique<ShuntLine>(4, y.data(), z.data()); })},
        {true, make([&] { return std::make_unique<LoadBalancer>(z2, ym, 0.5); })},
        {true, make([&] { return std::make_unique<AdmittanceLoad>(4, values); })},
        {true, make([&] { return std::make_unique<DeltaAdmittanceLoad>(3, values); })},
        {true, make([] { return std::make_unique<PotentialRef>(); })},
        {true, make([] { return std::make_unique<DeltaPotentialRef>(3); })},
        {true, make([&] { return std::make_unique<VoltageSource>(4, four); })},
        {true, make([&] { return std::make_unique<DeltaVoltageSource>(3, four); })},
        {true, make([] { return std::make_unique<Switch>(4); })},
        {true, make([] { return std::make_unique<OpenSwitch>(4); })},
        {true, make([&] { return std::make_unique<SingleTransformer>(z2, ym, C(0.05, 0.01)); })},
        {true, make([&] { return std::make_unique<CenterTransformer>(z2, ym, 0.5); })},
        {true, make([&] { return std::make_unique<ThreePhaseTransformer>(4, 3, "Y", "d", z2, ym, 0.035, 1); })},
        {false, make([&] { return std::make_unique<PowerLoad>(4, values); })},
        {false, make([&] { return std::make_unique<DeltaPowerLoad>(3, values); })},
        {false, make([&] { return std::make_unique<CurrentLoad>(4, values); })},
        {false, make([&] { return std::make_unique<DeltaCurrentLoad>(3, values); })},
        {false, make([&] {
             return std::make_unique<FlexibleLoad>(4, values, std::vector<FlexibleParameter*>(3, &limits));
         })},
        {false, make([&] {
             return std::make_unique<DeltaFlexibleLoad>(3, values, std::vector<FlexibleParameter*>(3, &limits));
         })},
        {false, make([&] { return std::make_unique<SingleVoltageRegulator>(z2, ym, 1.05, 0.1, 5.0, 0.0); })},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto element = cases[k].second();
        // Port potentials away from 0, where a curved law is still defined.
        for (std::size_t q = 0; q < element->ports.size(); ++q)
            element->ports[q].connection->set_potential(four[q % 3] * (1.0 + 0.1 * double(q)));
        EXPECT_EQ(element->is_linear(), cases[k].first) << "case " << k;
        // The ground's node is fixed: no unknowns, nothing to record.
        if (element->ports.front().connection->fixed) continue;
        testing::TapeCheck check({element.get(), &bound_limits});
        EXPECT_EQ(check.curved(), !cases[k].first) << "case " << k;
    }
}

}  // namespace
}  // namespace lfe
