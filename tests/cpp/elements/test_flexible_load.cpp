#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/bus.hpp"
#include "elements/flexible_load.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;

const C start[] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}, {2.0, 1.0}};
const C values[] = {{4000.0, 1000.0}, {-3000.0, 2000.0}, {6000.0, -500.0}};

const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
const Projection euclidean("euclidean", 100.0, 1e-4);

// Three values in either form, on curves around the voltage each form sees:
// phases 0 and 2 share a Q(U) law, phase 1 is a generator with a P(U) law.
template <class L>
struct Flexible {
    static constexpr int n = L::delta ? 3 : 4;
    static constexpr double u = L::delta ? 398.0 : 230.0;
    FlexibleParameter var{constant, Control("q_u", 0.9 * u, 0.95 * u, 1.05 * u, 1.1 * u, 50.0, 0.1), euclidean,
                          5e3, -2e3, 2e3};
    FlexibleParameter generator{Control("p_max_u_production", 0.0, 0.0, 0.95 * u, 1.05 * u, 50.0, 1e-3), constant,
                                Projection("keep_q", 50.0, 1e-3), 8e3, 0.0, 0.0};
    Bus bus{n, start};
    L load{n, values, {&var, &generator, &var}};
    testing::Limits limits{{&var, &generator}};

    Flexible() {
        for (int i = 0; i < n; ++i) bus.ports[i].connection->merge(load.ports[i].connection);
    }

    C branch_voltage(int i) const {
        const int other = L::delta ? (i + 1) % n : n - 1;
        return load.ports[i].potential() - load.ports[other].potential();
    }

    C expected_power(int i) const {
        const C dv = branch_voltage(i);
        return load.parameters[i]->compute_power(std::abs(dv), load.powers[i].get());
    }

    C port_sum() const {
        C sum = 0.0;
        for (const auto& port : load.ports) sum += port.current;
        return sum;
    }
};

template <class L>
class EveryFlexibleLoad : public ::testing::Test {};
using FlexibleLoadTypes = ::testing::Types<FlexibleLoad, DeltaFlexibleLoad>;
TYPED_TEST_SUITE(EveryFlexibleLoad, FlexibleLoadTypes);

TYPED_TEST(EveryFlexibleLoad, TapeFollowsPotentialsPowersAndLimits) {
    Flexible<TypeParam> c;
    testing::TapeCheck check({&c.bus, &c.load, &c.limits});
    ASSERT_EQ(check.p.size(), 6 + 6);
    EXPECT_TRUE(check.evaluate().empty());
    testing::expect_close(c.port_sum(), 0.0);

    check.x[0] = 220.0;
    check.x[3] = -190.0;
    c.load.powers[1].set({-5000.0, 0.0});
    c.var.update_parameters(4e3, -1e3, 3e3);
    c.generator.update_parameters(6e3, 0.0, 0.0);
    EXPECT_EQ(check.p.tail(6), (Eigen::VectorXd(6) << 4e3, -1e3, 3e3, 6e3, 0.0, 0.0).finished());
    check.evaluate();
    testing::expect_close(c.port_sum(), 0.0);

    const C before = c.load.ports[0].current;
    c.load.ports[0].current = 0.0;
    c.load.update_backward_forward();
    EXPECT_EQ(c.load.ports[0].current, before) << "the backward step is the plain computation";
    EXPECT_EQ(c.load.backward_forward_error(), 0.0);
}

TYPED_TEST(EveryFlexibleLoad, PowersAndInnerCurrentsMatchThePortCurrents) {
    Flexible<TypeParam> c;
    c.load.compute_currents(false);
    C powers[3], again[3], inner[3];
    c.load.get_powers(powers);
    c.load.get_powers(again);
    c.load.get_inner_currents(inner);
    C total = 0.0, drawn = 0.0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(powers[i], c.expected_power(i));
        EXPECT_EQ(again[i], powers[i]);
        testing::expect_close(inner[i], std::conj(powers[i] / c.branch_voltage(i)));
        total += powers[i];
    }
    for (const auto& port : c.load.ports) drawn += port.potential() * std::conj(port.current);
    testing::expect_close(drawn, total);
    EXPECT_GT(std::abs(powers[0] - values[0]), 1.0) << "the Q(U) law moved the power";
    if constexpr (TypeParam::delta) {
        testing::expect_close(c.load.ports[0].current, inner[0] - inner[2]);
        const auto [dv, s] = c.load.compute_branch_power(1);
        EXPECT_EQ(dv, c.branch_voltage(1));
        EXPECT_EQ(s, powers[1]);
    } else {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(inner[i], c.load.ports[i].current);
    }
}

TYPED_TEST(EveryFlexibleLoad, OneUpdateReachesEveryPhaseThatSharesTheParameter) {
    Flexible<TypeParam> c;
    C before[3], after[3];
    c.load.get_powers(before);
    c.var.update_parameters(5e3, -4e3, 4e3);
    c.load.get_powers(after);
    EXPECT_NE(after[0], before[0]);
    EXPECT_NE(after[2], before[2]);
    EXPECT_EQ(after[1], before[1]);
}

