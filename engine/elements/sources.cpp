#include "sources.hpp"

#include "sides.hpp"

namespace lfe {

namespace {

// Backward step of a source: every port but `upstream` feeds what the rest of
// its node draws, and `upstream` returns the total.
void feed_from(std::vector<Port>& ports, std::size_t upstream) {
    std::complex<double> total = 0.0;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i == upstream) continue;
        const auto drawn = others_current(ports[i]);
        ports[i].current = -drawn;
        total -= drawn;
    }
    ports[upstream].current = -total;
}

}  // namespace

void VoltageSource::add_equations(ResidualRows& y, int& index) {
    const ADComplex neutral = ports.back().potential_ad();
    for (std::size_t i = 0; i < voltages.size(); ++i)
        add_voltage_equation(y, index, i, ports[i].potential_ad() - neutral);
}

void VoltageSource::update_backward_forward() { feed_from(ports, ports.size() - 1); }

// Both forms report how far they moved the nodes they write, so that the
// sweep goes on until what lies behind the source settles.
double VoltageSource::backward_forward_error() {
    double error = 0.0;
    for (std::size_t i = 0; i < voltages.size(); ++i)
        error = max_move(error, move_potential(ports[i], ports.back().potential() + voltages[i].get()));
    return error;
}

void DeltaVoltageSource::add_equations(ResidualRows& y, int& index) {
    for (std::size_t i = 0; i < voltages.size(); ++i)
        add_voltage_equation(y, index, i, ports[i].potential_ad() - ports[i + 1].potential_ad());
}

void DeltaVoltageSource::update_backward_forward() { feed_from(ports, 0); }

double DeltaVoltageSource::backward_forward_error() {
    double error = 0.0;
    for (std::size_t i = 0; i < voltages.size(); ++i)
        error = max_move(error, move_potential(ports[i + 1], ports[i].potential() - voltages[i].get()));
    return error;
}

}  // namespace lfe
