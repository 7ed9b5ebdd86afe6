#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"

namespace lfe {
namespace {

using probes::Conductance;
using probes::connect;
using probes::Source;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

double value(const ADScalar& a) { return CppAD::Value(a); }

// Source on node A, conductance A-B, conductance B-G with G fixed.
struct Divider {
    Source source{{10.0, 1.0}};
    Conductance upper{{2.0, 0.0}};
    Conductance lower{{3.0, 0.0}};

    Divider() {
        connect(source.ports[0], upper.ports[0]);
        connect(upper.ports[1], lower.ports[0]);
        lower.ports[1].connection->fixed = true;
        source.ports[0].connection->potential.value = {1.0, 2.0};
        upper.ports[1].connection->potential.value = {3.0, 4.0};
    }
};

TEST(ElectricalNetwork, EmptyNetworkHasNothingToLayOut) {
    std::vector<Element*> none;
    ElectricalNetwork network(std::move(none));
    EXPECT_TRUE(network.connections.empty());
    const auto [x0, p0] = network.get_initial_values();
    EXPECT_TRUE(x0.empty());
    EXPECT_TRUE(p0.empty());
    ADVector y(0);
    network.add_equations(y);
    EXPECT_EQ(y.size(), 0);
    EXPECT_TRUE(network.find_elements({}).empty());
}

TEST(ElectricalNetwork, LayoutPutsFreeNodesFirstThenElementsInOrder) {
    Divider d;
    std::vector<Element*> elements{&d.source, &d.upper, &d.lower};
    ElectricalNetwork network(std::move(elements));
    EXPECT_TRUE(elements.empty());
    ASSERT_EQ(network.connections.size(), 3u);
    EXPECT_EQ(network.connections[0], d.source.ports[0].connection);
    EXPECT_EQ(network.connections[1], d.upper.ports[1].connection);
    EXPECT_TRUE(network.connections[2]->fixed);

    const auto [x0, p0] = network.get_initial_values();
    EXPECT_EQ(x0, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 0.0, 0.0}));
    EXPECT_EQ(p0, (std::vector<double>{10.0, 1.0, 2.0, 0.0, 3.0, 0.0}));
}

TEST(ElectricalNetwork, BindPointsRecordsIntoTheVectors) {
    Divider d;
    ElectricalNetwork network({&d.source, &d.upper, &d.lower});
    const auto [x0, p0] = network.get_initial_values();
    Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(x0.data(), 6);
    Eigen::VectorXd p = Eigen::Map<const Eigen::VectorXd>(p0.data(), 6);
    network.bind_constants(x, p);
    EXPECT_TRUE(network.records_in(x));
    EXPECT_EQ(&network.bound_parameters(), &p);

    x[2] = 7.0;
    EXPECT_EQ(d.upper.ports[1].potential(), std::complex<double>(7.0, 4.0));
    EXPECT_FALSE(d.lower.ports[1].connection->potential.bound);
    d.lower.g.set({5.0, 0.5});
    EXPECT_EQ(p[4], 5.0);
    EXPECT_EQ(p[5], 0.5);
    EXPECT_EQ(value(d.source.e.ad.real()), 10.0);
}

TEST(ElectricalNetwork, CurrentBalanceRowsThenElementRows) {
    Divider d;
    ElectricalNetwork network({&d.source, &d.upper, &d.lower});
    const auto [x0, p0] = network.get_initial_values();
    Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(x0.data(), 6);
    Eigen::VectorXd p = Eigen::Map<const Eigen::VectorXd>(p0.data(), 6);
    x[4] = 0.5;  // source current
    network.bind_constants(x, p);
    ADVector y = ADVector::Constant(6, ADScalar(0.0));
    network.add_equations(y);
    // Node A: j + 2 (VA - VB); node B: -2 (VA - VB) + 3 VB; source: VA - e.
    EXPECT_DOUBLE_EQ(value(y[0]), 0.5 + 2.0 * (1.0 - 3.0));
    EXPECT_DOUBLE_EQ(value(y[1]), 2.0 * (2.0 - 4.0));
    EXPECT_DOUBLE_EQ(value(y[2]), -2.0 * (1.0 - 3.0) + 3.0 * 3.0);
    EXPECT_DOUBLE_EQ(value(y[3]), -2.0 * (2.0 - 4.0) + 3.0 * 4.0);
    EXPECT_DOUBLE_EQ(value(y[4]), 1.0 - 10.0);
    EXPECT_DOUBLE_EQ(value(y[5]), 2.0 - 1.0);
}

