#include <gtest/gtest.h>

#include <memory>

#include "elements/potential_ref.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"

namespace lfe {
namespace {

using probes::Divider;
using probes::expect_near;
using C = std::complex<double>;

TEST(SolverRecords, DestroyedSolverLeavesItsLastValuesToTheNetwork) {
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
    EXPECT_FALSE(node->potential.bound);
    EXPECT_EQ(node->get_potential(), last);
}

TEST(SolverRecords, SolvingSolverTakesTheRecordsWithTheCurrentParameters) {
    Divider d;
    Newton first(&d.network, false);
    auto second = std::make_unique<Newton>(&d.network, false);
    EXPECT_TRUE(d.network.records_in(second->x));

    d.source.e.set({20.0, 0.0});  // into the second solver's p
    first.solve_load_flow(10, 1e-10);
    EXPECT_TRUE(d.network.records_in(first.x));
    expect_near(d.node_b(), {8.0, 0.0});
    EXPECT_EQ(d.node_b(), C(first.x[2], first.x[3]));

    d.lower.g.set({2.0, 0.0});  // now into the first solver's p
    EXPECT_EQ(second->p[4], 3.0);
    second->solve_load_flow(10, 1e-10);
    expect_near(d.node_b(), {10.0, 0.0});
    EXPECT_EQ(second->p, first.p);

    // Taking the records back shows the first solver's own last solution;
    // destroying a solver that no longer holds them changes nothing.
    first.take_records();
    second.reset();
    expect_near(d.node_b(), {8.0, 0.0});
}

TEST(SolverRecords, NodeFixedAfterBindingLeavesTheSolverVectors) {
    Divider d;
    auto first = std::make_unique<Newton>(&d.network, false);
    const auto node = d.upper.ports[1].connection;
    ASSERT_TRUE(node->potential.bound);
    PotentialRef ref;
    probes::connect(d.upper.ports[1], ref.ports[0]);
    ASSERT_TRUE(node->fixed);

    // The next solver lays the node out as fixed: no slots of its own, and
    // none of the first solver's either.
    Newton second(&d.network, false);
    EXPECT_EQ(second.x.size(), 4);
    EXPECT_FALSE(node->potential.bound);
    first->x[2] = 5.0;
    ref.backward_forward_error();
    EXPECT_EQ(first->x[2], 5.0);
    first.reset();
    ref.backward_forward_error();
    EXPECT_EQ(node->get_potential(), C(0.0, 0.0));
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
    Newton wider(&d.network, false);
    EXPECT_THROW(solver.take_records(), std::runtime_error);
    EXPECT_TRUE(d.network.records_in(wider.x));
}

}  // namespace
}  // namespace lfe
