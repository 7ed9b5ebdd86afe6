#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "elements/switches.hpp"
#include "elements/transformers.hpp"
#include "elements/voltage_regulator.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

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

// Source, line, switch, a load, a transformer, a regulator and a second
// load in a chain of single-phase nodes over one earthed return; no buses,
// so that every element of the list takes part in the sweep. Every free
// node starts at 230 V.
struct Chain {
    static constexpr C e{230.0, 0.0};
    static constexpr C z{0.1, 0.05};
    static constexpr C near_power{3e3, 1e3};
    static constexpr C far_power{5e3, 1e3};
    PotentialRef ref;
    VoltageSource source{2, &e};
    SimplifiedLine line{1, &z};
    Switch sw{1};
    PowerLoad near{2, &near_power};
    SingleTransformer transformer{{0.05, 0.02}, {1e-5, -4e-5}, 1.0};
    SingleVoltageRegulator regulator{{0.05, 0.1}, {1e-4, -5e-4}, 230.0, 0.1, 5.0, 0.0};
    PowerLoad far{2, &far_power};

    Chain() {
        const auto earth = ref.ports[0].connection;
        for (Port* q : {&source.ports[1], &near.ports[1], &transformer.ports[1], &transformer.ports[3],
                        &regulator.ports[1], &far.ports[1]})
            earth->merge(q->connection);
        connect(source.ports[0], *line.side1[0]);
        connect(*line.side2[0], *sw.side1[0]);
        for (Port* q : {&near.ports[0], &transformer.ports[0]}) connect(*sw.side2[0], *q);
        connect(transformer.ports[2], regulator.ports[0]);
        connect(regulator.ports[2], far.ports[0]);
        for (Port* q : {&source.ports[0], sw.side1[0], sw.side2[0], &transformer.ports[2], &regulator.ports[2]})
            q->connection->set_potential(e);
    }

    // In feeding order.
    std::vector<Element*> elements() { return {&ref, &source, &line, &sw, &near, &transformer, &regulator, &far}; }

    // The potentials of the free nodes, then the port currents.
    std::vector<C> result() {
        std::vector<C> values;
        for (Port* q : {&source.ports[0], sw.side1[0], sw.side2[0], &transformer.ports[2], &regulator.ports[2]})
            values.push_back(q->potential());
        for (Element* element : elements())
            for (const Port& q : element->ports) values.push_back(q.current);
        return values;
    }
};

double largest_difference(const std::vector<C>& a, const std::vector<C>& b) {
    double largest = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) largest = std::max(largest, std::abs(a[k] - b[k]));
    return largest;
}

TEST(BackwardForward, EveryOrderOfAChainGivesNewtonsLoadFlow) {
    Chain reference;
    ElectricalNetwork reference_network(reference.elements());
    Newton newton(&reference_network, false);
    ASSERT_LE(newton.solve_load_flow(30, 1e-10).second, 1e-10);
    const auto expected = reference.result();

    std::array<int, 8> order;
    std::iota(order.begin(), order.end(), 0);
    int orders = 0, converged = 0, wrong = 0, most_sweeps = 0;
    do {
        Chain chain;
        const auto in_feeding_order = chain.elements();
        std::vector<Element*> list;
        for (int k : order) list.push_back(in_feeding_order[static_cast<std::size_t>(k)]);
        ElectricalNetwork network(std::move(list));
        BackwardForward sweep(&network);
        const auto [sweeps, error] = sweep.solve_load_flow(300, 1e-10);
        ++orders;
        if (error > 1e-10) continue;
        ++converged;
        most_sweeps = std::max(most_sweeps, sweeps);
        if (largest_difference(chain.result(), expected) > 1e-6) ++wrong;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(orders, 40320);
    EXPECT_EQ(wrong, 0) << "of " << converged << " orders that report convergence";
    EXPECT_EQ(converged, orders) << "in at most 300 sweeps; the slowest took " << most_sweeps;
}

// Reversed, every line reads the currents of the sweep before, which start
// at zero: the first sweep moves nothing. Shuffled, the currents and the
// potentials travel a few elements per sweep.
TEST(BackwardForward, ReversedAndShuffledFeedersGiveNewtonsLoadFlow) {
    testing::Feeder ordered(20, {1e3, 3e2});
    Newton newton(ordered.network.get(), false);
    ASSERT_LE(newton.solve_load_flow(20, 1e-10).second, 1e-10);
    const auto expected = ordered.potentials();

    for (const int seed : {0, 1, 2}) {
        testing::Feeder feeder(20, {1e3, 3e2});
        std::vector<Element*> list = feeder.network->elements;
        if (seed == 0)
            std::reverse(list.begin(), list.end());
        else
            std::shuffle(list.begin(), list.end(), std::mt19937(seed));
        ElectricalNetwork reordered(std::move(list));
        BackwardForward sweep(&reordered);
        const auto [sweeps, error] = sweep.solve_load_flow(5000, 1e-10);
        ASSERT_LE(error, 1e-10) << "order " << seed << ": " << sweeps << " sweeps";
        const auto swept = feeder.potentials();
        for (std::size_t k = 0; k < expected.size(); ++k)
            testing::expect_close(swept[k], expected[k], 1e-9);
        for (std::size_t k = 0; k < feeder.lines.size(); ++k)
            for (std::size_t q = 0; q < 8; ++q)
                testing::expect_close(feeder.lines[k]->ports[q].current, ordered.lines[k]->ports[q].current, 1e-9);
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
