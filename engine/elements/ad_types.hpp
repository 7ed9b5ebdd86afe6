#pragma once

#include <complex>

#include <Eigen/Dense>
#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>

namespace lfe {

using ADScalar = CppAD::AD<double>;
using ADComplex = std::complex<ADScalar>;

// Tape independents, dynamic parameters and residuals.
using ADVector = Eigen::Matrix<ADScalar, Eigen::Dynamic, 1>;
using ADComplexVector = Eigen::Matrix<ADComplex, Eigen::Dynamic, 1>;
using ADComplexMatrix = Eigen::Matrix<ADComplex, Eigen::Dynamic, Eigen::Dynamic>;

inline ADComplex ad_zero() { return ADComplex(ADScalar(0.0), ADScalar(0.0)); }

// libstdc++ negates complex<T> component-wise only for arithmetic T in some
// paths; spelled out so both parts are recorded as plain negations.
inline ADComplex ad_negate(const ADComplex& z) { return ADComplex(-z.real(), -z.imag()); }

}  // namespace lfe
