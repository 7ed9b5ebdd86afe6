#include <gtest/gtest.h>

#include <cmath>

#include "elements/bus.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;

template <class X>
ValueRecords& values_of(AbstractPowerLoad<X>& load) { return load.powers; }
template <class X>
ValueRecords& values_of(AbstractCurrentLoad<X>& load) { return load.currents; }
template <class X>
ValueRecords& values_of(AbstractAdmittanceLoad<X>& load) { return load.admittances; }

const C start[] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}, {2.0, 1.0}};
const C values[] = {{1000.0, 200.0}, {-500.0, 300.0}, {800.0, -100.0}};

// Three values in either form: a star load on four ports, a delta load on three.
template <class L>
struct Loaded {
    static constexpr int n = L::delta ? 3 : 4;
    Bus bus{n, start};
    L load{n, values};

    Loaded() {
        for (int i = 0; i < n; ++i) bus.ports[i].connection->merge(load.ports[i].connection);
    }

    C branch_voltage(int i) const {
        const int other = L::delta ? (i + 1) % n : n - 1;
        return load.ports[i].potential() - load.ports[other].potential();
    }

    C port_sum() const {
        C sum = 0.0;
        for (const auto& port : load.ports) sum += port.current;
        return sum;
    }
};

template <class L>
class EveryLoad : public ::testing::Test {};
using LoadTypes =
    ::testing::Types<PowerLoad, DeltaPowerLoad, CurrentLoad, DeltaCurrentLoad, AdmittanceLoad, DeltaAdmittanceLoad>;
TYPED_TEST_SUITE(EveryLoad, LoadTypes);

TYPED_TEST(EveryLoad, TapeFollowsPotentialsAndValueUpdates) {
    Loaded<TypeParam> c;
    testing::TapeCheck check({&c.bus, &c.load});
    ASSERT_EQ(check.p.size(), 6);
    ASSERT_EQ(check.equations, 0);
    EXPECT_TRUE(check.evaluate().empty());
    testing::expect_close(c.port_sum(), 0.0);

    check.x[0] = 240.0;
    check.x[3] = -180.0;
    check.p[1] = 50.0;
    check.evaluate();
    testing::expect_close(c.port_sum(), 0.0);

    values_of(c.load)[2].set({-300.0, 40.0});
    EXPECT_EQ(C(check.p[4], check.p[5]), C(-300.0, 40.0));
    check.evaluate();

    C inner[3];
    c.load.get_inner_currents(inner);
    C before = c.load.ports[0].current;
    c.load.ports[0].current = 0.0;
    c.load.update_backward_forward();
    EXPECT_EQ(c.load.ports[0].current, before) << "the backward step is the plain computation";
    EXPECT_EQ(c.load.backward_forward_error(), 0.0);
    if constexpr (TypeParam::delta) {
        testing::expect_close(c.load.ports[0].current, inner[0] - inner[2]);
    } else {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(inner[i], c.load.ports[i].current);
        EXPECT_EQ(c.load.ports[3].current, -(inner[0] + inner[1] + inner[2]));
    }
}

template <class L>
void expect_power_balance() {
    Loaded<L> c;
    c.load.compute_currents(false);
    C drawn = 0.0;
    for (const auto& port : c.load.ports) drawn += port.potential() * std::conj(port.current);
    testing::expect_close(drawn, values[0] + values[1] + values[2]);
}

TEST(PowerLoad, PortPowersAddUpToTheLoadPowers) {
    expect_power_balance<PowerLoad>();
    expect_power_balance<DeltaPowerLoad>();
}

TEST(PowerLoad, NeutralOnAFixedNodeDrawsFromThePhasePotential) {
    Loaded<PowerLoad> c;
    PotentialRef ref;
    c.bus.ports[3].connection->merge(ref.ports[0].connection);
    c.load.compute_currents(false);
    for (int i = 0; i < 3; ++i) testing::expect_close(c.load.ports[i].current, std::conj(values[i] / start[i]));
}

