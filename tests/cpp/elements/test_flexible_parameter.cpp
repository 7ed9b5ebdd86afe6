#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "elements/flexible_parameter.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;

const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
const Control q_u("q_u", 210.0, 220.0, 240.0, 250.0, 1000.0, 0.1);
const Control production("p_max_u_production", 0.0, 0.0, 240.0, 250.0, 1000.0, 1e-4);
const Control consumption("p_max_u_consumption", 200.0, 210.0, 0.0, 0.0, 1000.0, 1e-4);
const Projection euclidean("euclidean", 100.0, 1e-4);
const Projection keep_p("keep_p", 100.0, 1e-4);
const Projection keep_q("keep_q", 100.0, 1e-4);

// The steepness at which the plain ratios of exponentials overflowed at
// ordinary voltages, and a projection soft enough for its epsilon to matter.
const Control steep_q_u("q_u", 210.0, 220.0, 240.0, 250.0, 1e4, 0.1);
const Control steep_production("p_max_u_production", 0.0, 0.0, 240.0, 250.0, 1e4, 1e-4);
const Control steep_consumption("p_max_u_consumption", 200.0, 210.0, 0.0, 0.0, 1e4, 1e-4);
const Projection gentle_euclidean("euclidean", 10.0, 0.05);

constexpr double s_max = 10e3;
constexpr double q_min = -3e3;
constexpr double q_max = 4e3;

FlexibleParameter make(const Control& control_p, const Control& control_q, const Projection& projection) {
    return {control_p, control_q, projection, s_max, q_min, q_max};
}

std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no failure";
}

TEST(FlexibleParameter, TypeNamesAreMatchedWhole) {
    EXPECT_EQ(constant.type, ControlType::constant);
    EXPECT_EQ(q_u.type, ControlType::q_u);
    EXPECT_EQ(production.type, ControlType::p_max_u_production);
    EXPECT_EQ(consumption.type, ControlType::p_max_u_consumption);
    EXPECT_EQ(static_cast<int>(consumption.type), 3);
    EXPECT_EQ(euclidean.type, ProjectionType::euclidean);
    EXPECT_EQ(keep_p.type, ProjectionType::keep_p);
    EXPECT_EQ(static_cast<int>(keep_q.type), 2);
    EXPECT_EQ(q_u.u_down, 220.0);
    EXPECT_EQ(q_u.epsilon, 0.1);

    EXPECT_EQ(failure_of([] { Control("Constant", 0, 0, 0, 0, 0, 0); }), "Constant is a bad control type name");
    EXPECT_EQ(failure_of([] { Control("q_u ", 0, 0, 0, 0, 0, 0); }), "q_u  is a bad control type name");
    EXPECT_EQ(failure_of([] { Projection("Keep_p", 1, 1); }), "Keep_p is a bad projection type name");
    EXPECT_EQ(failure_of([] { Projection("", 1, 1); }), " is a bad projection type name");
}

TEST(FlexibleParameter, ConstantLawsGiveTheTheoreticalPowerUnprojected) {
    const auto parameter = make(constant, constant, euclidean);
    const C s_th{3.0 * s_max, -2.0 * s_max};
    EXPECT_EQ(parameter.compute_power(0.0, s_th), s_th);
    EXPECT_EQ(parameter.compute_power(1e6, s_th), s_th);
}

TEST(FlexibleParameter, QULawFollowsTheVoltage) {
    const auto parameter = make(constant, q_u, euclidean);
    const C s_th{2e3, 1e3};
    // Far inside the circle the projection leaves the power nearly unchanged.
    testing::expect_close(parameter.compute_power(230.0, s_th), s_th, 1e-4);
    testing::expect_close(parameter.compute_power(190.0, s_th), {2e3, q_min}, 1e-4);
    testing::expect_close(parameter.compute_power(270.0, s_th), {2e3, q_max}, 1e-4);
}

TEST(FlexibleParameter, ActivePowerLawsCutOffOutsideTheirVoltageBand) {
    const auto producer = make(production, constant, euclidean);
    const C generated{-0.5 * s_max, 0.0};
    testing::expect_close(producer.compute_power(230.0, generated), generated, 1e-3);
    EXPECT_LT(std::abs(producer.compute_power(260.0, generated).real()), 1e-2 * s_max);

    const auto consumer = make(consumption, constant, euclidean);
    const C drawn{0.5 * s_max, 0.0};
    testing::expect_close(consumer.compute_power(230.0, drawn), drawn, 1e-3);
    EXPECT_LT(std::abs(consumer.compute_power(190.0, drawn).real()), 1e-2 * s_max);
}

