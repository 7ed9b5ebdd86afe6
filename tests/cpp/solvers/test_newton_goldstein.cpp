#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

#include "solvers/backward_forward.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"
#include "solvers/newton_goldstein.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// A search from x = 0 along dx = -1, so that every trial x equals its step
// length t. The residuals at the start are (2, 0): the merit is 2, the slope -4.
struct ScriptedSearch {
    Eigen::VectorXd x = Eigen::VectorXd::Zero(1);
    Eigen::VectorXd dx = Eigen::VectorXd::Constant(1, -1.0);
    Eigen::VectorXd F = Eigen::Vector2d(2.0, 0.0);
    std::vector<double> steps;

    void run(const GoldsteinFactors& factors, const std::function<Eigen::VectorXd(double t)>& residuals_at,
             const std::optional<Eigen::VectorXd>& weights = std::nullopt) {
        goldstein_search(x, dx, F, weights, factors, [&] {
            steps.push_back(x[0]);
            return residuals_at(x[0]);
        });
    }

    // Residuals whose merit falls from 2 at the average rate rates[k] on trial k.
    void run_rates(const GoldsteinFactors& factors, const std::vector<double>& rates) {
        run(factors, [&](double t) {
            const double rate = rates[std::min(steps.size() - 1, rates.size() - 1)];
            return Eigen::VectorXd(Eigen::Vector2d(std::sqrt(2.0 * (2.0 + rate * t)), 0.0));
        });
    }
};

// Accepts rates in [-0.8, -0.2]; below is too short, above too long.
constexpr GoldsteinFactors wide{0.05, 0.2};
constexpr double too_short = -0.9;
constexpr double accepted = -0.5;
constexpr double too_long = 0.0;

TEST(GoldsteinSearch, TooLongStepsHalveUntilAccepted) {
    ScriptedSearch search;
    search.run_rates(wide, {too_long, too_long, accepted});
    EXPECT_EQ(search.steps, (std::vector<double>{1.0, 0.5, 0.25}));
    EXPECT_EQ(search.x[0], 0.25);
}

TEST(GoldsteinSearch, TooShortStepsDoubleThenBisectTheBracket) {
    ScriptedSearch search;
    search.run_rates(wide, {too_short, too_short, too_long, too_long, accepted});
    EXPECT_EQ(search.steps, (std::vector<double>{1.0, 2.0, 4.0, 3.0, 2.5}));

    ScriptedSearch after_long;
    after_long.run_rates(wide, {too_long, too_short, accepted});
    EXPECT_EQ(after_long.steps, (std::vector<double>{1.0, 0.5, 0.75}));
}

TEST(GoldsteinSearch, NanTrialsCountAsTooShortAndTheLastTrialIsKept) {
    ScriptedSearch search;
    search.run(wide, [](double) { return Eigen::VectorXd(Eigen::Vector2d(nan_value, 0.0)); });
    EXPECT_EQ(search.steps, (std::vector<double>{1, 2, 4, 8, 16, 32, 64, 128, 256, 512}));
    EXPECT_EQ(search.x[0], 512.0);
    EXPECT_TRUE(std::isnan(search.F[0]));
}

TEST(GoldsteinSearch, StopsAfterTenTrialsWithTheLastOneEvenIfWorse) {
    ScriptedSearch search;
    // The first trial decreases the merit most, but every trial is too long.
    search.run(wide, [&](double t) {
        const double merit = search.steps.size() == 1 ? 1.9 : 2.0;
        return Eigen::VectorXd(Eigen::Vector2d(std::sqrt(2.0 * merit), t));
    });
    ASSERT_EQ(search.steps.size(), 10u);
    EXPECT_EQ(search.x[0], 1.0 / 512.0);
    EXPECT_EQ(search.F[1], 1.0 / 512.0);
}

TEST(GoldsteinSearch, BothBoundsAreInclusive) {
    // m1 s = -1 and m2 s = -2 at t = 1 give merits 1 and 0.
    constexpr GoldsteinFactors exact{0.25, 0.5};
    for (const Eigen::Vector2d& trial : {Eigen::Vector2d(1.0, 1.0), Eigen::Vector2d(0.0, 0.0)}) {
        ScriptedSearch search;
        search.run(exact, [&](double) { return Eigen::VectorXd(trial); });
        EXPECT_EQ(search.steps.size(), 1u) << trial.transpose();
    }
    ScriptedSearch beyond;
    beyond.run(exact, [](double) { return Eigen::VectorXd(Eigen::Vector2d(1.0, 1.0 + 1e-12)); });
    EXPECT_GT(beyond.steps.size(), 1u);
}

