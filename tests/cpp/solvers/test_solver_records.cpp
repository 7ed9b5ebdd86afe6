#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "elements/potential_ref.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"

namespace lfe {
namespace {

using probes::Conductance;
using probes::Divider;
using probes::expect_near;
using C = std::complex<double>;

TEST(SolverRecords, DestroyedSolverLeavesItsLastValuesToTheRecords) {
    auto d = std::make_unique<Divider>();
    {
        Newton solver(&d->network, false);
        solver.solve_load_flow(10, 1e-10);
    }
    expect_near(d->node_b(), {4.0, 0.4});
    d->lower.g.set({1.0, 0.0});
    EXPECT_EQ(d->lower.g.get(), C(1.0, 0.0));
    {
        // A solver built afterwards starts from the stored values, with the update.
        Newton next(&d->network, false);
        EXPECT_EQ(next.x, Eigen::VectorXd::Zero(6));
        next.solve_load_flow(10, 1e-10);
        expect_near(d->node_b(), d->expected_b());
    }
    // A node that outlives the network keeps its last potential.
    const auto node = d->upper.ports[1].connection;
    const C last = node->get_potential();
    d.reset();
    EXPECT_EQ(node->get_potential(), last);
    node->set_potential({1.0, 2.0});
    EXPECT_EQ(node->get_potential(), C(1.0, 2.0));
}

TEST(SolverRecords, SolvingSolverTakesTheRecordsWithTheCurrentParameters) {
    Divider d;
    Newton first(&d.network, false);
    auto second = std::make_unique<Newton>(&d.network, false);
    EXPECT_FALSE(first.holds_records());
    EXPECT_TRUE(second->holds_records());

    d.source.e.set({20.0, 0.0});  // into the second solver's p
    first.solve_load_flow(10, 1e-10);
    EXPECT_TRUE(first.holds_records());
    expect_near(d.node_b(), {8.0, 0.0});
    EXPECT_EQ(d.node_b(), C(first.x[2], first.x[3]));

    d.lower.g.set({2.0, 0.0});  // into the first solver's p
    EXPECT_EQ(second->p[4], 3.0);
    second->solve_load_flow(10, 1e-10);
    expect_near(d.node_b(), {10.0, 0.0});
    EXPECT_EQ(second->p, first.p);
    EXPECT_FALSE(first.holds_records());

    // Taking the records back shows the first solver's own last solution;
    // destroying a solver that no longer holds them changes nothing.
    first.take_records();
    second.reset();
    expect_near(d.node_b(), {8.0, 0.0});
}

TEST(SolverRecords, SweepAndNewtonShareTheRecordsInTurn) {
    Divider d;
    BackwardForward sweep(&d.network);
    Newton newton(&d.network, false);
    newton.solve_load_flow(10, 1e-10);
    sweep.take_records();
    EXPECT_EQ(d.node_b(), C(0.0, 0.0));  // the sweep's own starting point
    newton.take_records();
    expect_near(d.node_b(), {4.0, 0.4});
}

TEST(SolverRecords, NodeFixedAfterBindingLeavesTheSolverVectors) {
    Divider d;
    auto first = std::make_unique<Newton>(&d.network, false);
    first->solve_load_flow(10, 1e-10);
    const auto node = d.upper.ports[1].connection;
    ASSERT_TRUE(node->potential.bound);
    ASSERT_NE(node->get_potential(), node->potential.value);
    PotentialRef ref;
    probes::connect(d.upper.ports[1], ref.ports[0]);
    ASSERT_TRUE(node->fixed);

    // The network refuses its solvers until built again; the next solver of
    // the rebuilt one lays the node out as fixed: no slots of its own, and
    // none of the first solver's either.
    EXPECT_THROW(Newton(&d.network, false), std::runtime_error);
    EXPECT_THROW(first->solve_load_flow(10, 1e-10), std::runtime_error);
    ElectricalNetwork rebuilt({&d.source, &d.upper, &d.lower});
    Newton second(&rebuilt, false);
    EXPECT_EQ(second.x.size(), 4);
    EXPECT_FALSE(node->potential.bound);
    first->x[2] = 5.0;
    ref.backward_forward_error();
    EXPECT_EQ(first->x[2], 5.0);
    first.reset();
    ref.backward_forward_error();
    EXPECT_EQ(node->get_potential(), C(0.0, 0.0));

    // Freed, the node starts where it would had the reference never come,
    // not from the first solver's solution.
    ref.disconnect();
    ElectricalNetwork again({&d.source, &d.upper, &d.lower});
    Newton third(&again, false);
    Divider fresh;
    EXPECT_EQ(third.x, Newton(&fresh.network, false).x);
}

TEST(SolverRecords, VectorsAreNeverReallocated) {
    Divider d;
    Newton solver(&d.network, false);
    const double* x = solver.x.data();
    const double* p = solver.p.data();
    solver.solve_load_flow(10, 1e-10);
    const double values[] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};
    solver.set_variables(values);
    EXPECT_EQ(solver.x, Eigen::Map<const Eigen::VectorXd>(values, 6));
    EXPECT_EQ(d.node_b(), C(3.0, 4.0));
    solver.reset_inputs();
    EXPECT_EQ(solver.x, solver.x_init);
    Newton other(&d.network, false);
    solver.take_records();
    EXPECT_EQ(solver.x.data(), x);
    EXPECT_EQ(solver.p.data(), p);
}

TEST(SolverRecords, LayoutsThatDifferAreRefused) {
    Divider d;
    Newton solver(&d.network, false);
    probes::Source extra({1.0, 0.0});
    d.network.elements.push_back(&extra);
    EXPECT_THROW(Newton(&d.network, false), std::runtime_error);
    EXPECT_THROW(solver.take_records(), std::runtime_error);
    EXPECT_TRUE(solver.holds_records());
}

// An element joined to node B but left out of the network, then a node of a
// new element that takes B's ports, then the first element deleted: the
// network's solvers and a new one read no port that is gone, and solve as a
// fresh build of the network's list.
TEST(SolverRecords, AJoinAfterTheSolversLeavesNoDeletedPortOnTheirNodes) {
    Divider d;
    auto extra = std::make_unique<Conductance>(C(1.0, 0.0));
    probes::connect(d.upper.ports[1], extra->ports[0]);
    Newton newton(&d.network, false);
    BackwardForward sweep(&d.network);
    newton.solve_load_flow(10, 1e-10);
    Conductance joiner({1.0, 0.0});
    joiner.ports[0].connection->merge(d.upper.ports[1].connection);
    extra.reset();

    sweep.take_records();
    EXPECT_EQ(newton.analyse_jacobian(), (std::pair<std::vector<int>, std::vector<int>>{}));
    newton.solve_load_flow(10, 1e-10);
    expect_near(d.node_b(), d.expected_b());
    Newton fresh(&d.network, false);
    fresh.solve_load_flow(10, 1e-10);
    expect_near(d.node_b(), d.expected_b());
    EXPECT_EQ(joiner.ports[0].potential(), d.node_b());
}

TEST(SolverRecords, AReferenceCountsTheElementsOfTheNetworkSolvedOnly) {
    Divider d;
    PotentialRef ref;
    probes::connect(d.lower.ports[1], ref.ports[0]);
    Conductance extra({1.0, 0.0});
    probes::connect(d.upper.ports[1], extra.ports[0]);
    probes::connect(d.lower.ports[1], extra.ports[1]);
    ElectricalNetwork base({&d.source, &d.upper, &d.lower, &ref});
    ElectricalNetwork wider({&d.source, &d.upper, &d.lower, &ref, &extra});
    Newton base_solver(&base, false);
    Newton wider_solver(&wider, false);
    for (int round = 0; round < 2; ++round) {
        base_solver.solve_load_flow(10, 1e-10);
        expect_near(ref.drawn_current(), d.lower.ports[1].current);
        wider_solver.solve_load_flow(10, 1e-10);
        expect_near(ref.drawn_current(), d.lower.ports[1].current + extra.ports[1].current);
    }
}

// The divider's network, and a wider one over the same elements with a
// third conductance on node B: each has its own solver.
struct WhatIf {
    Divider d;
    Conductance extra{{1.0, 0.0}};
    std::unique_ptr<ElectricalNetwork> wider;
    std::unique_ptr<Newton> base_solver = std::make_unique<Newton>(&d.network, false);
    std::unique_ptr<Newton> wider_solver;

