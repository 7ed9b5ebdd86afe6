#pragma once

#include <array>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "network/electrical_network.hpp"

namespace lfe::testing {

// A 4 x 4 line impedance, row by row: `self` on the diagonal, `mutual` elsewhere.
inline std::array<std::complex<double>, 16> four_wire_impedance(std::complex<double> self,
                                                                 std::complex<double> mutual) {
    std::array<std::complex<double>, 16> z{};
    for (std::size_t k = 0; k < z.size(); ++k) z[k] = k % 5 == 0 ? self : mutual;
    return z;
}

// A three-phase-and-neutral radial network: a star source and a potential
// reference on the neutral at the head, then `branches` chains of lines
// leaving the head bus, with an unbalanced power load on every further bus.
// One branch makes a plain chain; many make the head a hub.
class Feeder {
public:
    std::vector<std::unique_ptr<Element>> elements;
    std::vector<PowerLoad*> loads;
    std::vector<Bus*> buses;
    std::vector<SimplifiedLine*> lines;
    std::unique_ptr<ElectricalNetwork> network;

    // `power` is the phase-a power of every load; phases b and c draw less.
    // `n_buses` counts the buses of each branch.
    Feeder(int n_buses, std::complex<double> power, std::complex<double> z_self = {0.05, 0.04},
           std::complex<double> z_mutual = {0.01, 0.02}, int branches = 1) {
        const auto v0 = head_potentials();
        const std::array<std::complex<double>, 3> e{v0[0], v0[1], v0[2]};
        auto& source = add(std::make_unique<VoltageSource>(4, e.data()));
        Bus* head = &add_bus(v0);
        connect(*head, source, 0);
        auto& reference = add(std::make_unique<PotentialRef>());
        head->ports[3].connection->merge(reference.ports[0].connection);
        const auto z = four_wire_impedance(z_self, z_mutual);
        for (int branch = 0; branch < branches; ++branch) {
            Bus* previous = head;
            for (int b = 1; b <= n_buses; ++b) {
                auto& line = add(std::make_unique<SimplifiedLine>(4, z.data()));
                lines.push_back(&line);
                Bus& bus = add_bus(v0);
                connect(*previous, line, 0);
                connect(bus, line, 4);
                const std::array<std::complex<double>, 3> s{power, 0.8 * power, 0.6 * power};
                auto& load = add(std::make_unique<PowerLoad>(4, s.data()));
                connect(bus, load, 0);
                loads.push_back(&load);
                previous = &bus;
            }
        }
        std::vector<Element*> list;
        for (const auto& element : elements) list.push_back(element.get());
        network = std::make_unique<ElectricalNetwork>(std::move(list));
    }

    // Phase potentials of every bus after the head, as the ports read them.
    std::vector<std::complex<double>> potentials() const {
        std::vector<std::complex<double>> v;
        for (std::size_t b = 1; b < buses.size(); ++b)
            for (int k = 0; k < 4; ++k) v.push_back(buses[b]->ports[k].potential());
        return v;
    }

private:
    static std::array<std::complex<double>, 4> head_potentials() {
        std::array<std::complex<double>, 4> v{};
        for (int k = 0; k < 3; ++k) v[k] = std::polar(230.0, -2.0 * std::numbers::pi * k / 3.0);
        return v;
    }

    static void connect(Element& bus, Element& other, int first_port) {
        for (int k = 0; k < 4; ++k) bus.ports[k].connection->merge(other.ports[first_port + k].connection);
    }

    template <class T>
    T& add(std::unique_ptr<T> element) {
        T& ref = *element;
        elements.push_back(std::move(element));
        return ref;
    }

    Bus& add_bus(const std::array<std::complex<double>, 4>& v0) {
        Bus& bus = add(std::make_unique<Bus>(4, v0.data()));
        buses.push_back(&bus);
        return bus;
    }
};

}  // namespace lfe::testing
