#include "newton_goldstein.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace lfe {

Eigen::VectorXd merit_weights(const Eigen::SparseMatrix<double>& J) {
    Eigen::VectorXd largest = Eigen::VectorXd::Ones(J.rows());
    for (Eigen::Index c = 0; c < J.outerSize(); ++c)
        for (Eigen::SparseMatrix<double>::InnerIterator it(J, c); it; ++it)
            // Written so that a NaN magnitude never wins.
            if (largest[it.row()] < std::abs(it.value())) largest[it.row()] = std::abs(it.value());
    return largest.cwiseInverse();
}

double squared_merit(const Eigen::VectorXd& F, const std::optional<Eigen::VectorXd>& weights) {
    if (weights) return F.cwiseProduct(*weights).squaredNorm();
    return F.squaredNorm();
}

namespace {

// Next step length: doubles until a too-long step is known, then bisects.
double next_step(double t_low, double t_high, double t) {
    return t_high == 0.0 ? 2.0 * t : (t_low + t_high) / 2.0;
}

}  // namespace

void goldstein_search(Eigen::VectorXd& x, const Eigen::VectorXd& dx, Eigen::VectorXd& F,
                      const std::optional<Eigen::VectorXd>& weights, const GoldsteinFactors& factors,
                      const std::function<Eigen::VectorXd()>& residuals) {
    if (dx.size() != x.size())
        throw std::invalid_argument("The Newton step has " + std::to_string(dx.size()) + " entries for " +
                                    std::to_string(x.size()) + " variables");
    const double s0 = squared_merit(F, weights);
    const double f0 = 0.5 * s0;
    // Directional derivative of the merit along -dx, since J dx = F.
    const double slope = -s0;
    const Eigen::VectorXd x0 = x;
    double t = 1.0;
    double t_low = 0.0;
    double t_high = 0.0;
    for (int k = 0; k < max_line_search_trials; ++k) {
        x = x0 - t * dx;
        F = residuals();
        const double q = (0.5 * squared_merit(F, weights) - f0) / t;
        if (factors.m2 * slope <= q && q <= factors.m1 * slope) return;
        // A NaN rate counts as too short: the step is lengthened.
        if (q > factors.m1 * slope)
            t_high = t;
        else
            t_low = t;
        t = next_step(t_low, t_high, t);
    }
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2,
                                 bool weighted_merit)
    : AbstractNewton(network, optimize_tape), m1(m1), m2(m2), weighted_merit(weighted_merit) {}

void NewtonGoldstein::update(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) {
    std::optional<Eigen::VectorXd> weights;
    if (weighted_merit) weights = merit_weights(J);
    goldstein_search(x, dx, F, weights, {m1, m2}, [this] { return get_residuals(); });
}

}  // namespace lfe
