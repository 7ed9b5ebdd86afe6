#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/bus.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "elements/switches.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"

namespace lfe {
namespace {

using probes::connect;
using probes::Scripted;
using Journal = std::vector<std::string>;
using C = std::complex<double>;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

std::string failure_of(AbstractSolver& solver, int max_iterations, double tolerance) {
    try {
        solver.solve_load_flow(max_iterations, tolerance);
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "";
}

TEST(BackwardForward, SweepsBackwardInReverseThenForwardInOrder) {
    Journal journal;
    Scripted a("a", {0.5}, journal), b("b", {0.25}, journal);
    ElectricalNetwork network({&a, &b});
    BackwardForward solver(&network);
    const auto [iterations, error] = solver.solve_load_flow(1, 0.0);
    EXPECT_EQ(iterations, 1);
    EXPECT_EQ(error, 0.5);  // the largest, not the sum
    EXPECT_EQ(journal, (Journal{"backward b", "backward a", "forward a", "forward b"}));
}

TEST(BackwardForward, RunsAtLeastOneSweepAndStopsAtTheTolerance) {
    Journal journal;
    Scripted a("a", {4.0, 2.0, 1.0, 0.5}, journal);
    ElectricalNetwork network({&a});
    BackwardForward solver(&network);
    EXPECT_EQ(solver.solve_load_flow(0, 10.0), std::make_pair(1, 4.0));
    EXPECT_EQ(solver.solve_load_flow(10, 1.0), std::make_pair(2, 1.0));  // equal stops
    EXPECT_EQ(solver.solve_load_flow(1, -1.0), std::make_pair(1, 0.5));
}

TEST(BackwardForward, EmptyNetworkSweepsOnce) {
    ElectricalNetwork network({});
    BackwardForward solver(&network);
    EXPECT_EQ(solver.solve_load_flow(5, 0.0), std::make_pair(1, 0.0));
    EXPECT_EQ(solver.solve_load_flow(3, -1.0), std::make_pair(3, 0.0));
}

TEST(BackwardForward, NaNErrorStaysAndFailsWithTheSweepCount) {
    Journal journal;
    Scripted a("a", {1.0, nan_value}, journal), b("b", {0.5, 0.5}, journal);
    ElectricalNetwork network({&a, &b});
    BackwardForward solver(&network);
    try {
        solver.solve_load_flow(5, 0.0);
        FAIL();
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "2 NaN value encountered at iteration 2. ");
    }
}

TEST(BackwardForward, ANaNToleranceIsRefused) {
    Journal journal;
    Scripted a("a", {1.0}, journal);
    ElectricalNetwork network({&a});
    BackwardForward solver(&network);
    try {
        solver.solve_load_flow(5, nan_value);
        FAIL();
    } catch (const std::invalid_argument& refusal) {
        EXPECT_STREQ(refusal.what(), "The tolerance must not be NaN");
    }
    EXPECT_TRUE(journal.empty()) << "refused before the first sweep";
}

// A 230 V source, a closed switch, then a bus whose 2.3 kW load draws 10 A
// once the bus sits at 230 V.
struct SwitchedLoad {
    static constexpr C e{230.0, 0.0};
    static constexpr C s{2300.0, 0.0};
    const C start[2];
    PotentialRef ref;
    VoltageSource source{2, &e};
    Switch sw{2};
    Bus bus{2, start};
    PowerLoad load{2, &s};
    ElectricalNetwork network{wire()};

    explicit SwitchedLoad(C start_potential) : start{start_potential, 0.0} {}

    std::vector<Element*> wire() {
        connect(ref.ports[0], source.ports[1]);
        for (int i = 0; i < 2; ++i) {
            connect(source.ports[i], *sw.side1[i]);
            connect(bus.ports[i], *sw.side2[i]);
            connect(bus.ports[i], load.ports[i]);
        }
        return {&ref, &source, &sw, &bus, &load};
    }
};

TEST(BackwardForward, SweepsUntilThePotentialsBehindASwitchSettle) {
    for (const C start : {C(115.0, 0.0), C(0.0, 0.0)}) {
        SwitchedLoad n(start);
        BackwardForward solver(&n.network);
        // The first sweep moves the bus to 230 V; the second finds nothing to move.
        EXPECT_EQ(solver.solve_load_flow(10, 1e-10), std::make_pair(2, 0.0)) << "from " << start;
        EXPECT_EQ(n.bus.ports[0].potential(), n.e);
        EXPECT_EQ(n.load.ports[0].current, C(10.0, 0.0)) << "from " << start;
        EXPECT_EQ(n.source.ports[0].current, C(-10.0, 0.0)) << "from " << start;
    }
}

TEST(BackwardForward, ANonFiniteResultFailsLikeANaNSweep) {
    // A bus at 0 V that nothing feeds: nothing moves, and its load draws S / 0.
    const C zero[2] = {0.0, 0.0}, s{1e3, 0.0};
    Bus floating(2, zero);
    PowerLoad load(2, &s);
    for (int i = 0; i < 2; ++i) connect(floating.ports[i], load.ports[i]);
    ElectricalNetwork network({&floating, &load});
    BackwardForward solver(&network);
    EXPECT_EQ(failure_of(solver, 5, 1e-10), "2 NaN value encountered at iteration 1. ");
    EXPECT_EQ(failure_of(solver, 3, -1.0), "2 NaN value encountered at iteration 3. ");

    // An infinite potential that no step writes moves by 0 in every sweep.
    const C infinite{std::numeric_limits<double>::infinity(), 0.0};
    Bus lone(1, &infinite);
    ElectricalNetwork lone_network({&lone});
    BackwardForward lone_solver(&lone_network);
    EXPECT_EQ(failure_of(lone_solver, 5, 1e-10), "2 NaN value encountered at iteration 1. ");
}

TEST(BackwardForward, ElementWithoutSweepStopsTheSolve) {
    probes::Conductance line({1.0, 0.0});
    ElectricalNetwork network({&line});
    BackwardForward solver(&network);
    EXPECT_THROW(solver.solve_load_flow(5, 0.0), std::runtime_error);
}

}  // namespace
}  // namespace lfe
