#pragma once

#include <gtest/gtest.h>

#include <cmath>

#include <Eigen/Dense>

#include "solvers/newton.hpp"

namespace lfe::testing {

// Every entry of J against the AD library's dense driver at the solver's x.
inline void expect_dense_equal(AbstractNewton& solver, const Eigen::MatrixXd& J) {
    const Eigen::Index n = solver.x.size();
    const Eigen::VectorXd dense = solver.dense_jacobian();
    ASSERT_EQ(dense.size(), n * n);
    for (Eigen::Index i = 0; i < n; ++i)
        for (Eigen::Index j = 0; j < n; ++j) {
            const double entry = dense[i * n + j];
            ASSERT_NEAR(J(i, j), entry, 1e-12 * std::abs(entry)) << i << ", " << j;
        }
}

}  // namespace lfe::testing
