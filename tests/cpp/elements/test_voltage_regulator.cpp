#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "elements/voltage_regulator.hpp"
#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using probes::connect;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const C z2{0.05, 0.1};
const C ym{1e-4, -5e-4};

double magnitude(C z) { return std::hypot(z.real(), z.imag()); }

// A regulator between an input bus and an output bus, two conductors each.
struct Regulated {
    Bus input;
    Bus output;
    SingleVoltageRegulator reg;

    Regulated(std::array<C, 2> v1, C v2, double u_ref = 1.05, double alpha = 5.0, double phi = 0.0)
        : input(2, v1.data()), output(1, &v2), reg(z2, ym, u_ref, 0.1, alpha, phi) {
        connect(input.ports[0], reg.ports[0]);
        connect(input.ports[1], reg.ports[1]);
        connect(output.ports[0], reg.ports[2]);
    }

    C u1() const { return reg.ports[0].potential() - reg.ports[1].potential(); }
    C u2() const { return reg.ports[2].potential() - reg.ports[3].potential(); }
};

TEST(SingleVoltageRegulator, NeutralsShareTheNodeOfTheInputNeutral) {
    SingleVoltageRegulator reg(z2, ym, 1.0, 0.1, 5.0, 0.0);
    ASSERT_EQ(reg.ports.size(), 4u);
    EXPECT_EQ(reg.side1, (std::vector<Port*>{&reg.ports[0], &reg.ports[1]}));
    EXPECT_EQ(reg.side2, (std::vector<Port*>{&reg.ports[2], &reg.ports[3]}));
    EXPECT_EQ(reg.ports[1].connection, reg.ports[3].connection);
    EXPECT_EQ(reg.ports[1].connection->ports, (std::vector<Port*>{&reg.ports[1], &reg.ports[3]}));
    EXPECT_NE(reg.ports[0].connection, reg.ports[2].connection);
    EXPECT_EQ(reg.get_tap(), 1.0);
}

TEST(SingleVoltageRegulator, DisconnectMovesTheNeutralsToOneNodeOfTheirOwn) {
    Regulated r({C{230.0, 0.0}, C{0.0, 2.0}}, C{230.0, 0.0});
    connect(r.reg.ports[0], r.reg.ports[2]);  // a caller's tie: not kept
    for (int pass = 0; pass < 2; ++pass) {
        r.reg.disconnect();
        const auto& neutral = r.reg.ports[1].connection;
        EXPECT_EQ(neutral, r.reg.ports[3].connection);
        EXPECT_EQ(neutral->ports, (std::vector<Port*>{&r.reg.ports[1], &r.reg.ports[3]}));
        EXPECT_EQ(neutral->potential.value, (C{0.0, 2.0}));
        EXPECT_EQ(r.reg.ports[0].connection->ports, (std::vector<Port*>{&r.reg.ports[0]}));
        EXPECT_EQ(r.reg.ports[2].connection->ports, (std::vector<Port*>{&r.reg.ports[2]}));
    }
    // The buses stay as the joins left them, the tie between them included.
    EXPECT_EQ(r.input.ports[1].connection->ports, (std::vector<Port*>{&r.input.ports[1]}));
    EXPECT_EQ(r.input.ports[0].connection->ports, (std::vector<Port*>{&r.input.ports[0], &r.output.ports[0]}));
}

TEST(SingleVoltageRegulator, InitialTapFollowsTheInputWithinTheBand) {
    for (const auto& [u_ref, expected] : {std::pair{1.05, 1.05}, {1.3, 1.1}, {0.5, 0.9}}) {
        Regulated r({C(0.6, 0.8), C(0.0)}, 0.0, u_ref);
        std::vector<double> x0;
        r.reg.add_variables(x0);
        ASSERT_EQ(x0.size(), 1u);
        EXPECT_DOUBLE_EQ(x0[0], expected);
        EXPECT_DOUBLE_EQ(r.reg.get_tap(), expected);
    }
    SingleVoltageRegulator dead(z2, ym, 1.05, 0.1, 5.0, 0.0);
    std::vector<double> x0;
    dead.add_variables(x0);
    EXPECT_EQ(x0, std::vector<double>{1.0}) << "without an input voltage the tap keeps its value";
}

TEST(SingleVoltageRegulator, TapeFollowsPotentialsTapAndParameters) {
    Regulated r({C(1.0, 0.1), C(0.02, -0.01)}, C(1.02, 0.05), 1.05, 5.0, 0.4);
    testing::TapeCheck check({&r.input, &r.output, &r.reg});
    ASSERT_EQ(check.x.size(), 3 * 2 + 1);
    ASSERT_EQ(check.p.size(), 5);
    ASSERT_EQ(check.equations, 1);
    auto residual = check.evaluate();
    EXPECT_NEAR(residual[0], r.reg.get_tap() - r.reg.compute_tap(magnitude(r.u2())), 1e-14);

    check.x[4] = 0.9;
    check.x[6] = 1.07;
    check.p[0] = 0.2;
    check.p[3] = -0.01;
    check.p[4] = 0.95;
    residual = check.evaluate();
    EXPECT_EQ(r.reg.get_tap(), 1.07);
    EXPECT_EQ(r.reg.z2.get(), C(0.2, z2.imag()));
    EXPECT_NEAR(residual[0], 1.07 - r.reg.compute_tap(magnitude(r.u2())), 1e-14);

    // A bound tap is where the solver put it: counting unknowns must not move it.
    std::vector<double> scratch;
    r.reg.add_variables(scratch);
    EXPECT_EQ(check.x[6], 1.07);
    EXPECT_EQ(r.reg.get_tap(), 1.07);
}