TEST(FlexibleParameter, ProjectionsBringThePowerBackToTheCircle) {
    const C s_th{0.8 * s_max, 0.9 * s_max};

    const C pulled = make(constant, q_u, euclidean).compute_power(230.0, 3.0 * s_th);
    EXPECT_NEAR(std::abs(pulled), s_max, 1e-2 * s_max);
    EXPECT_NEAR(std::arg(pulled), std::arg(s_th), 1e-3);

    const C kept_p = make(constant, q_u, keep_p).compute_power(230.0, s_th);
    EXPECT_DOUBLE_EQ(kept_p.real(), s_th.real());
    EXPECT_NEAR(kept_p.imag(), 0.6 * s_max, 1e-2 * s_max);

    const C kept_q = make(constant, q_u, keep_q).compute_power(230.0, s_th);
    EXPECT_NEAR(kept_q.imag(), s_th.imag(), 1e-6 * s_max);
    EXPECT_NEAR(kept_q.real(), std::sqrt(1.0 - 0.81) * s_max, 1e-2 * s_max);

    const auto keep_q_parameter = make(constant, q_u, keep_q);
    EXPECT_GE(keep_q_parameter.compute_power(230.0, {0.0, 1e3}).real(), 0.0);
    EXPECT_LE(keep_q_parameter.compute_power(230.0, {-1e3, 1e3}).real(), 0.0);
}

TEST(FlexibleParameter, LawsThatCannotDriveTheirPowerAreRefused) {
    const auto p_by_q_u = make(q_u, constant, euclidean);
    const auto q_by_production = make(constant, production, euclidean);
    const auto q_by_consumption = make(constant, consumption, euclidean);
    const auto both_wrong = make(q_u, consumption, euclidean);
    const C s_th{1e3, 1e3};
    EXPECT_EQ(failure_of([&] { p_by_q_u.compute_power(230.0, s_th); }), "Bad control type for P");
    EXPECT_EQ(failure_of([&] { q_by_production.compute_power(230.0, s_th); }), "Bad control type for Q");
    EXPECT_EQ(failure_of([&] { q_by_consumption.compute_power(230.0, s_th); }), "Bad control type for Q");
    EXPECT_EQ(failure_of([&] { both_wrong.compute_power(230.0, s_th); }), "Bad control type for P");

    const ADComplex ad_s_th(ADScalar(1e3), ADScalar(1e3));
    EXPECT_EQ(failure_of([&] { p_by_q_u.compute_power_ad(ADScalar(230.0), ad_s_th); }), "Bad control type for P");
    EXPECT_EQ(failure_of([&] { q_by_production.compute_power_ad(ADScalar(230.0), ad_s_th); }),
              "Bad control type for Q");
}

TEST(FlexibleParameter, LimitsFollowTheSetRule) {
    auto parameter = make(constant, q_u, euclidean);
    parameter.update_parameters(5e3, -1e3, 2e3);
    std::vector<double> p0;
    parameter.add_parameters(p0);
    EXPECT_EQ(p0, (std::vector<double>{5e3, -1e3, 2e3}));

    Eigen::VectorXd p = Eigen::Map<Eigen::VectorXd>(p0.data(), 3);
    const ADVector ap = p.cast<ADScalar>();
    int index = 0;
    parameter.bind_parameters(ap, p, index);
    EXPECT_EQ(index, 3);
    const C low = parameter.compute_power(190.0, {1e3, 0.0});
    parameter.update_parameters(5e3, -2e3, 2e3);
    EXPECT_EQ(p[1], -2e3);
    EXPECT_EQ(parameter.q_min.value, -2e3);
    EXPECT_NEAR(parameter.compute_power(190.0, {1e3, 0.0}).imag(), 2.0 * low.imag(), 1e-3);
    p[1] = -4e3;
    EXPECT_EQ(parameter.q_min.get(), -4e3) << "a bound limit reads its solver slot";
}

// (U, P_th, Q_th) are the tape's variables, the three limits its dynamic
// parameters.
class PowerTape {
public:
    FlexibleParameter parameter;
    Eigen::VectorXd p;

