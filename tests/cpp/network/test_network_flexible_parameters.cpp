#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <set>
#include <vector>

#include "elements/bus.hpp"
#include "elements/flexible_load.hpp"
#include "elements/lines.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using probes::connect;
using probes::expect_near;

const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
const Projection euclidean("euclidean", 100.0, 1e-4);

Control q_u_around(double u) { return {"q_u", 0.9 * u, 0.95 * u, 1.05 * u, 1.1 * u, 50.0, 0.1}; }

Eigen::VectorXd vector_of(const std::vector<double>& v) {
    return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

TEST(FlexibleNetwork, EachParameterTakesOneTripleAfterTheElementParameters) {
    FlexibleParameter a(constant, constant, euclidean, 1.0, 2.0, 3.0);
    FlexibleParameter b(constant, constant, euclidean, 4.0, 5.0, 6.0);
    const C s[] = {{10.0, 11.0}, {12.0, 13.0}};
    const C v[] = {{230.0, 0.0}, {0.0, 0.0}};
    Bus bus(2, v);
    FlexibleLoad star(2, s, {&a});
    DeltaFlexibleLoad delta(2, s, {&b, &a});
    PowerLoad plain(2, s);
    ElectricalNetwork network({&bus, &star, &delta, &plain});
    EXPECT_EQ(network.flexible_parameters, (std::set<FlexibleParameter*>{&a, &b}));

    const auto [x0, p0] = network.get_initial_values();
    const bool a_first = &a < &b;
    const std::vector<double> triples =
        a_first ? std::vector<double>{1, 2, 3, 4, 5, 6} : std::vector<double>{4, 5, 6, 1, 2, 3};
    ASSERT_EQ(p0.size(), 2u + 4u + 2u + 6u);
    EXPECT_EQ(std::vector<double>(p0.begin(), p0.begin() + 2), (std::vector<double>{10, 11}));
    EXPECT_EQ(std::vector<double>(p0.end() - 6, p0.end()), triples);

    Eigen::VectorXd x = vector_of(x0), p = vector_of(p0);
    network.bind_constants(x, p);
    const int a_slot = a_first ? 8 : 11;
    EXPECT_EQ(a.s_max.values, &p[a_slot]);
    EXPECT_EQ(a.q_max.values, &p[a_slot + 2]);
    a.update_parameters(7.0, 8.0, 9.0);
    EXPECT_EQ(p.segment(a_slot, 3), Eigen::Vector3d(7.0, 8.0, 9.0));
}

TEST(FlexibleNetwork, NodesAreTracedToTheFlexibleLoadThatDrawsNaN) {
    // A zero s_max puts the Q(U) law's normalisation at 0 / 0.
    FlexibleParameter broken(constant, q_u_around(230.0), euclidean, 0.0, -1.0, 1.0);
    const C s[] = {{1000.0, 100.0}};
    const C v[] = {{230.0, 0.0}, {0.0, 0.0}};
    Bus bus(2, v);
    FlexibleLoad load(2, s, {&broken});
    connect(bus.ports[0], load.ports[0]);
    connect(bus.ports[1], load.ports[1]);
    ElectricalNetwork network({&bus, &load});
    const auto [x0, p0] = network.get_initial_values();
    Eigen::VectorXd x = vector_of(x0), p = vector_of(p0);
    network.bind_constants(x, p);
    ADVector y = ADVector::Constant(x.size(), ADScalar(0.0));
    network.add_equations(y);
    EXPECT_TRUE(std::isnan(CppAD::Value(y[0])));
    EXPECT_EQ(network.find_elements({0, 1}, network.layout()), std::vector<int>{1});
}

TEST(FlexibleNetwork, SharedLimitsFollowTheSolverThatTookThemLast) {
    FlexibleParameter shared(constant, constant, euclidean, 1.0, 2.0, 3.0);
    FlexibleParameter own(constant, constant, euclidean, 4.0, 5.0, 6.0);
    const C s[] = {{10.0, 11.0}};
    FlexibleLoad first(2, s, {&own});
    FlexibleLoad second(2, s, {&shared});
    FlexibleLoad third(2, s, {&shared});

    auto kept = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&first, &second});
    ElectricalNetwork other(std::vector<Element*>{&third});
    auto kept_solver = std::make_unique<BackwardForward>(kept.get());
    BackwardForward other_solver(&other);
    kept_solver->take_records();
    shared.update_parameters(7.0, 8.0, 9.0);
    other_solver.take_records();
    EXPECT_EQ(other_solver.p.tail(3), Eigen::Vector3d(7.0, 8.0, 9.0)) << "the update moves along";

    // The limits left in a dead solver's vectors keep working.
    own.update_parameters(40.0, 50.0, 60.0);
    kept_solver.reset();
    kept.reset();
    EXPECT_EQ(own.q_max.get(), 60.0);
    own.update_parameters(41.0, 51.0, 61.0);
    EXPECT_EQ(own.q_max.get(), 61.0);
    shared.update_parameters(1.0, 2.0, 3.0);
    EXPECT_EQ(other_solver.p.tail(3), Eigen::Vector3d(1.0, 2.0, 3.0));
}

C phasor(double magnitude, double degrees) { return std::polar(magnitude, degrees * std::numbers::pi / 180.0); }

