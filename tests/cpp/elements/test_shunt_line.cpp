#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "network/electrical_network.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using probes::connect;
using testing::expect_close;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Asymmetric Z: a transposed reading of the row-major input shows.
const C z_flat[] = {{0.2, 0.4}, {0.05, 0.1}, {0.01, 0.03}, {0.3, 0.5}};
const C y_flat[] = {{0.0, 2e-3}, {0.0, -4e-4}, {0.0, -4e-4}, {0.0, 1.5e-3}};

Eigen::Matrix2cd matrix(const C* flat) {
    Eigen::Matrix2cd m;
    m << flat[0], flat[1], flat[2], flat[3];
    return m;
}

void expect_close(const Eigen::MatrixXcd& actual, const Eigen::MatrixXcd& expected) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    for (Eigen::Index i = 0; i < actual.rows(); ++i)
        for (Eigen::Index j = 0; j < actual.cols(); ++j) expect_close(actual(i, j), expected(i, j));
}

// A two-conductor line between two buses, its ground port on a third node.
struct LineCase {
    const C start1[2] = {{230.0, 1.0}, {-115.0, -199.0}};
    const C start2[2] = {{220.0, 3.0}, {-110.0, -190.0}};
    const C start_ground = {1.5, -0.5};
    Bus bus1{2, start1};
    Bus bus2{2, start2};
    Bus earth{1, &start_ground};
    ShuntLine line;

    explicit LineCase(const C* y = y_flat, const C* z = z_flat) : line(2, y, z) {
        for (int i = 0; i < 2; ++i) {
            connect(bus1.ports[i], *line.side1[i]);
            connect(bus2.ports[i], *line.side2[i]);
        }
        connect(earth.ports[0], *line.ground_port);
    }

    Eigen::Vector2cd v(const std::vector<Port*>& side) const { return {side[0]->potential(), side[1]->potential()}; }
    Eigen::Vector2cd i(const std::vector<Port*>& side) const { return {side[0]->current, side[1]->current}; }
    C total_current() const { return i(line.side1).sum() + i(line.side2).sum() + line.ground_port->current; }
};

TEST(ShuntLine, ModelHasItsClosedForms) {
    const ShuntLine line(2, y_flat, z_flat);
    const Eigen::Matrix2cd y = matrix(y_flat), z = matrix(z_flat), z_inv = z.inverse();
    const Eigen::Matrix2cd id = Eigen::Matrix2cd::Identity();
    expect_close(line.y11.get(), z_inv + 0.5 * y);
    expect_close(line.y12.get(), -z_inv);
    expect_close(line.y21.get(), -z_inv);
    expect_close(line.y22.get(), z_inv + 0.5 * y);
    const Eigen::Vector2cd g = -0.5 * y.rowwise().sum();
    expect_close(line.yg.get(), g);
    expect_close(line.y1g.get(), g);
    expect_close(line.y2g.get(), g);
    expect_close(line.a, id + 0.5 * z * y);
    expect_close(line.b, z);
    expect_close(line.c, y + 0.25 * y * z * y);
    expect_close(line.d, id + 0.5 * y * z);

    const C z1 = {0.1, 0.2}, y1 = {0.0, 1e-4};
    const ShuntLine single(1, &y1, &z1);
    expect_close(single.a(0, 0), 1.0 + 0.5 * z1 * y1);
    expect_close(single.b(0, 0), z1);
    expect_close(single.c(0, 0), y1 + 0.25 * y1 * z1 * y1);
    expect_close(single.d(0, 0), 1.0 + 0.5 * y1 * z1);
    EXPECT_EQ(single.ports.size(), 3u);
    EXPECT_EQ(single.ground_port, &single.ports[2]);
}

