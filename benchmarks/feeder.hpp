#pragma once

#include <memory>
#include <vector>

#include "elements/element.hpp"
#include "elements/loads.hpp"

namespace lfe::bench {

// A radial three-phase-and-neutral network: a star source and a potential
// reference on the neutral at the head bus, from which `branches` feeders of
// equal length leave; one line and one unbalanced constant-power star load
// per further bus, and a load on the head bus too. Total length and total
// load do not depend on the bus count, so every size draws the same voltage
// profile.
struct Feeder {
    std::vector<std::unique_ptr<Element>> elements;
    std::vector<PowerLoad*> loads;

    // Elements in head-to-tail order, as the sweep expects them.
    std::vector<Element*> element_list() const;
    // Multiplies every load power, through the records bound to the solver.
    void scale_powers(double factor);
};

Feeder make_feeder(int buses, int branches);

}  // namespace lfe::bench