// A source, one line and a bus with a star and a delta flexible load; star
// phase 1 is a generator whose P follows the voltage.
struct FlexibleFeeder {
    std::array<C, 3> e{phasor(230.0, 0.0), phasor(230.0, -120.0), phasor(230.0, 120.0)};
    std::array<C, 4> start{e[0], e[1], e[2], 0.0};
    std::array<C, 16> z = testing::four_wire_impedance(C(0.2, 0.1), C(0.05, 0.02));
    std::array<C, 3> star_powers{C(4000.0, 1000.0), C(-3000.0, 500.0), C(5000.0, 0.0)};
    std::array<C, 3> delta_powers{C(2000.0, 500.0), C(1500.0, 0.0), C(1000.0, -300.0)};

    FlexibleParameter var{constant, q_u_around(230.0), euclidean, 6e3, -3e3, 3e3};
    FlexibleParameter generator{Control("p_max_u_production", 0.0, 0.0, 225.0, 245.0, 50.0, 1e-3), constant,
                                Projection("keep_q", 50.0, 1e-3), 8e3, 0.0, 0.0};
    FlexibleParameter delta_var{constant, q_u_around(398.0), euclidean, 4e3, -1e3, 1e3};

    Bus source_bus{4, start.data()};
    PotentialRef ref;
    VoltageSource source{4, e.data()};
    SimplifiedLine line{4, z.data()};
    Bus far_bus{4, start.data()};
    FlexibleLoad star{4, star_powers.data(), {&var, &generator, &var}};
    DeltaFlexibleLoad delta{3, delta_powers.data(), {&delta_var, &delta_var, &delta_var}};
    ElectricalNetwork network{wire()};

    std::vector<Element*> wire() {
        connect(source_bus.ports[3], ref.ports[0]);
        for (std::size_t k = 0; k < 4; ++k) {
            connect(source_bus.ports[k], source.ports[k]);
            connect(source_bus.ports[k], line.ports[k]);
            connect(far_bus.ports[k], line.ports[4 + k]);
            connect(far_bus.ports[k], star.ports[k]);
            if (k < 3) connect(far_bus.ports[k], delta.ports[k]);
        }
        return {&source_bus, &ref, &source, &line, &far_bus, &star, &delta};
    }

    std::vector<C> potentials() const {
        std::vector<C> v;
        for (const Port& port : far_bus.ports) v.push_back(port.potential());
        return v;
    }

    // Kirchhoff's law at every node with the plain currents, and every phase
    // drawing the power its law gives at the solved voltage.
    void expect_solved() {
        for (const auto& node : network.connections) {
            if (node->fixed) continue;
            C sum = 0.0;
            for (const Port* q : node->ports) sum += q->current;
            EXPECT_LT(std::abs(sum), 1e-7);
        }
        std::array<C, 3> powers;
        star.get_powers(powers.data());
        for (std::size_t i = 0; i < 3; ++i)
            expect_near((star.ports[i].potential() - star.ports[3].potential()) * std::conj(star.ports[i].current),
                        powers[i], 1e-6);
        delta.get_powers(powers.data());
        C drawn = 0.0;
        for (const Port& port : delta.ports) drawn += port.potential() * std::conj(port.current);
        expect_near(drawn, powers[0] + powers[1] + powers[2], 1e-6);
    }
};

void expect_same(const std::vector<C>& actual, const std::vector<C>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) expect_near(actual[k], expected[k], tolerance);
}

TEST(FlexibleNetwork, NewtonAndTheSweepAgree) {
    FlexibleFeeder f;
    Newton newton(&f.network, true);
    const auto [iterations, error] = newton.solve_load_flow(20, 1e-9);
    EXPECT_GT(iterations, 1);
    EXPECT_LE(error, 1e-9);
    f.expect_solved();
    std::array<C, 3> powers;
    f.star.get_powers(powers.data());
    EXPECT_GT(std::abs(powers[0] - f.star_powers[0]), 1.0) << "the Q(U) law acts at the solved voltage";
    const auto expected = f.potentials();

    BackwardForward sweep(&f.network);
    const auto [sweeps, move] = sweep.solve_load_flow(200, 1e-10);
    EXPECT_LE(move, 1e-10);
    expect_same(f.potentials(), expected, 1e-6);
}

TEST(FlexibleNetwork, UpdatesBetweenSolvesMatchAFreshSolver) {
    // The generator turns into a load: the keep_q projection's sign follows.
    const auto update = [](FlexibleFeeder& f) {
        f.var.update_parameters(4.5e3, -1e3, 500.0);
        f.delta_var.update_parameters(2e3, -500.0, 500.0);
        f.star.powers[1].set({3000.0, 500.0});
    };
    FlexibleFeeder f;
    Newton solver(&f.network, false);
    solver.solve_load_flow(20, 1e-10);
    update(f);
    EXPECT_LE(solver.solve_load_flow(20, 1e-10).second, 1e-10);
    f.expect_solved();
    std::array<C, 3> powers;
    f.star.get_powers(powers.data());
    EXPECT_GT(powers[1].real(), 0.0);

    FlexibleFeeder fresh;
    update(fresh);
    Newton fresh_solver(&fresh.network, false);
    fresh_solver.solve_load_flow(20, 1e-10);
    expect_same(f.potentials(), fresh.potentials(), 1e-8);
}

}  // namespace
}  // namespace lfe
