#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"

namespace lfe {
namespace {

using probes::Scripted;
using Journal = std::vector<std::string>;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

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

TEST(BackwardForward, ElementWithoutSweepStopsTheSolve) {
    probes::Conductance line({1.0, 0.0});
    ElectricalNetwork network({&line});
    BackwardForward solver(&network);
    EXPECT_THROW(solver.solve_load_flow(5, 0.0), std::runtime_error);
}

}  // namespace
}  // namespace lfe