TEST(SingleVoltageRegulator, UpdateWritesTheSolverAndReestimatesTapAndOutput) {
    Regulated r({C(1.0, 0.0), C(0.1, 0.0)}, C(0.5, 0.0));
    testing::TapeCheck check({&r.input, &r.output, &r.reg});
    r.reg.update_parameters({0.3, 0.2}, {0.01, 0.0}, 1.2);
    EXPECT_EQ(check.p[0], 0.3);
    EXPECT_EQ(check.p[2], 0.01);
    EXPECT_EQ(check.p[4], 1.2);
    EXPECT_EQ(check.x[6], 1.1) << "1.2 / 0.9 is clamped to the band";
    EXPECT_DOUBLE_EQ(check.x[4], 0.1 + 1.1 * 0.9) << "the output starts at the neutral plus k U1";

    Regulated dead({C(0.0), C(0.0)}, C(0.5, 0.0));
    dead.reg.update_parameters(z2, ym, 1.2);
    EXPECT_EQ(dead.reg.get_tap(), 1.0);
    EXPECT_EQ(dead.reg.ports[2].potential(), C(0.5, 0.0));
    EXPECT_EQ(dead.reg.u_ref.get(), 1.2);
}

TEST(SingleVoltageRegulator, TapLawStaysInsideTheBand) {
    const SingleVoltageRegulator reg(z2, ym, 230.0, 0.1, 8.0, 0.0);
    EXPECT_EQ(reg.compute_tap(230.0), 1.0);
    EXPECT_LT(reg.compute_tap(240.0), 1.0);
    EXPECT_GT(reg.compute_tap(220.0), 1.0);
    EXPECT_GE(reg.compute_tap(1e9), 0.9);
    EXPECT_LE(reg.compute_tap(0.0), 1.1);
}

TEST(SingleVoltageRegulator, PowerDrawnIsWhatTheImpedancesTake) {
    for (double phi : {0.0, 0.5}) {
        Regulated r({C(230.0, 5.0), C(2.0, -1.0)}, C(225.0, 30.0), 230.0, 5.0, phi);
        r.reg.tap.set(1.04);
        r.reg.compute_currents(false);
        const auto& p = r.reg.ports;
        C drawn = 0.0;
        for (const auto& port : p) drawn += port.potential() * std::conj(port.current);
        const C i2 = p[2].current;
        testing::expect_close(drawn, std::conj(ym) * std::norm(r.u1()) + z2 * std::norm(i2));
        EXPECT_EQ(p[1].current, -p[0].current);
        EXPECT_EQ(p[3].current, -i2);
    }

    const C n = std::polar(1.04, 0.5);
    Regulated open({C(230.0, 5.0), C(2.0, -1.0)}, C(2.0, -1.0) + n * C(228.0, 6.0), 230.0, 5.0, 0.5);
    open.reg.ym.set(0.0);
    open.reg.tap.set(1.04);
    open.reg.compute_currents(false);
    for (const auto& port : open.reg.ports) testing::expect_close(port.current, 0.0, 1e-12);
}

TEST(SingleVoltageRegulator, BackwardStepCarriesTheLoadCurrentThroughTheRatio) {
    Regulated r({C(230.0, 0.0), C(1.0, 0.0)}, C(235.0, -3.0), 230.0, 5.0, 0.2);
    const C y{0.05, -0.01};
    AdmittanceLoad load(2, &y);
    connect(r.reg.ports[2], load.ports[0]);
    connect(r.reg.ports[3], load.ports[1]);
    load.update_backward_forward();
    r.reg.tap.set(1.02);
    r.reg.update_backward_forward();
    const C i2 = -load.ports[0].current;
    EXPECT_EQ(r.reg.ports[2].current, i2);
    EXPECT_EQ(r.reg.ports[3].current, -i2);
    testing::expect_close(r.reg.ports[0].current, ym * r.u1() - std::conj(std::polar(1.02, 0.2)) * i2);
    EXPECT_EQ(r.reg.ports[1].current, -r.reg.ports[0].current);
}

