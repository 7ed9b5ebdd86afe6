#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "ad_types.hpp"
#include "bound_value.hpp"

namespace lfe {

enum class ControlType : std::int32_t { constant = 0, q_u = 1, p_max_u_production = 2, p_max_u_consumption = 3 };

enum class ProjectionType : std::int32_t { euclidean = 0, keep_p = 1, keep_q = 2 };

// A control law of P or Q as a smooth function of the voltage magnitude.
struct Control {
    ControlType type;
    double u_min;
    double u_down;
    double u_up;
    double u_max;
    double alpha;
    double epsilon;

    // Throws std::runtime_error when t names no control type.
    Control(const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
            double epsilon);
};

// How a power outside the circle of radius s_max is brought back to it.
struct Projection {
    ProjectionType type;
    double alpha;
    double epsilon;

    // Throws std::runtime_error when t names no projection type.
    Projection(const std::string& t, double alpha, double epsilon);
};

// The settings of one flexible phase or branch. The limits are dynamic
// parameters, appended to p and bound by the network.
struct FlexibleParameter {
    Control control_p;
    Control control_q;
    Projection projection;
    BoundValue<double> s_max;
    BoundValue<double> q_min;
    BoundValue<double> q_max;

    FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection,
                      double s_max, double q_min, double q_max);

    // s_max, q_min, q_max, the order they take in p.
    std::array<BoundValue<double>*, 3> limits();

    void add_parameters(std::vector<double>& p0) const;
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index);
    void update_parameters(double s_max, double q_min, double q_max);

    // The power P + jQ drawn at the voltage magnitude u for the theoretical
    // power s_th. Throws std::runtime_error for a law that cannot drive P or Q.
    std::complex<double> compute_power(double u, std::complex<double> s_th) const;
    ADComplex compute_power_ad(const ADScalar& u, const ADComplex& s_th) const;

private:
    template <class T>
    std::complex<T> compute(const T& u, const std::complex<T>& s_th, const T& s, const T& q_min,
                            const T& q_max) const;
};

}  // namespace lfe
