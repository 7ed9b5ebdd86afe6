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

}  // namespace
}  // namespace lfe