TEST(ShuntLine, ParametersFollowOneAnotherRowByRow) {
    LineCase c;
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.earth, &c.line});
    ASSERT_EQ(check.p.size(), 8 * 4 + 6 * 2);
    const Eigen::Matrix2cd z_inv = matrix(z_flat).inverse();
    const C g0 = -0.5 * (y_flat[0] + y_flat[1]), g1 = -0.5 * (y_flat[2] + y_flat[3]);
    expect_close(C(check.p[2], check.p[3]), z_inv(0, 1) + 0.5 * y_flat[1]);  // y11 (0, 1)
    expect_close(C(check.p[12], check.p[13]), -z_inv(1, 0));                 // y12 (1, 0)
    expect_close(C(check.p[18], check.p[19]), -z_inv(0, 1));                 // y21 (0, 1)
    expect_close(C(check.p[30], check.p[31]), z_inv(1, 1) + 0.5 * y_flat[3]);  // y22 (1, 1)
    expect_close(C(check.p[32], check.p[33]), g0);                           // yg
    expect_close(C(check.p[38], check.p[39]), g1);                           // y2g
    expect_close(C(check.p[40], check.p[41]), g0);                           // y1g
}

TEST(ShuntLine, TapeMatchesPlainCurrentsBeforeAndAfterNewParameters) {
    LineCase c;
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.earth, &c.line});
    EXPECT_TRUE(check.evaluate().empty());
    EXPECT_NE(c.line.ground_port->current, C(0.0));

    check.x[0] = 300.0;
    check.x[9] = 4.0;  // the ground node's imaginary part
    for (Eigen::Index k = 0; k < check.p.size(); ++k) check.p[k] *= 1.0 + 0.01 * static_cast<double>(k);
    check.evaluate();
}

// An asymmetric Y, whose row sums (the ground potential's weight in the side
// currents) differ from its column sums (what returns through the ground port).
TEST(ShuntLine, CurrentsAreThoseOfThePiCircuitAndBalance) {
    const C y_flat_asymmetric[] = {{0.0, 2e-3}, {0.0, -9e-4}, {0.0, -1e-4}, {0.0, 1.5e-3}};
    LineCase c(y_flat_asymmetric);
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.earth, &c.line});
    check.evaluate();
    const Eigen::Matrix2cd y = matrix(y_flat_asymmetric), z_inv = matrix(z_flat).inverse();
    const Eigen::Vector2cd v1 = c.v(c.line.side1), v2 = c.v(c.line.side2);
    const Eigen::Vector2cd vg = Eigen::Vector2cd::Constant(c.start_ground);
    expect_close(Eigen::MatrixXcd(c.i(c.line.side1)), z_inv * (v1 - v2) + 0.5 * y * (v1 - vg));
    expect_close(Eigen::MatrixXcd(c.i(c.line.side2)), z_inv * (v2 - v1) + 0.5 * y * (v2 - vg));
    expect_close(c.line.ground_port->current, -0.5 * (y * (v1 - vg) + y * (v2 - vg)).sum());
    EXPECT_LT(std::abs(c.total_current()), 1e-9);
}

TEST(ShuntLine, WithoutShuntItIsASimplifiedLine) {
    const C no_shunt[4] = {};
    LineCase c(no_shunt);
    SimplifiedLine simple(2, z_flat);
    for (int i = 0; i < 2; ++i) {
        connect(*c.line.side1[i], *simple.side1[i]);
        connect(*c.line.side2[i], *simple.side2[i]);
    }
    c.line.compute_currents(false);
    simple.compute_currents(false);
    for (int i = 0; i < 2; ++i) {
        expect_close(c.line.side1[i]->current, simple.side1[i]->current);
        expect_close(c.line.side2[i]->current, simple.side2[i]->current);
    }
    EXPECT_EQ(c.line.ground_port->current, C(0.0));
}

TEST(ShuntLine, UpdateOnABoundLineReachesPTheTapeAndTheSweep) {
    LineCase c;
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.earth, &c.line});
    const C y_new[] = {{0.0, 1e-2}, 0.0, 0.0, {0.0, 1e-2}};
    const C z_new[] = {{1.0, 1.0}, 0.0, 0.0, {2.0, 0.0}};
    c.line.update_line_parameters(y_new, z_new);
    expect_close(C(check.p[0], check.p[1]), C(0.5, -0.495));
    EXPECT_EQ(C(check.p[10], check.p[11]), C(0.0, 0.0));
    check.evaluate();

    c.line.update_backward_forward();
    c.line.backward_forward_error();
    const Eigen::Matrix2cd a = Eigen::Matrix2cd::Identity() + 0.5 * matrix(z_new) * matrix(y_new);
    expect_close(Eigen::MatrixXcd(c.v(c.line.side2)),
                 Eigen::MatrixXcd(a * c.v(c.line.side1) - matrix(z_new) * c.i(c.line.side1)));
}

