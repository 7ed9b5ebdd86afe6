#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "elements/potential_ref.hpp"
#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"

namespace lfe {
namespace {

using probes::Conductance;
using probes::Divider;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

double value(const ADScalar& a) { return CppAD::Value(a); }

Eigen::VectorXd vector_of(const std::vector<double>& v) {
    return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

TEST(ElectricalNetwork, EmptyNetworkHasNothingToLayOut) {
    ElectricalNetwork network({});
    EXPECT_TRUE(network.connections.empty());
    const auto [x0, p0] = network.get_initial_values();
    EXPECT_TRUE(x0.empty());
    EXPECT_TRUE(p0.empty());
    ADVector y(0);
    network.add_equations(y);
    EXPECT_TRUE(network.find_elements({}, network.layout()).empty());
}

TEST(ElectricalNetwork, LayoutBindingAndEquationsFollowOneOrder) {
    Divider d;
    d.source.ports[0].connection->potential.value = {1.0, 2.0};
    d.upper.ports[1].connection->potential.value = {3.0, 4.0};
    ASSERT_EQ(d.network.connections.size(), 3u);
    EXPECT_EQ(d.network.connections[1], d.upper.ports[1].connection);
    EXPECT_TRUE(d.network.connections[2]->fixed);

    // Free nodes, then the source current; the elements' parameters.
    const auto [x0, p0] = d.network.get_initial_values();
    EXPECT_EQ(x0, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 0.0, 0.0}));
    EXPECT_EQ(p0, (std::vector<double>{10.0, 1.0, 2.0, 0.0, 3.0, 0.0}));

    Eigen::VectorXd x = vector_of(x0), p = vector_of(p0);
    x[4] = 0.5;
    d.network.bind_constants(x, p);
    EXPECT_EQ(d.network.connections[1]->potential.values, x.data() + 2);
    EXPECT_FALSE(d.lower.ports[1].connection->potential.bound);

    ADVector y = ADVector::Constant(6, ADScalar(0.0));
    d.network.add_equations(y);
    // Node A: j + g1 (VA - VB); node B: -g1 (VA - VB) + g2 VB; source: VA - e.
    const double expected[] = {0.5 - 4.0, -4.0, 4.0 + 9.0, 4.0 + 12.0, -9.0, 1.0};
    for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(value(y[k]), expected[k]) << k;

    d.lower.g.set({5.0, 0.5});
    EXPECT_EQ(p.segment(4, 2), Eigen::Vector2d(5.0, 0.5));
}

// Appends one unknown pair and one parameter, but binds and writes as told.
class Miscounting : public Element {
public:
    int variables, parameters, rows;

    Miscounting(int variables, int parameters, int rows)
        : Element(1), variables(variables), parameters(parameters), rows(rows) {}

