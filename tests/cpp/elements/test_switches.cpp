#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/potential_ref.hpp"
#include "elements/switches.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct TwoBuses {
    const C start1[2] = {{230.0, 1.0}, {-115.0, -199.0}};
    const C start2[2] = {{220.0, 3.0}, {-110.0, -190.0}};
    Bus bus1{2, start1};
    Bus bus2{2, start2};

    void join(Branch& branch) {
        for (int i = 0; i < 2; ++i) {
            bus1.ports[i].connection->merge(branch.side1[i]->connection);
            bus2.ports[i].connection->merge(branch.side2[i]->connection);
        }
    }
};

TEST(Switch, ConductorCurrentsAreUnknownsAndPotentialsMatch) {
    TwoBuses buses;
    Switch sw(2);
    buses.join(sw);
    testing::TapeCheck check({&buses.bus1, &buses.bus2, &sw});
    ASSERT_EQ(check.x.size(), 8 + 4);
    ASSERT_EQ(check.equations, 4);
    auto residual = check.evaluate();
    for (int i = 0; i < 2; ++i)
        testing::expect_close({residual[2 * i], residual[2 * i + 1]}, buses.start1[i] - buses.start2[i]);

    check.x.tail(4) << 3.0, -1.0, 0.5, 2.0;
    check.x[4] = 1.0;
    residual = check.evaluate();
    testing::expect_close({residual[0], residual[1]}, buses.start1[0] - C(1.0, 3.0));
    EXPECT_EQ(sw.side1[0]->current, C(3.0, -1.0));
    EXPECT_EQ(sw.side2[0]->current, C(-3.0, 1.0));
    EXPECT_EQ(sw.side2[1]->current, C(-0.5, -2.0));
}

TEST(Switch, FixedSideOneReadsZero) {
    TwoBuses buses;
    Switch sw(2);
    buses.join(sw);
    PotentialRef ref;
    buses.bus1.ports[0].connection->merge(ref.ports[0].connection);
    testing::TapeCheck check({&buses.bus1, &buses.bus2, &sw, &ref});
    const auto residual = check.evaluate();
    testing::expect_close({residual[0], residual[1]}, -buses.start2[0]);
}

TEST(Switch, SweepPassesCurrentsUpAndPotentialsDown) {
    TwoBuses buses;
    Switch sw(2);
    buses.join(sw);
    buses.bus2.ports[0].current = {4.0, 1.0};
    buses.bus2.ports[1].current = 0.0;
    sw.update_backward_forward();
    EXPECT_EQ(sw.side2[0]->current, C(-4.0, -1.0));
    EXPECT_EQ(sw.side1[0]->current, C(4.0, 1.0));
    EXPECT_EQ(sw.side1[1]->current, C(0.0));

    EXPECT_DOUBLE_EQ(sw.backward_forward_error(), std::abs(buses.start1[1] - buses.start2[1]))
        << "the larger move, that of conductor 1";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(buses.bus2.ports[i].potential(), buses.start1[i]);
    EXPECT_EQ(sw.backward_forward_error(), 0.0) << "nothing left to move";

    buses.bus1.ports[1].connection->set_potential({0.0, nan});
    EXPECT_TRUE(std::isnan(sw.backward_forward_error()));

    Switch lone(1);
    lone.side2[0]->current = 5.0;
    lone.update_backward_forward();
    EXPECT_EQ(lone.side1[0]->current, C(0.0)) << "nothing downstream draws";
}

TEST(OpenSwitch, CarriesNoCurrent) {
    TwoBuses buses;
    OpenSwitch sw(2);
    buses.join(sw);
    for (auto& port : sw.ports) port.current = 1.0;
    testing::TapeCheck check({&buses.bus1, &buses.bus2, &sw});
    EXPECT_EQ(check.x.size(), 8);
    check.evaluate();
    for (auto& port : sw.ports) {
        EXPECT_EQ(port.current, C(0.0));
        port.current = 1.0;
    }
    sw.update_backward_forward();
    for (const auto& port : sw.ports) EXPECT_EQ(port.current, C(0.0));
    EXPECT_EQ(sw.backward_forward_error(), 0.0);
}

TEST(Switch, EmptyAndNegative) {
    Switch sw(0);
    OpenSwitch open(0);
    std::vector<double> x0;
    sw.add_variables(x0);
    EXPECT_TRUE(x0.empty());
    sw.compute_currents(true);
    sw.compute_currents(false);
    open.compute_currents(false);
    sw.update_backward_forward();
    EXPECT_EQ(sw.backward_forward_error(), 0.0);
    EXPECT_THROW(Switch(-1), std::length_error);
}

}  // namespace
}  // namespace lfe