TEST(GoldsteinSearch, WeightsScaleTheResidualsOfTheMerit) {
    const auto residuals = [](double) { return Eigen::VectorXd(Eigen::Vector2d(1.0, 8.0)); };
    ScriptedSearch weighted;
    weighted.run({0.25, 0.5}, residuals, Eigen::VectorXd(Eigen::Vector2d(1.0, 0.125)));
    EXPECT_EQ(weighted.steps.size(), 1u);
    ScriptedSearch plain;
    plain.run({0.25, 0.5}, residuals);
    EXPECT_EQ(plain.steps.size(), 10u);
}

TEST(GoldsteinSearch, WritesTrialsIntoXWithoutEverResizingIt) {
    ScriptedSearch search;
    const double* storage = search.x.data();
    search.run_rates(wide, {too_long, accepted});
    EXPECT_EQ(search.x.data(), storage);

    search.dx = Eigen::VectorXd::Ones(3);
    EXPECT_THROW(search.run_rates(wide, {accepted}), std::invalid_argument);
    EXPECT_EQ(search.x.size(), 1);
    EXPECT_EQ(search.x.data(), storage);
}

TEST(MeritWeights, InverseOfTheLargestRowMagnitudeIgnoringNanAndCappedAtOne) {
    Eigen::SparseMatrix<double> J(4, 3);
    const std::vector<Eigen::Triplet<double>> entries{
        {0, 0, 0.5}, {0, 2, -0.25}, {1, 0, 4.0}, {1, 1, nan_value}, {2, 1, -8.0}, {1, 2, 2.0}};
    J.setFromTriplets(entries.begin(), entries.end());
    EXPECT_EQ(merit_weights(J), Eigen::Vector4d(1.0, 0.25, 0.125, 1.0));
}

TEST(NewtonGoldstein, AcceptedFullStepsRetraceNewtonExactly) {
    testing::Feeder plain_feeder(3, {4e3, 1e3});
    testing::Feeder searched_feeder(3, {4e3, 1e3});
    Newton newton(plain_feeder.network.get(), false);
    NewtonGoldstein goldstein(searched_feeder.network.get(), false, 0.1, 0.9, true);

    const auto expected = newton.solve_load_flow(20, 1e-9);
    EXPECT_EQ(goldstein.solve_load_flow(20, 1e-9), expected);
    EXPECT_GT(expected.first, 1);
    EXPECT_EQ(goldstein.x, newton.x);
    EXPECT_EQ(goldstein.get_residuals(), newton.get_residuals());
}

TEST(NewtonGoldstein, AllThreeSolversReachTheSameSolution) {
    testing::Feeder feeder(5, {8e3, 2e3});
    Newton newton(feeder.network.get(), true);
    EXPECT_LE(newton.solve_load_flow(20, 1e-9).second, 1e-9);
    const auto reference = feeder.potentials();

    NewtonGoldstein goldstein(feeder.network.get(), true, 0.1, 0.9, false);
    EXPECT_LE(goldstein.solve_load_flow(20, 1e-9).second, 1e-9);
    const auto searched = feeder.potentials();

    BackwardForward sweep(feeder.network.get());
    EXPECT_LE(sweep.solve_load_flow(200, 1e-10).second, 1e-10);
    const auto swept = feeder.potentials();

    for (std::size_t k = 0; k < reference.size(); ++k) {
        testing::expect_close(searched[k], reference[k]);
        testing::expect_close(swept[k], reference[k]);
    }
}

TEST(NewtonGoldstein, ConvergesOnAFeederWherePlainNewtonOvershoots) {
    // Heavy generation on a weak feeder: the full Newton step leaves the
    // residuals larger than it found them and the iteration wanders.
    const auto generation = std::polar(35e3, 4.0 * std::numbers::pi / 3.0);
    const std::complex<double> weak_cable{0.2, 0.1};
    testing::Feeder plain_feeder(4, generation, weak_cable);
    Newton newton(plain_feeder.network.get(), false);
    const double start_error = newton.solve_load_flow(0, 1e-8).second;
    EXPECT_GT(newton.solve_load_flow(1, 1e-8).second, start_error);
    EXPECT_GT(newton.solve_load_flow(19, 1e-8).second, 1e-8);

    for (const bool weighted : {false, true}) {
        testing::Feeder feeder(4, generation, weak_cable);
        NewtonGoldstein goldstein(feeder.network.get(), false, 0.1, 0.9, weighted);
        const auto [iterations, error] = goldstein.solve_load_flow(20, 1e-8);
        EXPECT_LE(error, 1e-8) << "weighted " << weighted;
        EXPECT_LT(iterations, 20);
    }
}

}  // namespace
}  // namespace lfe
