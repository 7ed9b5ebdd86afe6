#include "feeder.hpp"

#include <array>
#include <numbers>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"

namespace lfe::bench {

namespace {

constexpr int conductors = 4;
constexpr double phase_voltage = 230.0;
// A 500 m cable: self and mutual impedance in ohm, shared out over the segments.
constexpr std::complex<double> cable_self{0.10, 0.22};
constexpr std::complex<double> cable_mutual{0.025, 0.15};
// Power per phase of the whole feeder, in VA: deliberately unbalanced.
constexpr std::array<std::complex<double>, 3> feeder_powers{{{40e3, 12e3}, {30e3, 9e3}, {20e3, 6e3}}};

std::array<std::complex<double>, conductors> head_potentials() {
    std::array<std::complex<double>, conductors> v{};
    for (int k = 0; k < 3; ++k) v[k] = std::polar(phase_voltage, -2.0 * std::numbers::pi * k / 3.0);
    return v;
}

std::array<std::complex<double>, conductors * conductors> segment_impedance(int segments, int branches) {
    std::array<std::complex<double>, conductors * conductors> z{};
    for (int i = 0; i < conductors; ++i)
        for (int j = 0; j < conductors; ++j)
            z[i * conductors + j] = (i == j ? cable_self : cable_mutual) * double(branches) / double(segments);
    return z;
}

// Every bus takes an equal share, skewed a little along the feeder so that
// no two loads are alike.
std::array<std::complex<double>, 3> bus_powers(int bus, int buses) {
    const double skew = 0.5 + double(bus % 7) / 6.0;
    std::array<std::complex<double>, 3> s{};
    for (int k = 0; k < 3; ++k) s[k] = feeder_powers[k] * skew / double(buses);
    return s;
}

void connect(Element& a, Element& b, int first_port_of_b) {
    for (int k = 0; k < conductors; ++k) a.ports[k].connection->merge(b.ports[first_port_of_b + k].connection);
}

template <class T>
T& add(Feeder& feeder, std::unique_ptr<T> element) {
    T& ref = *element;
    feeder.elements.push_back(std::move(element));
    return ref;
}

}  // namespace

std::vector<Element*> Feeder::element_list() const {
    std::vector<Element*> list;
    list.reserve(elements.size());
    for (const auto& e : elements) list.push_back(e.get());
    return list;
}

void Feeder::scale_powers(double factor) {
    for (PowerLoad* load : loads)
        for (auto& s : load->powers) s.set(s.get() * factor);
}

Feeder make_feeder(int buses, int branches) {
    Feeder feeder;
    const auto v0 = head_potentials();
    const std::array<std::complex<double>, 3> e{v0[0], v0[1], v0[2]};
    auto& source = add(feeder, std::make_unique<VoltageSource>(conductors, e.data()));
    Bus* head = &add(feeder, std::make_unique<Bus>(conductors, v0.data()));
    connect(*head, source, 0);
    auto& ground = add(feeder, std::make_unique<PotentialRef>());
    head->ports[3].connection->merge(ground.ports[0].connection);
    const auto add_load = [&](Bus& bus, int b) {
        const auto s = bus_powers(b, buses);
        auto& load = add(feeder, std::make_unique<PowerLoad>(conductors, s.data()));
        connect(bus, load, 0);
        feeder.loads.push_back(&load);
    };
    add_load(*head, 0);
    int b = 1;
    for (int branch = 0; branch < branches; ++branch) {
        // The further buses shared out over the branches, the first ones taking the remainder.
        const int segments = (buses - 1) / branches + (branch < (buses - 1) % branches ? 1 : 0);
        // Each branch carries 1 / branches of the load over branches times the
        // length: the drop at its tail is that of a single feeder.
        const auto z = segment_impedance(segments, branches);
        Bus* previous = head;
        for (int k = 0; k < segments; ++k, ++b) {
            auto& line = add(feeder, std::make_unique<SimplifiedLine>(conductors, z.data()));
            Bus& bus = add(feeder, std::make_unique<Bus>(conductors, v0.data()));
            connect(*previous, line, 0);
            connect(bus, line, conductors);
            add_load(bus, b);
            previous = &bus;
        }
    }
    return feeder;
}

}  // namespace lfe::bench
