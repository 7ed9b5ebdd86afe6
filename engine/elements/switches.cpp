#include "switches.hpp"

#include "sides.hpp"

namespace lfe {

Switch::Switch(int n) : Branch(n, n) {
    reserve_count(currents, n);
    for (int i = 0; i < n; ++i) currents.emplace_back(0.0);
}

void Switch::add_variables(std::vector<double>& x0) {
    for (const auto& j : currents) j.add(x0);
}

void Switch::bind_variables(const ADVector& ax, Eigen::VectorXd& x, int& index) {
    for (auto& j : currents) j.bind(ax, x, index);
}

void Switch::compute_currents(bool use_ad) {
    for (std::size_t i = 0; i < currents.size(); ++i) {
        if (use_ad) {
            side1[i]->current_ad = currents[i].ad;
            side2[i]->current_ad = ad_negate(currents[i].ad);
        } else {
            const auto j = currents[i].get();
            side1[i]->current = j;
            side2[i]->current = -j;
        }
    }
}

void Switch::add_equations(ResidualRows& y, int& index) {
    for (std::size_t i = 0; i < side1.size(); ++i) {
        const ADComplex v1 = side1[i]->potential_ad();
        const ADComplex v2 = side2[i]->potential_ad();
        y[index] = v1.real() - v2.real();
        y[index + 1] = v1.imag() - v2.imag();
        index += 2;
    }
}

void Switch::update_backward_forward() { feed_through(side1, side2); }

// Reports how far the copy moved the side-2 nodes: the sweep must go on
// while the nodes behind the switch still move.
double Switch::backward_forward_error() {
    double error = 0.0;
    for (std::size_t i = 0; i < side1.size(); ++i)
        error = max_move(error, move_potential(*side2[i], side1[i]->potential()));
    return error;
}

OpenSwitch::OpenSwitch(int n) : Branch(n, n) {}

void OpenSwitch::compute_currents(bool use_ad) { zero_currents(use_ad); }

void OpenSwitch::update_backward_forward() { zero_currents(false); }

}  // namespace lfe
