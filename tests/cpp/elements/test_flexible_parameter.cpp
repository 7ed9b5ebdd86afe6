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

    void expect_plain_at(double u, C s_th) {
        tape_.new_dynamic(std::vector<double>(p.data(), p.data() + 3));
        const auto y = tape_.Forward(0, std::vector<double>{u, s_th.real(), s_th.imag()});
        testing::expect_close({y[0], y[1]}, parameter.compute_power(u, s_th), 1e-9);
    }

    // The tape's derivatives in U, P_th and Q_th against central differences
    // of the plain form. A P_th step that crosses 0 under keep_q jumps with
    // the sign and is left out.
    void expect_derivatives_at(double u, C s_th) {
        tape_.new_dynamic(std::vector<double>(p.data(), p.data() + 3));
        const std::vector<double> x{u, s_th.real(), s_th.imag()};
        const auto jacobian = tape_.Jacobian(x);
        const C at = parameter.compute_power(u, s_th);
        const double scale = std::abs(at) + std::abs(s_th) + parameter.s_max.get();
        const double steps[] = {1e-5, 1e-6 * scale, 1e-6 * scale};
        for (int j = 0; j < 3; ++j) {
            if (j == 1 && parameter.projection.type == ProjectionType::keep_q && std::abs(x[1]) <= steps[1]) continue;
            auto plus = x, minus = x;
            plus[j] += steps[j];
            minus[j] -= steps[j];
            const C slope = (parameter.compute_power(plus[0], {plus[1], plus[2]}) -
                             parameter.compute_power(minus[0], {minus[1], minus[2]})) /
                            (2.0 * steps[j]);
            // Rounding of the plain form, magnified by the step.
            const double noise = 1e-12 * scale / steps[j];
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

double reactive(const Control& c, double u, double q_th) {
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
    double p = active(f.control_p, u, s_th.real(), s_max) / s_max;
    double q = reactive(f.control_q, u, s_th.imag()) / s_max;
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

// Sweeps the kept component across and far beyond s_max. The result stays
// within the soft minimum's own margin of the circle, at most 0.2785 / (0.15 a)
// in p^2 + q^2, plus epsilon from the root; the kept component itself never
// passes s_max, is left alone well inside, and nothing jumps between
// neighbouring steps.
TEST(FlexibleParameter, KeepProjectionsStayOnTheDisc) {
    const double reach = s_max * std::sqrt(1.0 + 0.2785 / (0.15 * keep_p.alpha) + keep_p.epsilon);
    const double step = 1e-3 * s_max;
    for (const Projection* projection : {&keep_p, &keep_q}) {
        const bool p_kept = projection == &keep_p;
        const auto parameter = make(constant, q_u, *projection);
        // The result as (kept, other), at 230 V where q_u returns q_th.
        const auto power = [&](double kept, double other) {
            const C s = parameter.compute_power(230.0, p_kept ? C{kept, other} : C{other, kept});
            return p_kept ? s : C{s.imag(), s.real()};
        };
        for (double other : {0.0, 0.3 * s_max, -0.6 * s_max, 1.5 * s_max}) {
            C previous = power(-3.0 * s_max, other);
            for (double kept = -3.0 * s_max + step; kept <= 3.0 * s_max; kept += step) {
                const C s = power(kept, other);
                ASSERT_LE(std::abs(s), reach) << kept << ", " << other;
                ASSERT_LE(std::abs(s.real()), s_max) << kept << ", " << other;
                ASSERT_LE(std::abs(s - previous), 20.0 * step) << kept << ", " << other;
                // Below the knee at 1 - 1 / a the kept component is left alone.
                if (std::abs(kept) < 0.985 * s_max) {
                    ASSERT_NEAR(s.real(), kept, 1e-12 * s_max) << kept;
                }
                previous = s;
            }
            for (double far : {1e6 * s_max, -1e6 * s_max}) {
                const C s = power(far, other);
                EXPECT_NEAR(s.real(), std::copysign(s_max, far), 1e-12 * s_max);
                EXPECT_LE(std::abs(s), reach);
            }
        }
    }
    // Where the plain forms gave 1.5e7 var, inf and NaN.
    const auto parameter = make(constant, q_u, keep_p);
    const C pulled = parameter.compute_power(230.0, {1.01 * s_max, 0.3 * s_max});
    EXPECT_GT(pulled.imag(), 0.0);
    EXPECT_LE(std::abs(pulled), reach);
    EXPECT_LE(std::abs(parameter.compute_power(230.0, {1.05 * s_max, 0.0})), reach);
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
