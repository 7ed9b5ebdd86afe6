#pragma once

#include <functional>
#include <optional>

#include <Eigen/Dense>
#include <Eigen/SparseCore>

#include "solvers/newton.hpp"

namespace lfe {

// The trials one line search may make before it settles for the last one.
inline constexpr int max_line_search_trials = 10;

// Row weights of the merit function: 1 / max(1, largest |J_ij| of row i),
// NaN entries ignored, so that rows of very different scale count alike.
Eigen::VectorXd merit_weights(const Eigen::SparseMatrix<double>& J);

// Sum of the squared residuals, each scaled by its weight when weights are given.
double squared_merit(const Eigen::VectorXd& F, const std::optional<Eigen::VectorXd>& weights);

// The two Goldstein factors: m1 bounds the step from above (sufficient
// decrease), m2 from below (not too short).
struct GoldsteinFactors {
    double m1;
    double m2;
};

// Moves x from where it stands along -dx until the average decrease of the
// merit function satisfies both Goldstein bounds, or the trials run out.
// Every trial is written into x in place, never resizing it (the network's
// records point into it), and `residuals` evaluates F there. On return x and
// F are those of the last trial.
void goldstein_search(Eigen::VectorXd& x, const Eigen::VectorXd& dx, Eigen::VectorXd& F,
                      const std::optional<Eigen::VectorXd>& weights, const GoldsteinFactors& factors,
                      const std::function<Eigen::VectorXd()>& residuals);

// Newton-Raphson damped by a Goldstein line search on the step length.
class NewtonGoldstein : public AbstractNewton {
public:
    double m1;
    double m2;
    bool weighted_merit;

    NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2, bool weighted_merit);

    void update(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) override;
};

}  // namespace lfe
