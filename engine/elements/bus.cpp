#include "bus.hpp"

namespace lfe {

Bus::Bus(int n, const std::complex<double>* potentials) {
    reserve_count(ports, n);
    for (int i = 0; i < n; ++i) ports.emplace_back(0.0, potentials[i], this);
}

void Bus::compute_currents(bool use_ad) { zero_currents(use_ad); }

void Bus::update_backward_forward() { zero_currents(false); }

Ground::Ground() : ElementImpl<Ground>(1) { ports[0].hold_no_potential(); }

void Ground::compute_currents(bool use_ad) { zero_currents(use_ad); }

void Ground::update_backward_forward() { zero_currents(false); }

}  // namespace lfe
