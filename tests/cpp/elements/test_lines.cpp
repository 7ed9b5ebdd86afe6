#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/potential_ref.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Asymmetric on purpose: a transposed reading of the row-major input shows.
const C z_flat[] = {{0.2, 0.4}, {0.05, 0.1}, {0.01, 0.03}, {0.3, 0.5}};

Eigen::Matrix2cd z_matrix(const C* flat) {
    Eigen::Matrix2cd z;
    z << flat[0], flat[1], flat[2], flat[3];
    return z;
}

struct LineCase {
    const C start1[2] = {{230.0, 1.0}, {-115.0, -199.0}};
    const C start2[2] = {{220.0, 3.0}, {-110.0, -190.0}};
    Bus bus1{2, start1};
    Bus bus2{2, start2};
    SimplifiedLine line{2, z_flat};

    LineCase() {
        for (int i = 0; i < 2; ++i) {
            bus1.ports[i].connection->merge(line.side1[i]->connection);
            bus2.ports[i].connection->merge(line.side2[i]->connection);
        }
    }

    Eigen::Vector2cd drop() const {
        return {line.side1[0]->potential() - line.side2[0]->potential(),
                line.side1[1]->potential() - line.side2[1]->potential()};
    }
    Eigen::Vector2cd side1_currents() const { return {line.side1[0]->current, line.side1[1]->current}; }
};

TEST(SimplifiedLine, CurrentsAreTheAdmittanceTimesTheDrop) {
    LineCase c;
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.line});
    ASSERT_EQ(check.p.size(), 8);
    const Eigen::Matrix2cd y = z_matrix(z_flat).inverse();
    testing::expect_close(C(check.p[2], check.p[3]), y(0, 1));  // row by row
    EXPECT_TRUE(check.evaluate().empty());

    const Eigen::Vector2cd i1 = c.side1_currents();
    const Eigen::Vector2cd z_i = z_matrix(z_flat) * i1;
    for (int k = 0; k < 2; ++k) {
        testing::expect_close(z_i[k], c.drop()[k]);
        EXPECT_EQ(c.line.side2[k]->current, -i1[k]);
    }

    check.x[0] = 300.0;
    check.p[1] = -3.0;
    check.evaluate();
    EXPECT_DOUBLE_EQ(c.line.y_line.get()(0, 0).imag(), -3.0);
}

TEST(SimplifiedLine, UpdateOnABoundLineReachesPAndTheTape) {
    LineCase c;
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.line});
    const C z_new[] = {{1.0, 1.0}, {0.0, 0.0}, {0.0, 0.0}, {2.0, 0.0}};
    c.line.update_line_parameters(z_new);
    EXPECT_EQ(C(check.p[0], check.p[1]), C(0.5, -0.5));
    EXPECT_EQ(C(check.p[6], check.p[7]), C(0.5, 0.0));
    check.evaluate();
    testing::expect_close(c.line.side1[1]->current, c.drop()[1] / 2.0);
}

TEST(SimplifiedLine, FixedSideOneNodeReadsZero) {
    LineCase c;
    PotentialRef ref;
    c.bus1.ports[1].connection->merge(ref.ports[0].connection);
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.line, &ref});
    check.evaluate();
    const Eigen::Vector2cd z_i = z_matrix(z_flat) * c.side1_currents();
    testing::expect_close(z_i[1], -c.start2[1]);
}

TEST(SimplifiedLine, SingleConductorSweep) {
    const C z = {0.1, 0.2};
    const C v1 = 230.0, v2 = {225.0, -2.0}, drawn = {10.0, -4.0};
    Bus bus1(1, &v1), bus2(1, &v2);
    SimplifiedLine line(1, &z);
    bus1.ports[0].connection->merge(line.side1[0]->connection);
    bus2.ports[0].connection->merge(line.side2[0]->connection);

    line.compute_currents(false);
    testing::expect_close(line.side1[0]->current, (v1 - v2) / z);
    EXPECT_EQ(line.side2[0]->current, -line.side1[0]->current);

    bus2.ports[0].current = drawn;
    line.update_backward_forward();
    EXPECT_EQ(line.side2[0]->current, -drawn);
    EXPECT_EQ(line.side1[0]->current, drawn);
    const double error = line.backward_forward_error();
    testing::expect_close(bus2.ports[0].potential(), v1 - z * drawn);
    EXPECT_NEAR(error, std::abs(v1 - z * drawn - v2), 1e-9);
    EXPECT_NEAR(line.backward_forward_error(), 0.0, 1e-12);
}

TEST(SimplifiedLine, SweepFollowsEveryAdmittanceChange) {
    LineCase c;
    const Eigen::Vector2cd i1(C(10.0, -4.0), C(-6.0, 2.0));
    const auto step = [&] {
        for (int k = 0; k < 2; ++k) c.line.side1[k]->current = i1[k];
        c.line.backward_forward_error();
        return c.drop();
    };
    const Eigen::Vector2cd first = z_matrix(z_flat) * i1;
    for (int k = 0; k < 2; ++k) testing::expect_close(step()[k], first[k]);

    const C z_new[] = {{1.0, 1.0}, {0.1, 0.0}, {0.0, 0.2}, {2.0, 0.0}};
    c.line.update_line_parameters(z_new);
    const Eigen::Vector2cd updated = z_matrix(z_new) * i1;
    for (int k = 0; k < 2; ++k) testing::expect_close(step()[k], updated[k]);

    // Written straight into the solver vector the line is bound to.
    testing::TapeCheck check({&c.bus1, &c.bus2, &c.line});
    const Eigen::Matrix2cd y = z_matrix(z_flat).inverse();
    for (int k = 0; k < 4; ++k) {
        check.p[2 * k] = y(k / 2, k % 2).real();
        check.p[2 * k + 1] = y(k / 2, k % 2).imag();
    }
    for (int k = 0; k < 2; ++k) testing::expect_close(step()[k], first[k]);
}

TEST(SimplifiedLine, ForwardStepKeepsANaNOfAnEarlierConductor) {
    LineCase c;
    c.bus1.ports[0].connection->set_potential({nan, 0.0});
    EXPECT_TRUE(std::isnan(c.line.backward_forward_error()))
        << "a finite move of a later conductor must not hide the NaN";
}

TEST(SimplifiedLine, EmptyAndNegative) {
    SimplifiedLine line(0, nullptr);
    EXPECT_TRUE(line.ports.empty());
    line.compute_currents(false);
    line.update_backward_forward();
    EXPECT_EQ(line.backward_forward_error(), 0.0);
    EXPECT_THROW(SimplifiedLine(-1, nullptr), std::length_error);
}

}  // namespace
}  // namespace lfe