TEST(SingleVoltageRegulator, ForwardStepRelaxesTheTapAndWritesTheOutput) {
    for (const auto& [alpha, weight] : {std::pair{5.0, 1.0}, {100.0, 0.1}}) {
        Regulated r({C(220.0, 0.0), C(1.0, 0.0)}, C(219.0, 2.0), 230.0, alpha, 0.1);
        r.reg.ports[2].current = {4.0, -1.0};
        const double target = r.reg.compute_tap(magnitude(r.u2()));
        const C old = r.reg.ports[2].potential();
        const double error = r.reg.backward_forward_error();
        const double k = 1.0 + weight * (target - 1.0);
        EXPECT_NEAR(r.reg.get_tap(), k, 1e-15);
        const C v = std::polar(k, 0.1) * r.u1() + z2 * C(4.0, -1.0) + r.reg.ports[3].potential();
        testing::expect_close(r.reg.ports[2].potential(), v);
        EXPECT_DOUBLE_EQ(error, std::max(std::abs((v - old).real()), std::abs((v - old).imag())));
    }

    Regulated stale({C(220.0, 0.0), C(1.0, 0.0)}, C(219.0, nan), 230.0);
    EXPECT_TRUE(std::isnan(stale.reg.backward_forward_error())) << "a move from a NaN is no convergence";
    stale.reg.z2.set({nan, 0.0});
    EXPECT_TRUE(std::isnan(stale.reg.backward_forward_error()));
}

// Source with a referenced neutral, a line, the regulator, and a power load
// on its output.
struct RegulatedFeeder {
    static constexpr C e{230.0, 0.0};
    std::array<C, 2> start{e, 0.0};
    std::array<C, 4> z{C(0.2, 0.1), 0.0, 0.0, C(0.2, 0.1)};
    C power;
    PotentialRef ref;
    VoltageSource source{2, &e};
    Bus head{2, start.data()};
    SimplifiedLine line{2, z.data()};
    Bus middle{2, start.data()};
    SingleVoltageRegulator reg;
    Bus far{1, start.data()};
    PowerLoad load{2, &power};
    ElectricalNetwork network;

    RegulatedFeeder(C power, double alpha) : power(power), reg(z2, ym, 230.0, 0.1, alpha, 0.0), network(wire()) {}

    std::vector<Element*> wire() {
        connect(head.ports[1], ref.ports[0]);
        for (std::size_t i = 0; i < 2; ++i) {
            connect(head.ports[i], source.ports[i]);
            connect(head.ports[i], line.ports[i]);
            connect(middle.ports[i], line.ports[2 + i]);
            connect(middle.ports[i], reg.ports[i]);
        }
        connect(far.ports[0], reg.ports[2]);
        connect(far.ports[0], load.ports[0]);
        connect(reg.ports[3], load.ports[1]);
        return {&ref, &source, &head, &line, &middle, &reg, &far, &load};
    }

    double input() const { return magnitude(reg.ports[0].potential() - reg.ports[1].potential()); }
    double output() const { return magnitude(reg.ports[2].potential() - reg.ports[3].potential()); }
};

TEST(SingleVoltageRegulator, NewtonHoldsTheOutputThroughTheTap) {
    RegulatedFeeder f({5000.0, 1000.0}, 1000.0);
    Newton solver(&f.network, false);
    auto [iterations, error] = solver.solve_load_flow(30, 1e-9);
    ASSERT_LE(error, 1e-9);
    EXPECT_GT(iterations, 1);
    const double light_tap = f.reg.get_tap();
    EXPECT_NEAR(light_tap, f.reg.compute_tap(f.output()), 1e-9);
    EXPECT_LT(f.input(), 0.97 * 230.0) << "the line drop the tap makes up for";
    EXPECT_GT(light_tap, 1.0);
    EXPECT_LT(light_tap, 1.1);
    EXPECT_NEAR(f.output(), 230.0, 0.002 * 230.0);
    const C u2 = f.reg.ports[2].potential() - f.reg.ports[3].potential();
    testing::expect_close(u2 * std::conj(f.load.ports[0].current), f.power, 1e-9);

    f.load.powers[0].set({7000.0, 1000.0});
    std::tie(iterations, error) = solver.solve_load_flow(30, 1e-9);
    ASSERT_LE(error, 1e-9);
    EXPECT_GT(f.reg.get_tap(), light_tap) << "a deeper drop needs a higher tap";
    EXPECT_LT(f.reg.get_tap(), 1.09) << "inside the band, where the law still pulls";
    EXPECT_NEAR(f.output(), 230.0, 0.002 * 230.0);

    f.reg.update_parameters(z2, ym, 225.0);
    ASSERT_LE(solver.solve_load_flow(30, 1e-9).second, 1e-9);
    EXPECT_NEAR(f.output(), 225.0, 0.002 * 225.0) << "a new reference reaches the recorded tape";
}

TEST(SingleVoltageRegulator, SweepAgreesWithNewton) {
    RegulatedFeeder f({5000.0, 1000.0}, 5.0);
    Newton newton(&f.network, false);
    ASSERT_LE(newton.solve_load_flow(30, 1e-10).second, 1e-10);
    const double tap = f.reg.get_tap();
    const C output = f.reg.ports[2].potential();

    BackwardForward sweep(&f.network);
    EXPECT_LE(sweep.solve_load_flow(200, 1e-10).second, 1e-10);
    EXPECT_NEAR(f.reg.get_tap(), tap, 1e-9);
    testing::expect_close(f.reg.ports[2].potential(), output, 1e-9);
}

}  // namespace
}  // namespace lfe
