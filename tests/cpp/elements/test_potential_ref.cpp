#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/potential_ref.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(PotentialRef, FixedNodeIsNoUnknownAndReadsZero) {
    const C potentials[] = {{230.0, 10.0}, {5.0, 0.0}};
    Bus bus(2, potentials);
    PotentialRef ref;
    EXPECT_TRUE(ref.ports[0].connection->fixed);
    bus.ports[0].connection->merge(ref.ports[0].connection);

    testing::TapeCheck check({&bus, &ref});
    EXPECT_EQ(check.nodes.size(), 1u) << "a fixed node is no unknown";
    EXPECT_EQ(bus.ports[0].potential(), C(0.0));
    EXPECT_EQ(CppAD::Value(bus.ports[0].potential_ad().real()), 0.0);
    check.evaluate();

    EXPECT_EQ(ref.backward_forward_error(), 0.0);
    EXPECT_EQ(ref.ports[0].connection->potential.value, potentials[0])
        << "the forward step keeps what the node held free";
    ref.ports[0].current = 7.0;
    ref.update_backward_forward();
    EXPECT_EQ(ref.ports[0].current, C(0.0));
}

class DeltaPotentialRefTest : public ::testing::Test {
protected:
    const C start[3] = {{1.0, 0.0}, {1.0, 0.0}, {4.0, 0.0}};
    Bus bus{3, start};
    DeltaPotentialRef ref{3};

    void SetUp() override {
        for (int i = 0; i < 3; ++i) bus.ports[i].connection->merge(ref.ports[i].connection);
    }
};

TEST_F(DeltaPotentialRefTest, CurrentAtPortZeroBalancesTheSumOfPotentials) {
    testing::TapeCheck check({&bus, &ref});
    ASSERT_EQ(check.x.size(), 8) << "three nodes and the current unknown";
    ASSERT_EQ(check.equations, 2);
    auto residual = check.evaluate();
    EXPECT_DOUBLE_EQ(residual[0], 6.0);
    EXPECT_DOUBLE_EQ(residual[1], 0.0);

    check.x << 2.0, 1.0, -3.0, 0.5, 0.5, -0.5, 7.0, -8.0;
    residual = check.evaluate();
    EXPECT_DOUBLE_EQ(residual[0], -0.5);
    EXPECT_DOUBLE_EQ(residual[1], 1.0);
    EXPECT_EQ(ref.ports[0].current, C(7.0, -8.0));
    EXPECT_EQ(ref.ports[1].current, C(0.0));
    EXPECT_EQ(ref.ports[2].current, C(0.0));
}

TEST_F(DeltaPotentialRefTest, ForwardStepRemovesTheMeanAndReportsTheImbalance) {
    ref.ports[0].current = 3.0;
    ref.update_backward_forward();
    EXPECT_EQ(ref.ports[0].current, C(0.0));
    EXPECT_DOUBLE_EQ(ref.backward_forward_error(), 6.0);
    EXPECT_EQ(bus.ports[0].potential(), C(-1.0));
    EXPECT_EQ(bus.ports[1].potential(), C(-1.0));
    EXPECT_EQ(bus.ports[2].potential(), C(2.0));
    EXPECT_DOUBLE_EQ(ref.backward_forward_error(), 0.0);
}

TEST_F(DeltaPotentialRefTest, AnEarthedNodeKeepsThePotentialItHeldFree) {
    PotentialRef earth;
    bus.ports[2].connection->merge(earth.ports[0].connection);
    EXPECT_DOUBLE_EQ(ref.backward_forward_error(), 2.0);
    EXPECT_EQ(bus.ports[1].potential(), C(1.0 - 2.0 / 3.0));
    EXPECT_EQ(bus.ports[2].potential(), C(0.0));
    EXPECT_EQ(bus.ports[2].connection->potential.value, start[2]);
}

TEST_F(DeltaPotentialRefTest, NaNPotentialIsReportedWhicheverPartHoldsIt) {
    for (const C bad : {C(1.0, nan), C(nan, 100.0)}) {
        for (int i = 0; i < 3; ++i) bus.ports[i].connection->set_potential(start[i]);
        bus.ports[1].connection->set_potential(bad);
        EXPECT_TRUE(std::isnan(ref.backward_forward_error())) << bad;
    }
}

TEST(DeltaPotentialRef, OneNodeIsDrivenToZeroAndNoPortIsRefused) {
    const C start[] = {{3.0, 4.0}};
    Bus bus(1, start);
    DeltaPotentialRef ref(1);
    bus.ports[0].connection->merge(ref.ports[0].connection);
    testing::TapeCheck check({&bus, &ref});
    const auto residual = check.evaluate();
    EXPECT_DOUBLE_EQ(residual[0], 3.0);
    EXPECT_DOUBLE_EQ(residual[1], 4.0);

    for (int n : {0, -2}) {
        try {
            DeltaPotentialRef bad(n);
            ADD_FAILURE() << "built with " << n << " ports";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "A delta potential reference needs at least one port, got " + std::to_string(n));
        }
    }
}

}  // namespace
}  // namespace lfe