    PowerTape(const FlexibleParameter& parameter_, const Eigen::Vector3d& at) : parameter(parameter_) {
        std::vector<double> p0;
        parameter.add_parameters(p0);
        p = Eigen::Map<Eigen::VectorXd>(p0.data(), 3);
        ADVector ax = at.cast<ADScalar>();
        ADVector ap = p.cast<ADScalar>();
        CppAD::Independent(ax, ap);
        int index = 0;
        parameter.bind_parameters(ap, p, index);
        const ADComplex s = parameter.compute_power_ad(ax[0], {ax[1], ax[2]});
        ADVector y(2);
        y << s.real(), s.imag();
        tape_.Dependent(ax, y);
    }

    C value_at(double u, C s_th) {
        tape_.new_dynamic(std::vector<double>(p.data(), p.data() + 3));
        const auto y = tape_.Forward(0, std::vector<double>{u, s_th.real(), s_th.imag()});
        return {y[0], y[1]};
    }

    void expect_plain_at(double u, C s_th) {
        testing::expect_close(value_at(u, s_th), parameter.compute_power(u, s_th), 1e-9);
    }

    // The tape's derivatives in U, P_th and Q_th against central differences
    // of the plain form. A P_th step that crosses 0 under keep_q jumps with
    // the sign and is left out.
    void expect_derivatives_at(double u, C s_th) {
        tape_.new_dynamic(std::vector<double>(p.data(), p.data() + 3));
        const std::vector<double> x{u, s_th.real(), s_th.imag()};
        const auto jacobian = tape_.Jacobian(x);
        const C at = parameter.compute_power(u, s_th);
        const double limit = parameter.s_max.get();
        const double scale = std::abs(at) + std::abs(s_th) + limit;
        // Each power stepped in proportion to itself and s_max: a far larger
        // kept component leaves the other on the scale of s_max.
        const double steps[] = {1e-5, 1e-6 * (std::abs(x[1]) + limit), 1e-6 * (std::abs(x[2]) + limit)};
        for (int j = 0; j < 3; ++j) {
            if (j == 1 && parameter.projection.type == ProjectionType::keep_q && std::abs(x[1]) <= steps[1]) continue;
            const auto difference = [&](double step) {
                auto plus = x, minus = x;
                plus[j] += step;
                minus[j] -= step;
                return (parameter.compute_power(plus[0], {plus[1], plus[2]}) -
                        parameter.compute_power(minus[0], {minus[1], minus[2]})) /
                       (2.0 * step);
            };
            // Extrapolated from two steps: the curves bend sharply within a
            // few steps of the rim of the disc.
            const C slope = (4.0 * difference(0.5 * steps[j]) - difference(steps[j])) / 3.0;
            // Rounding of the plain form, magnified by the steps.
            const double noise = 3e-12 * scale / steps[j];
            for (int i = 0; i < 2; ++i) {
                const double derivative = jacobian[static_cast<std::size_t>(3 * i + j)];
                const double expected = i == 0 ? slope.real() : slope.imag();
                ASSERT_TRUE(std::isfinite(derivative)) << "output " << i << " input " << j;
                ASSERT_NEAR(derivative, expected, 1e-5 * std::abs(expected) + noise)
                    << "output " << i << " input " << j;
            }
        }
    }

private:
    CppAD::ADFun<double> tape_;
};

TEST(FlexibleParameter, TapeMatchesThePlainFormForEveryLaw) {
    const std::vector<const Control*> p_laws{&constant, &production, &consumption};
    const std::vector<const Control*> q_laws{&constant, &q_u};
    const std::vector<const Projection*> projections{&euclidean, &keep_p, &keep_q};
    for (const Control* control_p : p_laws)
        for (const Control* control_q : q_laws)
            for (const Projection* projection : projections) {
                SCOPED_TRACE(static_cast<int>(control_p->type) * 100 + static_cast<int>(control_q->type) * 10 +
                             static_cast<int>(projection->type));
                PowerTape tape(make(*control_p, *control_q, *projection), {230.0, 4e3, 2e3});
                tape.expect_plain_at(230.0, {4e3, 2e3});
                tape.expect_plain_at(247.0, {-6e3, 9e3});
                tape.expect_plain_at(205.0, {9e3, -5e3});
                tape.parameter.update_parameters(7e3, -1e3, 1e3);
                tape.expect_plain_at(215.0, {5e3, 3e3});
            }
}

