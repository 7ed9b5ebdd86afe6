#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/sources.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

void join(Element& a, Element& b) {
    for (std::size_t i = 0; i < a.ports.size(); ++i) a.ports[i].connection->merge(b.ports[i].connection);
}

C sum_of_currents(const Element& e) {
    C sum = 0.0;
    for (const auto& port : e.ports) sum += port.current;
    return sum;
}

TEST(VoltageSource, StarEquationsAndCurrentsOnTape) {
    const C start[] = {{1.0, 1.0}, {2.0, -1.0}, {0.5, 3.0}, {0.1, 0.2}};
    const C e[] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}};
    Bus bus(4, start);
    VoltageSource source(4, e);
    join(bus, source);

    testing::TapeCheck check({&bus, &source});
    ASSERT_EQ(check.x.size(), 8 + 6);
    ASSERT_EQ(check.p.size(), 6);
    ASSERT_EQ(check.equations, 6);
    auto residual = check.evaluate();
    for (int i = 0; i < 3; ++i) testing::expect_close({residual[2 * i], residual[2 * i + 1]}, start[i] - start[3] - e[i]);

    check.x.tail(6) << 1.0, 2.0, 3.0, -4.0, 5.0, 0.5;
    check.x[0] = 7.0;
    check.p[3] = -50.0;
    residual = check.evaluate();
    testing::expect_close({residual[0], residual[1]}, C(7.0, 1.0) - start[3] - e[0]);
    testing::expect_close({residual[2], residual[3]}, start[1] - start[3] - C(-115.0, -50.0));
    EXPECT_EQ(source.ports[3].current, -C(1.0, 2.0) - C(3.0, -4.0) - C(5.0, 0.5));
    EXPECT_EQ(sum_of_currents(source), C(0.0));

    const C updated[] = {{1.0, 0.0}, {2.0, 0.0}, {3.0, 0.0}};
    source.update_voltages(updated);
    EXPECT_EQ(check.p[4], 3.0) << "a bound voltage is written into p";
    residual = check.evaluate();
    testing::expect_close({residual[4], residual[5]}, start[2] - start[3] - updated[2]);
}

TEST(DeltaVoltageSource, EquationsBetweenNeighbouringConductors) {
    const C start[] = {{10.0, 1.0}, {2.0, -1.0}, {0.5, 3.0}};
    const C e[] = {{400.0, 0.0}, {-200.0, -346.4}};
    Bus bus(3, start);
    DeltaVoltageSource source(3, e);
    join(bus, source);
    testing::TapeCheck check({&bus, &source});
    ASSERT_EQ(check.equations, 4);
    check.p[0] = 390.0;
    const auto residual = check.evaluate();
    testing::expect_close({residual[0], residual[1]}, start[0] - start[1] - C(390.0, 0.0));
    testing::expect_close({residual[2], residual[3]}, start[1] - start[2] - e[1]);
}

TEST(VoltageSource, BackwardStepsFeedTheRestOfEachNode) {
    const C start[] = {0.0, 0.0, 0.0};
    const C e[] = {1.0, 1.0};
    Bus bus(3, start);
    VoltageSource star(3, e);
    DeltaVoltageSource delta(3, e);
    join(bus, star);
    bus.ports[0].current = {2.0, 1.0};
    bus.ports[1].current = -1.0;
    bus.ports[2].current = 9.0;

    star.update_backward_forward();
    EXPECT_EQ(star.ports[0].current, C(-2.0, -1.0));
    EXPECT_EQ(star.ports[1].current, C(1.0));
    EXPECT_EQ(star.ports[2].current, C(1.0, 1.0)) << "the neutral returns the phases' total";

    join(bus, delta);
    for (auto& port : star.ports) port.current = 0.0;
    delta.update_backward_forward();
    EXPECT_EQ(delta.ports[1].current, C(1.0));
    EXPECT_EQ(delta.ports[2].current, C(-9.0));
    EXPECT_EQ(delta.ports[0].current, C(8.0));
    EXPECT_EQ(sum_of_currents(delta), C(0.0));
}

TEST(VoltageSource, ForwardStepsImposeTheVoltages) {
    const C start[] = {0.0, 0.0, {5.0, 1.0}};
    const C e[] = {{230.0, 0.0}, {0.0, 100.0}};
    Bus bus(3, start);
    VoltageSource star(3, e);
    join(bus, star);
    EXPECT_DOUBLE_EQ(star.backward_forward_error(), std::abs(C(235.0, 1.0))) << "the larger move, from 0 V";
    EXPECT_EQ(bus.ports[0].potential(), C(235.0, 1.0));
    EXPECT_EQ(bus.ports[1].potential(), C(5.0, 101.0));
    EXPECT_EQ(star.backward_forward_error(), 0.0) << "nothing left to move";

    DeltaVoltageSource delta(3, e);
    join(bus, delta);
    EXPECT_EQ(delta.backward_forward_error(), 100.0) << "each node moved by 100 V";
    EXPECT_EQ(bus.ports[1].potential(), C(5.0, 1.0));
    EXPECT_EQ(bus.ports[2].potential(), C(5.0, -99.0)) << "the chain reads the potential just written";
    EXPECT_EQ(delta.backward_forward_error(), 0.0);

    const C bad[] = {{nan, 0.0}, 0.0};
    delta.update_voltages(bad);
    EXPECT_TRUE(std::isnan(delta.backward_forward_error())) << "a NaN written must not pass as converged";
    star.update_voltages(bad);
    EXPECT_TRUE(std::isnan(star.backward_forward_error()));
}

TEST(VoltageSource, SinglePortHasNothingAndZeroPortsIsRefused) {
    VoltageSource source(1, nullptr);
    EXPECT_TRUE(source.voltages.empty());
    testing::TapeCheck check({&source});
    EXPECT_EQ(check.x.size(), 2);
    EXPECT_EQ(check.p.size(), 0);
    EXPECT_TRUE(check.evaluate().empty());
    EXPECT_EQ(source.ports[0].current, C(0.0));
    source.update_backward_forward();
    EXPECT_EQ(source.ports[0].current, C(0.0));
    EXPECT_EQ(source.backward_forward_error(), 0.0);
    EXPECT_THROW(VoltageSource(0, nullptr), std::length_error);
    EXPECT_THROW(DeltaVoltageSource(-1, nullptr), std::length_error);
}

}  // namespace
}  // namespace lfe