// Appends one unknown pair but binds and writes as told.
class Miscounting : public Element {
public:
    int bound_variables;
    int bound_parameters;
    int rows;

    Miscounting(int bound_variables, int bound_parameters, int rows)
        : Element(1), bound_variables(bound_variables), bound_parameters(bound_parameters), rows(rows) {}

    void add_variables(std::vector<double>& x0) override { x0.insert(x0.end(), {0.0, 0.0}); }
    void add_parameters(std::vector<double>& p0) override { p0.push_back(1.0); }
    void bind_variables(const ADVector&, Eigen::VectorXd&, int& index) override { index += bound_variables; }
    void bind_parameters(const ADVector&, Eigen::VectorXd&, int& index) override { index += bound_parameters; }
    void compute_currents(bool use_ad) override { zero_currents(use_ad); }
    void add_equations(ADVector& y, int& index) override {
        for (int r = 0; r < rows; ++r) y[index++] = ADScalar(1.0);
    }
};

std::string bind_failure(Miscounting& element) {
    ElectricalNetwork network({&element});
    const auto [x0, p0] = network.get_initial_values();
    Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    Eigen::VectorXd p = Eigen::Map<const Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
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
    Miscounting few_variables(0, 1, 2);
    EXPECT_EQ(bind_failure(few_variables), "The records take 2 variables but the solver holds 4");
    Miscounting few_parameters(2, 0, 2);
    EXPECT_EQ(bind_failure(few_parameters), "The records take 0 parameters but the solver holds 1");
    Miscounting few_rows(2, 1, 1);
    EXPECT_EQ(bind_failure(few_rows), "Element 0 writes 1 residual rows for its 2 unknowns");
    // Written past the end of the rows when unchecked.
    Miscounting many_rows(2, 1, 5);
    EXPECT_EQ(bind_failure(many_rows), "Element 0 writes 5 residual rows for its 2 unknowns");
    Miscounting fine(2, 1, 2);
    EXPECT_EQ(bind_failure(fine), "");
}

TEST(ElectricalNetwork, FindElementsMapsNodesAndElementRanges) {
    Divider d;
    Conductance outside({1.0, 0.0});
    connect(d.upper.ports[1], outside.ports[0]);
    ElectricalNetwork network({&d.upper, &d.source, &d.lower});
    // Variables: node A (first port the source's), node B (first port upper's),
    // then the source current.
    for (Element* e : network.elements)
        for (Port& port : e->ports) port.current_ad = ad_zero();
    EXPECT_EQ(network.find_elements({0}), (std::vector<int>{1}));
    EXPECT_EQ(network.find_elements({3}), (std::vector<int>{0}));
    EXPECT_EQ(network.find_elements({5}), (std::vector<int>{1}));
    EXPECT_EQ(network.find_elements({3, 4}), (std::vector<int>{0, 1}));

    // NaN currents on node B name their elements instead of the first port's.
    d.lower.ports[0].current_ad = ADComplex(ADScalar(0.0), ADScalar(nan_value));
    EXPECT_EQ(network.find_elements({2}), (std::vector<int>{2}));
    d.upper.ports[1].current_ad = ADComplex(ADScalar(nan_value), ADScalar(0.0));
    EXPECT_EQ(network.find_elements({2}), (std::vector<int>{0, 2}));
    // An element outside the network explains but is not named.
    d.upper.ports[1].current_ad = ad_zero();
    d.lower.ports[0].current_ad = ad_zero();
    outside.ports[0].current_ad = ADComplex(ADScalar(nan_value), ADScalar(0.0));
    EXPECT_TRUE(network.find_elements({2}).empty());
}

TEST(ElectricalNetwork, FindElementsNamesNothingForANodeWithoutPorts) {
    auto lone = std::make_unique<Conductance>(std::complex<double>(1.0, 0.0));
    Conductance kept({1.0, 0.0});
    ElectricalNetwork network({lone.get(), &kept});
    lone.reset();
    // The network still holds the emptied nodes of the destroyed element.
    ASSERT_EQ(network.connections.size(), 4u);
    EXPECT_TRUE(network.connections[0]->ports.empty());
    network.elements = {&kept};
    EXPECT_EQ(network.find_elements({0, 1, 2, 3, 4}), (std::vector<int>{0}));
}

}  // namespace
}  // namespace lfe