TEST(CurrentLoad, MagnitudeIsImposedAndPhaseFollowsTheVoltage) {
    Loaded<CurrentLoad> star;
    Loaded<DeltaCurrentLoad> delta;
    star.load.compute_currents(false);
    C inner[3];
    delta.load.get_inner_currents(inner);
    for (int i = 0; i < 3; ++i) {
        const C j = star.load.ports[i].current;
        EXPECT_NEAR(std::abs(j), std::abs(values[i]), 1e-9);
        EXPECT_NEAR(std::arg(j / star.branch_voltage(i)), std::arg(values[i]), 1e-12);
        EXPECT_EQ(inner[i], delta.load.compute_branch_current(static_cast<std::size_t>(i)));
        EXPECT_NEAR(std::abs(inner[i]), std::abs(values[i]), 1e-9);
    }
}

TEST(AdmittanceLoad, CurrentIsAdmittanceTimesVoltage) {
    Loaded<AdmittanceLoad> star;
    Loaded<DeltaAdmittanceLoad> delta;
    star.load.compute_currents(false);
    C inner[3];
    delta.load.get_inner_currents(inner);
    for (int i = 0; i < 3; ++i) {
        testing::expect_close(star.load.ports[i].current, values[i] * star.branch_voltage(i));
        testing::expect_close(inner[i], values[i] * delta.branch_voltage(i));
    }
}

TEST(DeltaLoad, TwoPortsAddBothBranchesOverOnePair) {
    const C v[] = {{230.0, 10.0}, {-100.0, 5.0}};
    const C dv = v[0] - v[1];
    const C w[] = {{300.0, 100.0}, {200.0, -50.0}};
    Bus bus(2, v);
    DeltaPowerLoad power(2, w);
    DeltaAdmittanceLoad admittance(2, w);
    DeltaCurrentLoad current(2, w);
    for (Element* e : std::vector<Element*>{&power, &admittance, &current}) {
        for (int i = 0; i < 2; ++i) bus.ports[i].connection->merge(e->ports[i].connection);
        e->compute_currents(false);
        EXPECT_EQ(e->ports[1].current, -e->ports[0].current);
    }
    testing::expect_close(power.ports[0].current, std::conj((w[0] + w[1]) / dv));
    testing::expect_close(admittance.ports[0].current, (w[0] + w[1]) * dv);
    testing::expect_close(current.ports[0].current, (w[0] + w[1]) * dv / std::abs(dv));
}

TEST(Load, DegenerateCounts) {
    PowerLoad neutral_only(1, nullptr);
    EXPECT_TRUE(neutral_only.powers.empty());
    neutral_only.ports[0].current = 3.0;
    neutral_only.compute_currents(false);
    EXPECT_EQ(neutral_only.ports[0].current, C(0.0));
    testing::TapeCheck check({&neutral_only});
    EXPECT_EQ(check.p.size(), 0);
    check.evaluate();
    C untouched = {-1.0, -1.0};
    neutral_only.get_inner_currents(&untouched);
    EXPECT_EQ(untouched, C(-1.0, -1.0));

    const C w = {100.0, 10.0};
    DeltaAdmittanceLoad self_admittance(1, &w);
    DeltaPowerLoad self_power(1, &w);
    self_admittance.compute_currents(false);
    self_power.compute_currents(false);
    EXPECT_EQ(self_admittance.ports[0].current, C(0.0));
    EXPECT_FALSE(std::isfinite(self_power.ports[0].current.real()));

    DeltaCurrentLoad empty(0, nullptr);
    EXPECT_TRUE(empty.ports.empty());
    empty.compute_currents(false);
    empty.get_inner_currents(nullptr);

    EXPECT_THROW(PowerLoad(0, nullptr), std::length_error);
    EXPECT_THROW(DeltaAdmittanceLoad(-1, nullptr), std::length_error);
}

}  // namespace
}  // namespace lfe