template <class Flex, class Plain>
void expect_power_load_currents(int n, const C* potentials) {
    FlexibleParameter fixed(constant, constant, euclidean, 1.0, 0.0, 0.0);
    Bus bus(n, potentials);
    Flex flexible(n, values, {&fixed, &fixed, &fixed});
    Plain plain(n, values);
    for (Element* load : std::vector<Element*>{&flexible, &plain}) {
        for (int i = 0; i < n; ++i) bus.ports[i].connection->merge(load->ports[i].connection);
        load->compute_currents(false);
    }
    for (int k = 0; k < n; ++k) EXPECT_EQ(flexible.ports[k].current, plain.ports[k].current) << k;
}

TEST(FlexibleLoad, ConstantLawsDrawLikeAPowerLoad) {
    expect_power_load_currents<FlexibleLoad, PowerLoad>(4, start);
    expect_power_load_currents<DeltaFlexibleLoad, DeltaPowerLoad>(3, start);
}

TEST(DeltaFlexibleLoad, TwoPortsSeeOneVoltage) {
    FlexibleParameter var(constant, Control("q_u", 360.0, 380.0, 420.0, 440.0, 50.0, 0.1), euclidean, 5e3, -2e3,
                          2e3);
    const C v[] = {{230.0, 10.0}, {-170.0, 5.0}};
    Bus bus(2, v);
    DeltaFlexibleLoad load(2, values, {&var, &var});
    for (int i = 0; i < 2; ++i) bus.ports[i].connection->merge(load.ports[i].connection);
    load.compute_currents(false);
    C powers[2];
    load.get_powers(powers);
    const double u = std::abs(v[0] - v[1]);
    EXPECT_EQ(powers[0], var.compute_power(u, values[0]));
    EXPECT_EQ(powers[1], var.compute_power(u, values[1]));
    testing::expect_close(load.ports[0].current, std::conj(powers[0] / (v[0] - v[1])) -
                                                     std::conj(powers[1] / (v[1] - v[0])));
    EXPECT_EQ(load.ports[1].current, -load.ports[0].current);
}

std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no failure";
}

TEST(FlexibleLoad, DegenerateCountsAndConstruction) {
    FlexibleLoad neutral_only(1, nullptr, {});
    EXPECT_TRUE(neutral_only.powers.empty());
    neutral_only.ports[0].current = 3.0;
    neutral_only.compute_currents(false);
    EXPECT_EQ(neutral_only.ports[0].current, C(0.0));
    C untouched = {-1.0, -1.0};
    neutral_only.get_powers(&untouched);
    EXPECT_EQ(untouched, C(-1.0, -1.0));

    DeltaFlexibleLoad empty(0, nullptr, {});
    EXPECT_TRUE(empty.ports.empty());
    empty.compute_currents(true);

    FlexibleParameter fixed(constant, constant, euclidean, 1.0, 0.0, 0.0);
    EXPECT_EQ(failure_of([&] { FlexibleLoad(4, values, {&fixed, &fixed}); }),
              "A flexible load needs one flexible parameter per value");
    EXPECT_EQ(failure_of([&] { DeltaFlexibleLoad(2, values, {&fixed, nullptr}); }),
              "A flexible load needs non-null parameters");
    EXPECT_THROW(FlexibleLoad(2, values, {&fixed, nullptr}), std::invalid_argument);
    EXPECT_THROW(FlexibleLoad(0, nullptr, {}), std::length_error);
    EXPECT_THROW(DeltaFlexibleLoad(-1, nullptr, {}), std::length_error);
}

TEST(FlexibleLoad, ABadLawStopsEveryComputation) {
    FlexibleParameter bad(Control("q_u", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0), constant, euclidean, 1.0, 0.0, 0.0);
    Bus bus(3, start);
    FlexibleLoad star(3, values, {&bad, &bad});
    DeltaFlexibleLoad delta(3, values, {&bad, &bad, &bad});
    for (int i = 0; i < 3; ++i) {
        bus.ports[i].connection->merge(star.ports[i].connection);
        bus.ports[i].connection->merge(delta.ports[i].connection);
    }
    C out[3];
    const std::string message = "Bad control type for P";
    for (LoadBase* load : std::vector<LoadBase*>{&star, &delta}) {
        EXPECT_EQ(failure_of([&] { load->compute_currents(false); }), message);
        EXPECT_EQ(failure_of([&] { load->compute_currents(true); }), message);
        EXPECT_EQ(failure_of([&] { load->update_backward_forward(); }), message);
    }
    EXPECT_EQ(failure_of([&] { star.get_powers(out); }), message);
    EXPECT_EQ(failure_of([&] { delta.get_powers(out); }), message);
    EXPECT_EQ(failure_of([&] { delta.get_inner_currents(out); }), message);
}

}  // namespace
}  // namespace lfe