TEST(FlexibleParameter, KeepQTapeFollowsTheSignOfTheTheoreticalPower) {
    PowerTape tape(make(constant, q_u, keep_q), {230.0, 4e3, 2e3});
    tape.expect_plain_at(230.0, {-4e3, 2e3});
    tape.expect_plain_at(230.0, {4e3, 2e3});
}

// The laws and projections written out as ratios of exponentials, directly
// from their definitions: exact wherever no exponential overflows and no
// power is pushed past s_max.
namespace plain {

double ramp(double v, double a, double b, double alpha) {
    return std::log((1.0 + std::exp(alpha * (v - a))) / (1.0 + std::exp(alpha * (v - b))));
}

double gap(double x, double epsilon) { return x + epsilon * std::exp(-x / epsilon); }

double active(const Control& c, double u, double p_th, double s) {
    const double r = p_th / s;
    switch (c.type) {
    case ControlType::p_max_u_production: {
        const double u0 = (c.u_up + (r + 1.0) * (c.u_max - c.u_up)) / c.u_max;
        return p_th * (1.0 + ramp(u / c.u_max, 1.0, u0, c.alpha) / (c.alpha * gap(1.0 - u0, c.epsilon)));
    }
    case ControlType::p_max_u_consumption: {
        const double u0 = (c.u_down - (1.0 - r) * (c.u_down - c.u_min)) / c.u_min;
        return -p_th * ramp(u / c.u_min, u0, 1.0, c.alpha) / (c.alpha * gap(u0 - 1.0, c.epsilon));
    }
    default:
        return p_th;
    }
}

double reactive(const Control& c, double u, double q_th, double q_min, double q_max) {
    if (c.type == ControlType::constant) return q_th;
    const double v = u / c.u_max;
    const double lo = ramp(v, c.u_down / c.u_max, c.u_min / c.u_max, c.alpha) /
                          (c.alpha * (c.u_min - c.u_down) / c.u_max) -
                      1.0;
    const double hi = ramp(v, c.u_up / c.u_max, 1.0, c.alpha) / (c.alpha * (1.0 - c.u_up / c.u_max));
    return q_th + lo * (q_th - q_min) + hi * (q_max - q_th);
}

double soft_min(double x, double y, double c) {
    return (x * std::exp(c * x) + y * std::exp(c * y)) / (std::exp(c * x) + std::exp(c * y));
}

C power(const FlexibleParameter& f, double u, C s_th) {
    const double s_max = f.s_max.get();
    double p = active(f.control_p, u, s_th.real(), s_max) / s_max;
    double q = reactive(f.control_q, u, s_th.imag(), f.q_min.get(), f.q_max.get()) / s_max;
    if (f.control_p.type == ControlType::constant && f.control_q.type == ControlType::constant) return s_th;
    const double a = f.projection.alpha;
    const double e = f.projection.epsilon;
    switch (f.projection.type) {
    case ProjectionType::euclidean: {
        const double d = 1.0 + std::log1p(std::exp(a * (std::sqrt(gap(p * p + q * q, e)) - 1.0))) / a;
        return C{p / d, q / d} * s_max;
    }
    case ProjectionType::keep_p:
        return C{p, std::tanh(a * q) * std::sqrt(gap(soft_min(q * q, 1.0 - p * p, -0.15 * a), e))} * s_max;
    case ProjectionType::keep_q:
        return C{(s_th.real() >= 0.0 ? 1.0 : -1.0) * std::sqrt(gap(soft_min(p * p, 1.0 - q * q, -0.15 * a), e)), q} *
               s_max;
    }
    return {};
}

}  // namespace plain

