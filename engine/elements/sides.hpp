#pragma once

#include <complex>
#include <vector>

#include "ad_types.hpp"
#include "element.hpp"

namespace lfe {

// Potentials of the nodes of a group of ports (a fixed node gives 0).
Eigen::VectorXcd side_potentials(const std::vector<Port*>& side);
ADComplexVector side_potentials_ad(const std::vector<Port*>& side);
Eigen::VectorXcd side_currents(const std::vector<Port*>& side);

// What the rest of q's node draws: the sum of the other listed ports' currents.
std::complex<double> others_current(const Port& q);
// Backward step: each port feeds what the rest of its node draws.
void feed_downstream(const std::vector<Port*>& side);
// Backward step of a series element: the downstream side feeds its nodes and
// each upstream port takes the same current in.
void feed_through(const std::vector<Port*>& upstream, const std::vector<Port*>& downstream);

// Running maximum of the moves of a forward step; once NaN, it stays NaN,
// so a sweep can never report convergence past a NaN potential.
double max_move(double running, double move);
// 0 for a number, NaN when either part is NaN: the move of a step that
// copies a potential without measuring it.
double nan_mark(const std::complex<double>& v);
// Writes a new potential into the port's node and returns how far it moved.
double move_potential(Port& port, const std::complex<double>& v);
// Writes new potentials into the side's nodes and returns the largest move.
double move_potentials(const std::vector<Port*>& side, const Eigen::VectorXcd& potentials);

}  // namespace lfe
