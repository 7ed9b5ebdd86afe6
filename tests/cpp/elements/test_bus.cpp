#include <gtest/gtest.h>

#include "elements/bus.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;

TEST(Bus, NodesStartAtTheGivenPotentialsAndDrawNothing) {
    const C potentials[] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}};
    Bus bus(3, potentials);
    Ground ground;
    bus.ports[2].connection->merge(ground.ports[0].connection);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bus.ports[i].potential(), potentials[i]);
    EXPECT_FALSE(bus.ports[2].connection->fixed) << "a ground leaves its node free";

    for (auto& port : bus.ports) port.current = {5.0, 5.0};
    ground.ports[0].current = {1.0, 0.0};
    testing::TapeCheck check({&bus, &ground});
    EXPECT_EQ(check.nodes.size(), 3u);
    EXPECT_EQ(check.p.size(), 0);
    check.x[0] = 400.0;
    EXPECT_TRUE(check.evaluate().empty());
    for (const auto& port : bus.ports) EXPECT_EQ(port.current, C(0.0));
    EXPECT_EQ(ground.ports[0].current, C(0.0));

    for (Element* e : std::vector<Element*>{&bus, &ground}) {
        e->ports[0].current = {3.0, 0.0};
        e->update_backward_forward();
        EXPECT_EQ(e->ports[0].current, C(0.0));
        EXPECT_EQ(e->backward_forward_error(), 0.0);
    }
}

TEST(Bus, EmptyAndNegativeCounts) {
    Bus empty(0, nullptr);
    EXPECT_TRUE(empty.ports.empty());
    empty.compute_currents(false);
    empty.update_backward_forward();
    EXPECT_EQ(empty.backward_forward_error(), 0.0);
    EXPECT_THROW(Bus(-1, nullptr), std::length_error);
}

}  // namespace
}  // namespace lfe