// Every corner region of the curves at 0.25 V steps, with powers small
// enough for epsilon and tanh(a q) to matter and large enough for the
// soft minimum to weigh q^2 against 1 - p^2.
TEST(FlexibleParameter, StableFormsKeepTheOrdinaryValues) {
    const std::vector<double> active_powers{-7e3, -2e3, -50.0, 50.0, 2e3, 7e3};
    const std::vector<double> reactive_powers{-6e3, 50.0, 2e3};
    for (const Control* control_p : {&constant, &production, &consumption})
        for (const Control* control_q : {&constant, &q_u})
            for (const Projection* projection : {&euclidean, &gentle_euclidean, &keep_p, &keep_q}) {
                const auto parameter = make(*control_p, *control_q, *projection);
                for (double u = 195.0; u <= 256.0; u += 0.25)
                    for (double p_th : active_powers)
                        for (double q_th : reactive_powers) {
                            const C expected = plain::power(parameter, u, {p_th, q_th});
                            ASSERT_TRUE(std::isfinite(std::abs(expected)));
                            // Below 1e-15 |s_th| both forms give only rounding.
                            ASSERT_LE(std::abs(parameter.compute_power(u, {p_th, q_th}) - expected),
                                      1e-12 * std::abs(expected) + 1e-15 * std::abs(C{p_th, q_th}))
                                << static_cast<int>(control_p->type) << static_cast<int>(control_q->type)
                                << static_cast<int>(projection->type) << " at " << u << " V, " << p_th << ", "
                                << q_th;
                        }
            }
}

// Where a ratio of exponentials overflowed: the flat ends and, between the
// corners, the straight ramps of the steep curves.
TEST(FlexibleParameter, SteepLawsReachTheirLimits) {
    const auto expect_relative = [](double actual, double expected, double scale) {
        EXPECT_NEAR(actual, expected, 1e-12 * scale) << "expected " << expected;
    };
    const auto var = make(constant, steep_q_u, euclidean);
    for (double u : {230.0, 221.0, 239.0}) expect_relative(var.compute_power(u, {2e3, 1e3}).imag(), 1e3, 1e3);
    for (double u : {0.0, 100.0, 209.0}) expect_relative(var.compute_power(u, {2e3, 1e3}).imag(), q_min, 1e3);
    for (double u : {251.0, 400.0, 1e6}) expect_relative(var.compute_power(u, {2e3, 1e3}).imag(), q_max, 1e3);
    // Half way up each ramp: q_th + (q_min - q_th) / 2 and q_th + (q_max - q_th) / 2.
    expect_relative(var.compute_power(215.0, {2e3, 1e3}).imag(), -1e3, 1e3);
    expect_relative(var.compute_power(245.0, {2e3, 1e3}).imag(), 2.5e3, 1e3);
    expect_relative(make(constant, q_u, euclidean).compute_power(400.0, {2e3, 1e3}).imag(), q_max, 1e3);

    // Corners at 245 V (u_up + (r + 1)(u_max - u_up)) and 250 V.
    const auto producer = make(steep_production, constant, euclidean);
    for (double u : {0.0, 230.0, 244.0}) expect_relative(producer.compute_power(u, {-5e3, 0.0}).real(), -5e3, 5e3);
    expect_relative(producer.compute_power(247.5, {-5e3, 0.0}).real(), -2.5e3, 5e3);
    for (double u : {251.0, 400.0, 1e6}) expect_relative(producer.compute_power(u, {-5e3, 0.0}).real(), 0.0, 5e3);

    // Corners at 200 V and 205 V (u_down - (1 - r)(u_down - u_min)).
    const auto consumer = make(steep_consumption, constant, euclidean);
    for (double u : {0.0, 150.0, 199.0}) expect_relative(consumer.compute_power(u, {5e3, 0.0}).real(), 0.0, 5e3);
    expect_relative(consumer.compute_power(202.5, {5e3, 0.0}).real(), 2.5e3, 5e3);
    for (double u : {206.0, 215.0, 400.0, 1e6})
        expect_relative(consumer.compute_power(u, {5e3, 0.0}).real(), 5e3, 5e3);
    expect_relative(make(consumption, constant, euclidean).compute_power(400.0, {5e3, 0.0}).real(), 5e3, 5e3);
}

TEST(FlexibleParameter, EuclideanProjectionPullsAnyPowerBackToTheCircle) {
    // q_u leaves q_th alone between its corners; far outside the circle d is
    // then |s_th| / s_max to the last digits.
    const auto parameter = make(constant, q_u, euclidean);
    for (double k : {2.0, 8.2, 10.0, 1e3, 1e8, 1e100})
        testing::expect_close(parameter.compute_power(230.0, std::polar(k * s_max, 0.7)), std::polar(s_max, 0.7),
                              1e-12);
}

// The kept component of keep_p or keep_q, and the other one.
struct KeepProjection {
    bool p_kept;