    WhatIf() {
        probes::connect(d.upper.ports[1], extra.ports[0]);
        probes::connect(d.lower.ports[1], extra.ports[1]);
        wider = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&d.source, &d.upper, &d.lower, &extra});
        wider_solver = std::make_unique<Newton>(wider.get(), false);
    }
    C wider_b() const { return d.source.e.get() * 2.0 / 6.0; }
};

TEST(SolverRecords, NetworksSharingElementsEachReadTheirOwnSolution) {
    WhatIf w;
    w.base_solver->solve_load_flow(10, 1e-10);
    expect_near(w.d.node_b(), w.d.expected_b());
    w.wider_solver->solve_load_flow(10, 1e-10);
    expect_near(w.d.node_b(), w.wider_b());
    expect_near(w.extra.ports[0].current, w.wider_b());

    // An update made while the wider solver holds the records reaches the base one.
    w.d.source.e.set({20.0, 0.0});
    w.base_solver->solve_load_flow(10, 1e-10);
    expect_near(w.d.node_b(), w.d.expected_b());
    expect_near(w.d.source.ports[0].current, -w.d.source.e.get() * 6.0 / 5.0);
    w.wider_solver->solve_load_flow(10, 1e-10);
    expect_near(w.d.node_b(), w.wider_b());
}

