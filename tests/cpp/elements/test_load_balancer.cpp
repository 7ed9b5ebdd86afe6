#include <gtest/gtest.h>

#include <array>
#include <numbers>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/load_balancer.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using probes::connect;

const C z2{0.02, 0.01};
const C ym{1e-3, -4e-3};
constexpr double k = 1.0;

C phasor(double magnitude, double turns) { return std::polar(magnitude, 2.0 * std::numbers::pi * turns); }

// Impedance the balancer shows to voltages of the given sequence: positive
// and negative (a zero sum) see d - o, zero (equal phases) sees d + 2 o.
C sequence_impedance(bool zero_sequence) {
    const C d = z2 + (1.0 + 1.0 / (k * k)) / ym;
    const C o = -1.0 / (k * ym);
    return zero_sequence ? d + 2.0 * o : d - o;
}

struct OnBus {
    Bus bus;
    LoadBalancer balancer{z2, ym, k};

    explicit OnBus(const std::array<C, 4>& v) : bus(4, v.data()) {
        for (int i = 0; i < 4; ++i) connect(bus.ports[i], balancer.ports[i]);
    }

    C port_sum() const {
        C sum = 0.0;
        for (const auto& port : balancer.ports) sum += port.current;
        return sum;
    }
};

TEST(LoadBalancer, AdmittanceInvertsTheWindingMatrix) {
    const LoadBalancer two(z2, ym, 2.0);
    const Eigen::MatrixXcd m = two.Y.get().inverse();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) testing::expect_close(m(r, c), r == c ? z2 + 1.25 / ym : -0.5 / ym);
    EXPECT_EQ(two.ports.size(), 4u);
    EXPECT_FALSE(two.Y.bound);
    EXPECT_EQ(two.Y.ad.size(), 0) << "the AD matrix takes its shape when bound";

    // With k = 1 the zero sequence sees z2 alone: none makes M singular.
    EXPECT_FALSE(LoadBalancer(0.0, ym, 1.0).Y.get().allFinite());
}

TEST(LoadBalancer, TapeFollowsPotentialsAndParameters) {
    OnBus c({C(230.0, 1.0), phasor(225.0, -1.0 / 3), phasor(232.0, 1.0 / 3), C(3.0, -2.0)});
    testing::TapeCheck check({&c.bus, &c.balancer});
    ASSERT_EQ(check.p.size(), 18);
    EXPECT_EQ(C(check.p[2], check.p[3]), c.balancer.Y.value(0, 1)) << "Y is laid out row by row";
    EXPECT_TRUE(check.evaluate().empty());
    testing::expect_close(c.port_sum(), 0.0);

    check.x[1] = 40.0;
    check.x[6] = -9.0;
    check.p[2] = 0.5;
    check.p[15] = -0.25;
    check.evaluate();
    testing::expect_close(c.port_sum(), 0.0);
    EXPECT_EQ(c.balancer.Y.get()(0, 1), C(0.5, check.p[3]));
}

TEST(LoadBalancer, SequenceVoltagesSeeTheirImpedances) {
    const double u = 230.0;
    OnBus balanced({phasor(u, 0.0), phasor(u, -1.0 / 3), phasor(u, 1.0 / 3), C(0.0)});
    balanced.balancer.compute_currents(false);
    C power = 0.0;
    for (int r = 0; r < 3; ++r) {
        const C v = balanced.bus.ports[r].potential();
        testing::expect_close(balanced.balancer.ports[r].current, v / sequence_impedance(false));
        power += v * std::conj(balanced.balancer.ports[r].current);
    }
    testing::expect_close(balanced.balancer.ports[3].current, 0.0, 1e-10);
    testing::expect_close(power, 3.0 * u * u / std::conj(sequence_impedance(false)));

    const C common{7.0, -3.0};
    OnBus zero({C(107.0, -3.0), C(107.0, -3.0), C(107.0, -3.0), common});
    zero.balancer.compute_currents(false);
    const C phase = 100.0 / sequence_impedance(true);
    for (int r = 0; r < 3; ++r) testing::expect_close(zero.balancer.ports[r].current, phase);
    testing::expect_close(zero.balancer.ports[3].current, -3.0 * phase);
}

TEST(LoadBalancer, OnlyPhaseToNeutralVoltagesCount) {
    const C shift{50.0, 20.0};
    OnBus level({shift, shift, shift, shift});
    level.balancer.compute_currents(false);
    for (const auto& port : level.balancer.ports) EXPECT_EQ(port.current, C(0.0));

    const std::array<C, 4> v{C(230.0, 0.0), phasor(200.0, -0.3), phasor(240.0, 0.35), C(0.0)};
    OnBus grounded(v);
    OnBus shifted({v[0] + shift, v[1] + shift, v[2] + shift, shift});
    PotentialRef ref;
    connect(grounded.bus.ports[3], ref.ports[0]);
    grounded.balancer.compute_currents(false);
    shifted.balancer.update_backward_forward();
    const Eigen::Vector3cd expected = grounded.balancer.Y.get() * Eigen::Vector3cd(v[0], v[1], v[2]);
    std::array<C, 3> inner{};
    grounded.balancer.get_inner_currents(inner.data());
    for (int r = 0; r < 3; ++r) {
        testing::expect_close(grounded.balancer.ports[r].current, expected[r]);
        testing::expect_close(shifted.balancer.ports[r].current, expected[r]);
        EXPECT_EQ(inner[r], grounded.balancer.ports[r].current);
    }
    testing::expect_close(shifted.port_sum(), 0.0);
    EXPECT_EQ(shifted.balancer.backward_forward_error(), 0.0);
}