    C to_power(double kept, double other) const { return p_kept ? C{kept, other} : C{other, kept}; }
    double kept(C s) const { return p_kept ? s.real() : s.imag(); }
    double other(C s) const { return p_kept ? s.imag() : s.real(); }
};

// keep_p with P constant and Q by a soft q_u law, keep_q with the roles
// swapped, so that the projection always applies and the kept component
// comes through its law unchanged.
FlexibleParameter keep_parameter(const KeepProjection& keep, double alpha, double epsilon) {
    const Control soft_q_u("q_u", 200.0, 210.0, 240.0, 250.0, 50.0, 1e-3);
    const Control soft_consumption("p_max_u_consumption", 200.0, 210.0, 0.0, 0.0, 50.0, 1e-3);
    if (keep.p_kept) return {constant, soft_q_u, Projection("keep_p", alpha, epsilon), 5e3, -1e3, 1e3};
    return {soft_consumption, constant, Projection("keep_q", alpha, epsilon), 5e3, -1e3, 1e3};
}

const double keep_alphas[] = {1.0, 2.0, 10.0, 1000.0};

// On the disc, |kept| <= s_max, both forms are the written formulas at any
// steepness: the kept component to the last bit, the other to rounding.
TEST(FlexibleParameter, KeepProjectionsAreTheWrittenFormulasOnTheDisc) {
    for (const KeepProjection keep : {KeepProjection{true}, KeepProjection{false}})
        for (double alpha : keep_alphas) {
            const FlexibleParameter parameter = keep_parameter(keep, alpha, 1e-3);
            PowerTape tape(parameter, {230.0, 3e3, -1e3});
            for (double kept : {3e3, 100.0, -4.9e3, 4999.99, 5e3, -5e3, 0.0})
                for (double other : {-1e3, 50.0, 4e3, -7e3, 0.0}) {
                    const C s_th = keep.to_power(kept, other);
                    const C expected = plain::power(parameter, 230.0, s_th);
                    for (const C s : {parameter.compute_power(230.0, s_th), tape.value_at(230.0, s_th)}) {
                        ASSERT_EQ(keep.kept(s), keep.kept(expected)) << alpha << ": " << s_th;
                        ASSERT_NEAR(keep.other(s), keep.other(expected), 1e-12 * std::abs(expected))
                            << alpha << ": " << s_th;
                    }
                }
        }
    // 3 kW stays 3 kW with |S| = 3162 VA < s_max = 5 kVA.
    EXPECT_EQ(keep_parameter({true}, 2.0, 1e-3).compute_power(230.0, {3e3, -1e3}).real(), 3e3);
    EXPECT_EQ(keep_parameter({false}, 2.0, 1e-3).compute_power(230.0, {-1e3, 3e3}).imag(), 3e3);
}

// Beyond the rim the kept component bends towards s_max (1 + 1 / a). By the
// soft minimum's own margin, at most 0.2785 / (0.15 a) in p^2 + q^2 above
// 1 - kept^2, the result stays within s_max sqrt((1 + 1 / a)^2 + epsilon).
TEST(FlexibleParameter, KeepProjectionsStayNearTheDiscForAnyPower) {
    const double epsilon = 1e-4;
    for (const KeepProjection keep : {KeepProjection{true}, KeepProjection{false}})
        for (double alpha : keep_alphas) {
            const FlexibleParameter parameter = keep_parameter(keep, alpha, epsilon);
            const double s = parameter.s_max.get();
            const double bent = s * (1.0 + 1.0 / alpha);
            const double reach = s * std::sqrt((1.0 + 1.0 / alpha) * (1.0 + 1.0 / alpha) + epsilon);
            const double step = 1e-3 * s;
            for (double other : {0.0, 0.3 * s, -0.6 * s, 1.5 * s, 1e200, -1e300}) {
                C previous = parameter.compute_power(230.0, keep.to_power(-3.0 * s, other));
                for (double kept = -3.0 * s + step; kept <= 3.0 * s; kept += step) {
                    const C power = parameter.compute_power(230.0, keep.to_power(kept, other));
                    ASSERT_LE(std::abs(power), reach) << alpha << ": " << kept << ", " << other;
                    ASSERT_LE(std::abs(keep.kept(power)), bent) << alpha << ": " << kept << ", " << other;
                    if (std::abs(kept) <= s) {
                        ASSERT_EQ(keep.kept(power), kept / s * s) << alpha << ": " << kept;
                    }
                    // The slope of the other component stays below (1 + 1 / a) / sqrt(epsilon),
                    // its steepest where the root's floor takes over.
                    ASSERT_LE(std::abs(power - previous), (1.0 + (1.0 + 1.0 / alpha) / std::sqrt(epsilon)) * step)
                        << alpha << ": " << kept << ", " << other;
                    previous = power;
                }
                for (double far : {1e6 * s, -1e6 * s, 1e300, -1e300}) {
                    const C power = parameter.compute_power(230.0, keep.to_power(far, other));
                    EXPECT_NEAR(keep.kept(power), std::copysign(bent, far), 1e-12 * s);
                    EXPECT_LE(std::abs(power), reach);
                }
            }
        }
}

