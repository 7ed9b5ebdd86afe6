#include "flexible_parameter.hpp"

#include <cmath>
#include <stdexcept>

namespace lfe {

namespace {

ControlType control_type(const std::string& t) {
    if (t == "constant") return ControlType::constant;
    if (t == "q_u") return ControlType::q_u;
    if (t == "p_max_u_production") return ControlType::p_max_u_production;
    if (t == "p_max_u_consumption") return ControlType::p_max_u_consumption;
    throw std::runtime_error(t + " is a bad control type name");
}

ProjectionType projection_type(const std::string& t) {
    if (t == "euclidean") return ProjectionType::euclidean;
    if (t == "keep_p") return ProjectionType::keep_p;
    if (t == "keep_q") return ProjectionType::keep_q;
    throw std::runtime_error(t + " is a bad projection type name");
}

// The math functions are found by argument-dependent lookup for AD values.
using std::exp;
using std::log1p;
using std::sqrt;
using std::tanh;

// x > 0 ? a : b, recorded on the tape as a conditional, so that a later
// change of sign of x is followed; NaN compares false.
double if_positive(double x, double a, double b) { return x > 0.0 ? a : b; }

ADScalar if_positive(const ADScalar& x, const ADScalar& a, const ADScalar& b) {
    return CppAD::CondExpGt(x, ADScalar(0.0), a, b);
}

// ln(1 + e^x) as max(x, 0) + ln(1 + e^-|x|): no intermediate overflows.
template <class T>
T softplus(const T& x) {
    return if_positive(x, x, T(0.0)) + log1p(exp(if_positive(x, T(-x), x)));
}

// ln((1 + e^(alpha (v - a))) / (1 + e^(alpha (v - b)))): 0 well below both
// corners, alpha (b - a) well above them, smooth in between. Above both
// corners alpha (b - a) is formed directly: the difference of the two
// softplus terms would lose digits as v grows.
template <class T, class A, class B>
T soft_ramp(const T& v, const A& a, const B& b, double alpha) {
    const T x = alpha * (v - a);
    const T y = alpha * (v - b);
    const T above = alpha * (b - a) + log1p(exp(-x)) - log1p(exp(-y));
    const T across = softplus(x) - softplus(y);
    return if_positive(x, if_positive(y, above, across), across);
}

// Beyond this |c (x - y)| the lighter weight e^-|c (x - y)| is 0 in doubles.
constexpr double weight_exponent_cap = 800.0;

// Smooth minimum of x and y, the mean of both weighted by e^(c x) and
// e^(c y); c < 0 sets how sharp it is. Formed as the smaller one plus their
// distance times the lighter weight, the exponent held where that weight is
// 0 anyway, so that nothing overflows and an infinite distance adds 0.
template <class T>
T soft_min(const T& x, const T& y, double c) {
    const T t = c * (x - y);
    const T smaller = if_positive(t, x, y);
    const T gap = if_positive(t, t, T(-t));
    const T held = if_positive(T(gap - weight_exponent_cap), T(weight_exponent_cap), gap);
    const T e = exp(-held);
    return smaller + held / -c * (e / (1.0 + e));
}

// soft_gap holds its exponent here (e^700 is about 1e304) rather than
// overflow; a gap that large already makes the ratio it divides 0 to the
// last digit.
constexpr double gap_exponent_cap = 700.0;

// x + epsilon e^(-x / epsilon): x kept away from 0, about epsilon at x = 0.
template <class T>
T soft_gap(const T& x, double epsilon) {
    const T t = -x / epsilon;
    return x + epsilon * exp(if_positive(T(t - gap_exponent_cap), T(gap_exponent_cap), t));
}

// Square root kept away from the kink at 0. Below 0, where the gap would
// grow without bound, it is held at its minimum epsilon, reached at 0 with
// slope 0; NaN passes.
template <class T>
T soft_root(const T& w, double epsilon) {
    return sqrt(if_positive(T(-w), T(epsilon), soft_gap(w, epsilon)));
}

// The kept component of keep_p and keep_q: unchanged on the disc, |x| <= 1;
// beyond it bent towards +-(1 + 1 / a) by a tanh that matches the value,
// slope and curvature at the rim, so that 1 - x^2 stays above -(2 + 1 / a) / a.
template <class T>
T rim_bend(const T& x, double a) {
    const T above = 1.0 + tanh(a * (x - 1.0)) / a;
    const T below = -1.0 + tanh(a * (x + 1.0)) / a;
    return if_positive(T(x - 1.0), above, if_positive(T(-1.0 - x), below, x));
}

double sign_of(double x) { return x >= 0.0 ? 1.0 : -1.0; }

// A conditional on the tape, so that a later sign change of x is followed;
// NaN compares false, as in the plain form.
ADScalar sign_of(const ADScalar& x) {
    return CppAD::CondExpGe(x, ADScalar(0.0), ADScalar(1.0), ADScalar(-1.0));
}

template <class T>
T active_power(const Control& c, const T& u, const T& p_th, const T& s) {
    switch (c.type) {
    case ControlType::constant:
        return p_th;
    case ControlType::p_max_u_production: {
        const T r = p_th / s;
        const T u0 = (c.u_up + (r + 1.0) * (c.u_max - c.u_up)) / c.u_max;
        const T den = c.alpha * soft_gap(T(1.0 - u0), c.epsilon);
        return p_th * (1.0 + soft_ramp(u / c.u_max, 1.0, u0, c.alpha) / den);
    }
    case ControlType::p_max_u_consumption: {
        const T r = p_th / s;
        const T u0 = (c.u_down - (1.0 - r) * (c.u_down - c.u_min)) / c.u_min;
        const T den = c.alpha * soft_gap(T(u0 - 1.0), c.epsilon);
        return -p_th * soft_ramp(u / c.u_min, u0, 1.0, c.alpha) / den;
    }
    case ControlType::q_u:
        break;
    }
    throw std::runtime_error("Bad control type for P");
}

// q_min at low voltage, q_th in the dead band, q_max at high voltage.
template <class T>
T reactive_power(const Control& c, const T& u, const T& q_th, const T& q_min, const T& q_max) {
    switch (c.type) {
    case ControlType::constant:
        return q_th;
    case ControlType::q_u: {
        const T v = u / c.u_max;
        const double a = c.alpha * (c.u_min / c.u_max - c.u_down / c.u_max);
        const T lo = soft_ramp(v, c.u_down / c.u_max, c.u_min / c.u_max, c.alpha) / a - 1.0;
        const double b = c.alpha * (1.0 - c.u_up / c.u_max);
        const T hi = soft_ramp(v, c.u_up / c.u_max, 1.0, c.alpha) / b;
        return q_th + lo * (q_th - q_min) + hi * (q_max - q_th);
    }
    case ControlType::p_max_u_production:
    case ControlType::p_max_u_consumption:
        break;
    }
    throw std::runtime_error("Bad control type for Q");
}

// Brings the normalised power (p, q) back into the unit circle.
template <class T>
void project(const Projection& projection, const T& p_th, T& p, T& q) {
    const double a = projection.alpha;
    const double e = projection.epsilon;
    const double c = -0.15 * a;
    switch (projection.type) {
    case ProjectionType::euclidean: {
        const T m = soft_root(T(p * p + q * q), e);
        const T d = 1.0 + softplus(T(a * (m - 1.0))) / a;
        p = p / d;
        q = q / d;
        return;
    }
    // On the disc, |p| <= 1 (|q| <= 1), these are the written formulas: the
    // kept component as it is and w >= 0. Beyond it the bend and the root's
    // floor keep them finite.
    case ProjectionType::keep_p:
        p = rim_bend(p, a);
        q = tanh(a * q) * soft_root(soft_min(T(q * q), T(1.0 - p * p), c), e);
        return;
    case ProjectionType::keep_q:
        q = rim_bend(q, a);
        p = sign_of(p_th) * soft_root(soft_min(T(p * p), T(1.0 - q * q), c), e);
        return;
    }
}

}  // namespace

Control::Control(const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
                 double epsilon)
    : type(control_type(t)),
      u_min(u_min),
      u_down(u_down),
      u_up(u_up),
      u_max(u_max),
      alpha(alpha),
      epsilon(epsilon) {}

Projection::Projection(const std::string& t, double alpha, double epsilon)
    : type(projection_type(t)), alpha(alpha), epsilon(epsilon) {}

FlexibleParameter::FlexibleParameter(const Control& control_p, const Control& control_q,
                                     const Projection& projection, double s_max, double q_min, double q_max)
    : control_p(control_p),
      control_q(control_q),
      projection(projection),
      s_max(s_max),
      q_min(q_min),
      q_max(q_max) {}

std::array<BoundValue<double>*, 3> FlexibleParameter::limits() { return {&s_max, &q_min, &q_max}; }

void FlexibleParameter::add_parameters(std::vector<double>& p0) const {
    s_max.add(p0);
    q_min.add(p0);
    q_max.add(p0);
}

void FlexibleParameter::bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) {
    for (BoundValue<double>* limit : limits()) limit->bind(ap, p, index);
}

void FlexibleParameter::update_parameters(double s_max_, double q_min_, double q_max_) {
    s_max.set(s_max_);
    q_min.set(q_min_);
    q_max.set(q_max_);
}

template <class T>
std::complex<T> FlexibleParameter::compute(const T& u, const std::complex<T>& s_th, const T& s, const T& q_min_,
                                           const T& q_max_) const {
    const T p_th = s_th.real();
    T p = active_power(control_p, u, p_th, s);
    T q = reactive_power(control_q, u, s_th.imag(), q_min_, q_max_);
    if (control_p.type == ControlType::constant && control_q.type == ControlType::constant) return s_th;
    p = p / s;
    q = q / s;
    project(projection, p_th, p, q);
    return {p * s, q * s};
}

std::complex<double> FlexibleParameter::compute_power(double u, std::complex<double> s_th) const {
    return compute(u, s_th, s_max.get(), q_min.get(), q_max.get());
}

ADComplex FlexibleParameter::compute_power_ad(const ADScalar& u, const ADComplex& s_th) const {
    return compute(u, s_th, s_max.ad, q_min.ad, q_max.ad);
}

}  // namespace lfe
