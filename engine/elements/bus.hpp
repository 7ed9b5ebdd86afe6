#pragma once

#include <complex>

#include "element.hpp"

namespace lfe {

// Passive node element: gives its nodes their initial potentials, draws nothing.
class Bus : public ElementImpl<Bus> {
public:
    Bus(int n, const std::complex<double>* potentials);

    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void update_backward_forward() override;
};

// One-terminal element that draws nothing; unlike a potential reference it
// leaves its node free.
class Ground : public ElementImpl<Ground> {
public:
    Ground();

    void compute_currents(bool use_ad) override;
    bool is_linear() const override { return true; }
    void update_backward_forward() override;
};

}  // namespace lfe