// Ground port on a referenced node: the transmission form is then exact.
struct GroundedLineCase : LineCase {
    PotentialRef ref;
    GroundedLineCase() { connect(earth.ports[0], ref.ports[0]); }
};

TEST(ShuntLine, SweepStepsInvertThePiCurrents) {
    GroundedLineCase c;
    const Eigen::Vector2cd drawn(C(10.0, -4.0), C(-3.0, 2.0));
    c.bus2.ports[0].current = drawn[0];
    c.bus2.ports[1].current = drawn[1];
    c.line.update_backward_forward();
    expect_close(Eigen::MatrixXcd(c.i(c.line.side2)), Eigen::MatrixXcd(-drawn));
    const Eigen::Vector2cd i1 = c.i(c.line.side1);
    expect_close(Eigen::MatrixXcd(i1), Eigen::MatrixXcd(c.line.c * c.v(c.line.side2) + c.line.d * drawn));
    EXPECT_LT(std::abs(c.total_current()), 1e-9);

    const Eigen::Vector2cd old_v2 = c.v(c.line.side2);
    const double error = c.line.backward_forward_error();
    const Eigen::Vector2cd moves = c.v(c.line.side2) - old_v2;
    EXPECT_DOUBLE_EQ(error, std::max(std::abs(moves[0]), std::abs(moves[1])));

    // The new far potentials make the line take in the side-1 currents the
    // backward step set.
    c.line.compute_currents(false);
    expect_close(Eigen::MatrixXcd(c.i(c.line.side1)), Eigen::MatrixXcd(i1));
}

TEST(ShuntLine, SingleConductorSweepWorksOnUnboundAndFixedNodes) {
    const C z = {0.1, 0.2}, y = {0.0, 1e-4}, v1 = 230.0, drawn = {10.0, -4.0};
    Bus bus1(1, &v1), bus2(1, &v1);
    PotentialRef ref;
    ShuntLine line(1, &y, &z);
    connect(bus1.ports[0], *line.side1[0]);
    connect(bus2.ports[0], *line.side2[0]);
    connect(ref.ports[0], *line.ground_port);
    bus2.ports[0].current = drawn;
    line.update_backward_forward();
    const C expected_v2 = line.a(0, 0) * v1 - z * line.side1[0]->current;
    EXPECT_GT(line.backward_forward_error(), 0.0);
    expect_close(bus2.ports[0].potential(), expected_v2);
    expect_close(bus2.ports[0].connection->potential.value, expected_v2);

    // A line ending on the reference: the write is harmless and the read is 0.
    connect(ref.ports[0], bus2.ports[0]);
    line.update_backward_forward();
    line.backward_forward_error();
    EXPECT_EQ(bus2.ports[0].potential(), C(0.0));
}

TEST(ShuntLine, SingleConductorForwardStepMeasuresTheLargerPartInTheSlots) {
    const C z = {0.1, 0.2}, y = {0.0, 1e-4}, v1 = 230.0, v2_start = {200.0, -3.0}, drawn = {10.0, -4.0};
    Bus bus1(1, &v1), bus2(1, &v2_start);
    PotentialRef ref;
    ShuntLine line(1, &y, &z);
    connect(bus1.ports[0], *line.side1[0]);
    connect(bus2.ports[0], *line.side2[0]);
    connect(ref.ports[0], *line.ground_port);
    testing::TapeCheck check({&bus1, &bus2, &ref, &line});
    bus2.ports[0].current = drawn;
    line.update_backward_forward();
    const C expected_v2 = line.a(0, 0) * v1 - z * line.side1[0]->current;
    const C move = expected_v2 - v2_start;
    ASSERT_GT(std::abs(move.real()), 1e-6);
    ASSERT_GT(std::abs(move.imag()), 1e-6);
    EXPECT_DOUBLE_EQ(line.backward_forward_error(), std::max(std::abs(move.real()), std::abs(move.imag())));
    expect_close(bus2.ports[0].potential(), expected_v2);
    EXPECT_EQ(bus2.ports[0].connection->potential.value, v2_start);
}