TEST(LoadBalancer, DegenerateDataGiveNonFiniteAdmittances) {
    EXPECT_FALSE(LoadBalancer(z2, 0.0, k).Y.get().allFinite());
    EXPECT_FALSE(LoadBalancer(z2, ym, 0.0).Y.get().allFinite());
}

// Source and referenced neutral, one line, an unbalanced star load at its end
// and, optionally, a balancer beside the load.
struct LoadedLine {
    std::array<C, 4> start{phasor(230.0, 0.0), phasor(230.0, -1.0 / 3), phasor(230.0, 1.0 / 3), C(0.0)};
    std::array<C, 3> powers{C(9000.0, 2000.0), C(1000.0, 300.0), C(4000.0, -500.0)};
    std::array<C, 16> z = testing::four_wire_impedance(C(0.3, 0.1), C(0.05, 0.02));
    PotentialRef ref;
    VoltageSource source{4, start.data()};
    Bus head{4, start.data()};
    SimplifiedLine line{4, z.data()};
    Bus far{4, start.data()};
    PowerLoad load{4, powers.data()};
    LoadBalancer balancer;
    ElectricalNetwork network;

    explicit LoadedLine(bool balanced, C balancer_z2 = z2) : balancer(balancer_z2, ym, k), network(wire(balanced)) {}

    std::vector<Element*> wire(bool balanced) {
        connect(head.ports[3], ref.ports[0]);
        for (std::size_t i = 0; i < 4; ++i) {
            connect(head.ports[i], source.ports[i]);
            connect(head.ports[i], line.ports[i]);
            connect(far.ports[i], line.ports[4 + i]);
            connect(far.ports[i], load.ports[i]);
            if (balanced) connect(far.ports[i], balancer.ports[i]);
        }
        std::vector<Element*> elements{&ref, &source, &head, &line, &far, &load};
        if (balanced) elements.push_back(&balancer);
        return elements;
    }

    std::vector<C> potentials() const {
        std::vector<C> v;
        for (const auto& port : far.ports) v.push_back(port.potential());
        return v;
    }
};

TEST(LoadBalancer, TakesOverTheNeutralCurrentInANewtonSolve) {
    LoadedLine plain(false);
    Newton unbalanced_solver(&plain.network, false);
    ASSERT_LE(unbalanced_solver.solve_load_flow(20, 1e-9).second, 1e-9);

    LoadedLine balanced(true);
    Newton solver(&balanced.network, false);
    const auto [iterations, error] = solver.solve_load_flow(20, 1e-9);
    EXPECT_GT(iterations, 1);
    EXPECT_LE(error, 1e-9);
    for (const auto& node : balanced.network.connections) {
        if (node->fixed) continue;
        C sum = 0.0;
        for (const Port* q : node->ports) sum += q->current;
        EXPECT_LT(std::abs(sum), 1e-7);
    }
    const auto v = balanced.potentials();
    const Eigen::Vector3cd u(v[0] - v[3], v[1] - v[3], v[2] - v[3]);
    const Eigen::Vector3cd expected = balanced.balancer.Y.get() * u;
    std::array<C, 3> inner{};
    balanced.balancer.get_inner_currents(inner.data());
    for (int r = 0; r < 3; ++r) testing::expect_close(inner[r], expected[r]);
    EXPECT_LT(std::abs(balanced.line.ports[7].current), 0.2 * std::abs(plain.line.ports[7].current))
        << "the balancer closes the load's neutral current locally";
}

// A balancer much stiffer than the line makes the sweep's fixed point unstable.
TEST(LoadBalancer, SweepAgreesWithNewton) {
    LoadedLine balanced(true, {3.0, 1.0});
    Newton newton(&balanced.network, false);
    ASSERT_LE(newton.solve_load_flow(20, 1e-10).second, 1e-10);
    const auto by_newton = balanced.potentials();
    BackwardForward sweep(&balanced.network);
    EXPECT_LE(sweep.solve_load_flow(200, 1e-10).second, 1e-10);
    const auto by_sweep = balanced.potentials();
    for (std::size_t i = 0; i < by_newton.size(); ++i) testing::expect_close(by_sweep[i], by_newton[i], 1e-8);
}

}  // namespace
}  // namespace lfe