// Across |kept| = s_max value and slope go on without a step: the slopes
// from either side meet, and the tape follows the differences on both
// sides, near the rim and far beyond it.
TEST(FlexibleParameter, KeepProjectionsAreSmoothAcrossTheRim) {
    for (const KeepProjection keep : {KeepProjection{true}, KeepProjection{false}})
        for (double alpha : keep_alphas) {
            const FlexibleParameter parameter = keep_parameter(keep, alpha, 1e-3);
            const double s = parameter.s_max.get();
            PowerTape tape(parameter, {230.0, 3e3, -1e3});
            for (double rim : {s, -s})
                for (double other : {0.0, 0.3 * s, -0.6 * s, 1.5 * s}) {
                    SCOPED_TRACE(::testing::Message() << (keep.p_kept ? "keep_p" : "keep_q") << " alpha " << alpha
                                                      << " at " << rim << ", " << other);
                    const auto power = [&](double kept) {
                        return parameter.compute_power(230.0, keep.to_power(kept, other));
                    };
                    // Short of the curvature of the root's floor, about 1 / epsilon.
                    const double h = 1e-9 * s;
                    const C inside = (power(rim) - power(rim - std::copysign(h, rim))) / h;
                    const C outside = (power(rim + std::copysign(h, rim)) - power(rim)) / h;
                    EXPECT_LE(std::abs(outside - inside), 1e-4 * (1.0 + std::abs(inside)));
                    for (double beyond : {-0.05, -1e-3, 1e-3, 0.05, 0.5, 10.0}) {
                        const C s_th = keep.to_power(rim + std::copysign(beyond * s, rim), other);
                        tape.expect_plain_at(230.0, s_th);
                        tape.expect_derivatives_at(230.0, s_th);
                        if (HasFatalFailure()) return;
                    }
                }
        }
}

// U, P_th, Q_th spread over the curves, their corners, and far beyond them.
TEST(FlexibleParameter, TapeDerivativesMatchDifferencesEverywhere) {
    const std::vector<double> voltages{0.0, 150.0, 199.9, 203.0, 207.5, 215.0, 230.0, 245.0, 249.9, 252.0, 400.0, 1e6};
    const std::vector<C> powers{{-0.5, 0.2}, {0.4, -0.3}, {0.005, 0.005}, {1.01, 0.3},  {1.05, 0.0},
                                {0.3, 1.05}, {0.0, 1.01}, {-8.0, 6.0},    {1e3, -1e3}, {-1e8, 1e8}, {0.0, 0.0}};
    for (const Control* control_p : {&constant, &production, &consumption, &steep_production, &steep_consumption})
        for (const Control* control_q : {&constant, &q_u, &steep_q_u})
            for (const Projection* projection : {&euclidean, &gentle_euclidean, &keep_p, &keep_q}) {
                PowerTape tape(make(*control_p, *control_q, *projection), {230.0, 4e3, 2e3});
                for (double u : voltages)
                    for (const C& power : powers) {
                        SCOPED_TRACE(::testing::Message()
                                     << "P law " << static_cast<int>(control_p->type) << " alpha "
                                     << control_p->alpha << ", Q law " << static_cast<int>(control_q->type)
                                     << " alpha " << control_q->alpha << ", projection "
                                     << static_cast<int>(projection->type) << " at " << u << " V, " << power);
                        tape.expect_plain_at(u, power * s_max);
                        tape.expect_derivatives_at(u, power * s_max);
                        if (HasFatalFailure()) return;
                    }
            }
}

}  // namespace
}  // namespace lfe