    void add_variables(std::vector<double>& x0) override { x0.insert(x0.end(), {0.0, 0.0}); }
    void add_parameters(std::vector<double>& p0) override { p0.push_back(1.0); }
    void bind_variables(const ADVector&, Eigen::VectorXd&, int& index) override { index += variables; }
    void bind_parameters(const ADVector&, Eigen::VectorXd&, int& index) override { index += parameters; }
    void compute_currents(bool use_ad) override { zero_currents(use_ad); }
    void add_equations(ResidualRows& y, int& index) override {
        for (int r = 0; r < rows; ++r) y[index++] = ADScalar(1.0);
    }
};

std::string failure_of(Miscounting&& element) {
    ElectricalNetwork network({&element});
    const auto [x0, p0] = network.get_initial_values();
    Eigen::VectorXd x = vector_of(x0), p = vector_of(p0);
    try {
        network.bind_constants(x, p);
        ADVector y = ADVector::Constant(x.size(), ADScalar(0.0));
        network.add_equations(y);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(ElectricalNetwork, CountsThatDoNotFillTheVectorsAreReported) {
    EXPECT_EQ(failure_of({0, 1, 2}), "The records take 2 variables but the solver holds 4");
    EXPECT_EQ(failure_of({2, 0, 2}), "The records take 0 parameters but the solver holds 1");
    EXPECT_EQ(failure_of({2, 1, 1}), "Element 0 writes 1 residual rows for its 2 unknowns");
    // Past the end of the residuals, by little or by much: refused at the first row too many.
    EXPECT_EQ(failure_of({2, 1, 3}), "Element 0 writes residual row 4 outside its 2 rows from row 2");
    EXPECT_EQ(failure_of({2, 1, 40}), "Element 0 writes residual row 4 outside its 2 rows from row 2");
    EXPECT_EQ(failure_of({2, 1, 2}), "");
}

TEST(ElectricalNetwork, ANodeReplacedByAJoinIsTakenUpAsAFreshBuildWould) {
    Divider d;
    Conductance joined({1.0, 0.0});
    joined.ports[0].connection->merge(d.upper.ports[1].connection);  // node B goes to the joined element's node
    EXPECT_TRUE(d.network.refresh_nodes());
    EXPECT_FALSE(d.network.refresh_nodes());
    const ElectricalNetwork fresh({&d.source, &d.upper, &d.lower});
    EXPECT_EQ(d.network.connections, fresh.connections);
    EXPECT_EQ(d.network.connections[1], joined.ports[0].connection);
}

TEST(ElectricalNetwork, NodesRegroupedOrFixedAreRefusedWithNothingChanged) {
    const auto refusal = [](ElectricalNetwork& network) {
        const auto before = network.connections;
        try {
            network.refresh_nodes();
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(network.connections, before);
            return std::string(failure.what());
        }
        return std::string();
    };
    const std::string rebuild =
        "The network's nodes were joined, split or fixed after it was built: build the network again";
    Divider joined, split, fixed;
    probes::connect(joined.source.ports[0], joined.upper.ports[1]);
    EXPECT_EQ(refusal(joined.network), rebuild);
    split.upper.disconnect();
    EXPECT_EQ(refusal(split.network), rebuild);
    fixed.upper.ports[1].connection->fixed = true;
    EXPECT_EQ(refusal(fixed.network), rebuild);

    // An earth that goes frees its node, whether the network lists it or not.
    for (const bool listed : {false, true}) {
        Divider earthed;
        auto ref = std::make_unique<PotentialRef>();
        probes::connect(earthed.upper.ports[1], ref->ports[0]);
        std::vector<Element*> elements{&earthed.source, &earthed.upper, &earthed.lower};
        if (listed) elements.push_back(ref.get());
        ElectricalNetwork network(std::move(elements));
        if (listed)
            ref->disconnect();
        else
            ref.reset();
        EXPECT_FALSE(earthed.upper.ports[1].connection->fixed);
        EXPECT_EQ(refusal(network), rebuild) << "listed " << listed;
    }
}

TEST(ElectricalNetwork, FindElementsMapsNodesAndElementRanges) {
    Divider d;
    Conductance outside({1.0, 0.0});
    probes::connect(d.upper.ports[1], outside.ports[0]);
    ElectricalNetwork network({&d.upper, &d.source, &d.lower});
    // Node A's first port is the source's, node B's upper's; 4 and 5 are the source current.
    EXPECT_EQ(network.find_elements({0}, network.layout()), (std::vector<int>{1}));
    EXPECT_EQ(network.find_elements({3, 4}, network.layout()), (std::vector<int>{0, 1}));
    EXPECT_EQ(network.find_elements({5}, network.layout()), (std::vector<int>{1}));

    // NaN currents at node B name their elements rather than the first port's.
    d.lower.ports[0].current_ad = ADComplex(ADScalar(0.0), ADScalar(nan_value));
    EXPECT_EQ(network.find_elements({2}, network.layout()), (std::vector<int>{2}));
    d.upper.ports[1].current_ad = ADComplex(ADScalar(nan_value), ADScalar(0.0));
    EXPECT_EQ(network.find_elements({2}, network.layout()), (std::vector<int>{0, 2}));
    // An element outside the network holds another recording's currents: it
    // explains nothing, and the node goes to its first listed port's element.
    d.upper.ports[1].current_ad = ad_zero();
    d.lower.ports[0].current_ad = ad_zero();
    outside.ports[0].current_ad = ADComplex(ADScalar(nan_value), ADScalar(0.0));
    EXPECT_EQ(network.find_elements({2}, network.layout()), (std::vector<int>{0}));
}

TEST(ElectricalNetwork, FindElementsNamesNothingForANodeWithoutPorts) {
    auto gone = std::make_unique<Conductance>(std::complex<double>(1.0, 0.0));
    Conductance kept({1.0, 0.0});
    ElectricalNetwork network({gone.get(), &kept});
    gone.reset();
    ASSERT_TRUE(network.connections[0]->ports.empty());
    network.elements = {&kept};
    EXPECT_EQ(network.find_elements({0, 1, 2, 3, 4}, network.layout()), (std::vector<int>{0}));
}

}  // namespace
}  // namespace lfe