TEST(ShuntLine, ForwardStepReportsANaNInEitherPart) {
    GroundedLineCase c;
    c.bus1.ports[0].connection->set_potential({0.0, nan});
    EXPECT_TRUE(std::isnan(c.line.backward_forward_error())) << "a later finite move must not hide it";

    const C z = 1.0, y = 0.0, v1 = 230.0, far = {nan, 1.0};
    Bus bus1(1, &v1), bus2(1, &far);
    ShuntLine line(1, &y, &z);
    connect(bus1.ports[0], *line.side1[0]);
    connect(bus2.ports[0], *line.side2[0]);
    EXPECT_TRUE(std::isnan(line.backward_forward_error())) << "a move with a NaN in its real part alone";
    EXPECT_EQ(line.backward_forward_error(), 0.0);
}

TEST(ShuntLine, EmptyAndNegative) {
    ShuntLine line(0, nullptr, nullptr);
    ASSERT_EQ(line.ports.size(), 1u);
    testing::TapeCheck check({&line});
    EXPECT_EQ(check.p.size(), 0);
    check.evaluate();
    EXPECT_EQ(line.ground_port->current, C(0.0));
    line.update_backward_forward();
    EXPECT_EQ(line.ground_port->current, C(0.0));
    EXPECT_EQ(line.backward_forward_error(), 0.0);
    EXPECT_THROW(ShuntLine(-1, nullptr, nullptr), std::length_error);
}

// Source E on the phase, a one-conductor line, an admittance load; the
// neutral and the line's ground port on the reference.
struct Divider {
    static constexpr C e{230.0, 0.0};
    static constexpr C z{0.4, 0.8};
    static constexpr C y{0.0, 2e-2};
    static constexpr C y_load{0.05, -0.01};

    PotentialRef ref;
    VoltageSource source{2, &e};
    ShuntLine line{1, &y, &z};
    Bus far{1, &e};
    AdmittanceLoad load{2, &y_load};
    ElectricalNetwork network{wire()};

    std::vector<Element*> wire() {
        connect(ref.ports[0], source.ports[1]);
        connect(ref.ports[0], load.ports[1]);
        connect(ref.ports[0], *line.ground_port);
        connect(source.ports[0], *line.side1[0]);
        connect(far.ports[0], *line.side2[0]);
        connect(far.ports[0], load.ports[0]);
        return {&ref, &source, &line, &far, &load};
    }

    static C expected(C line_z, C line_y) { return e / (1.0 + line_z * (0.5 * line_y + y_load)); }
};

TEST(ShuntLine, NewtonAndTheSweepFindTheClosedForm) {
    Divider d;
    Newton newton(&d.network, false);
    const auto [iterations, error] = newton.solve_load_flow(20, 1e-10);
    EXPECT_EQ(iterations, 1);
    EXPECT_LE(error, 1e-10);
    expect_close(d.far.ports[0].potential(), Divider::expected(Divider::z, Divider::y));
    // The source delivers the load and the half shunt at each end.
    const C v2 = d.far.ports[0].potential();
    expect_close(-d.source.ports[0].current, Divider::y_load * v2 + 0.5 * Divider::y * (Divider::e + v2));

    Divider fresh;
    BackwardForward sweep(&fresh.network);
    const auto [sweeps, move] = sweep.solve_load_flow(100, 1e-10);
    EXPECT_GT(sweeps, 1);
    EXPECT_LE(move, 1e-10);
    expect_close(fresh.far.ports[0].potential(), Divider::expected(Divider::z, Divider::y), 1e-8);
}

TEST(ShuntLine, UpdatesBetweenNewtonSolvesNeedNoNewTape) {
    Divider d;
    Newton newton(&d.network, false);
    newton.solve_load_flow(20, 1e-10);
    const C z_new{1.0, 0.5}, y_new{0.0, 0.1};
    d.line.update_line_parameters(&y_new, &z_new);
    EXPECT_LE(newton.solve_load_flow(20, 1e-10).second, 1e-10);
    expect_close(d.far.ports[0].potential(), Divider::expected(z_new, y_new));
}

}  // namespace
}  // namespace lfe