// A delta reference's node holds no potential: joined as the absorbing side
// to a solved node, it takes over that node's record, slots and all.
TEST(SolverRecords, ANodeThatTakesOverARecordIsBoundAgainByItsSolver) {
    Divider d;
    Newton divider_solver(&d.network, false);
    divider_solver.solve_load_flow(10, 1e-10);
    DeltaPotentialRef reference(1);
    ElectricalNetwork alone({&reference});
    Newton alone_solver(&alone, false);
    EXPECT_TRUE(alone_solver.holds_records());
    reference.ports[0].connection->merge(d.upper.ports[1].connection);
    EXPECT_FALSE(alone_solver.holds_records());
    EXPECT_FALSE(divider_solver.holds_records());
    expect_near(reference.ports[0].potential(), d.expected_b());
    for (int pass = 0; pass < 2; ++pass) {
        alone_solver.solve_load_flow(10, 1e-10);
        EXPECT_EQ(reference.ports[0].potential(), C(alone_solver.x[0], alone_solver.x[1]));
        expect_near(reference.ports[0].potential(), {0.0, 0.0});
        divider_solver.solve_load_flow(10, 1e-10);
        expect_near(d.node_b(), d.expected_b());
        EXPECT_EQ(reference.ports[0].potential(), d.node_b());
    }
}

TEST(SolverRecords, ElementsOutsideTheNetworkDrawNothingFromItsNodes) {
    Divider d;
    Conductance extra({1.0, 0.0});
    probes::connect(d.upper.ports[1], extra.ports[0]);
    probes::connect(d.lower.ports[1], extra.ports[1]);
    d.upper.ports[1].connection->potential.value = {5.0, 0.0};
    // Recording the wider network leaves the extra conductance's currents at 5 A.
    ElectricalNetwork wider({&d.source, &d.upper, &d.lower, &extra});
    Newton wider_solver(&wider, false);
    ElectricalNetwork base({&d.source, &d.upper, &d.lower});
    Newton base_solver(&base, false);
    base_solver.solve_load_flow(10, 1e-10);
    expect_near(d.node_b(), d.expected_b());
}

// Every order of dropping the two solvers and networks (a network after its
// solver); the records read and write what they keep throughout.
TEST(SolverRecords, RecordsOutliveEveryOwnerInAnyOrder) {
    enum Drop { base_solver, base_network, wider_solver, wider_network };
    std::array<Drop, 4> order{base_solver, base_network, wider_solver, wider_network};
    do {
        const auto at = [&](Drop drop) { return std::find(order.begin(), order.end(), drop); };
        if (at(base_network) < at(base_solver) || at(wider_network) < at(wider_solver)) continue;
        WhatIf w;
        auto base = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&w.d.source, &w.d.upper, &w.d.lower});
        w.base_solver = std::make_unique<Newton>(base.get(), false);
        w.base_solver->solve_load_flow(10, 1e-10);
        w.wider_solver->solve_load_flow(10, 1e-10);
        w.base_solver->solve_load_flow(10, 1e-10);
        for (const Drop drop : order) {
            if (drop == base_solver) w.base_solver.reset();
            if (drop == base_network) base.reset();
            if (drop == wider_solver) w.wider_solver.reset();
            if (drop == wider_network) w.wider.reset();
            expect_near(w.d.node_b(), w.d.expected_b());
            w.d.source.e.set(w.d.source.e.get());
            w.d.upper.ports[1].connection->set_potential(w.d.node_b());
        }
        EXPECT_EQ(w.d.source.e.get(), C(10.0, 1.0));
    } while (std::next_permutation(order.begin(), order.end()));
}

}  // namespace
}  // namespace lfe
