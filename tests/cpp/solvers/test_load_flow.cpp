#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "elements/bus.hpp"
#include "elements/lines.hpp"
#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "logging/capture.hpp"
#include "logging/logging.hpp"
#include "network/probe_elements.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using probes::connect;
using probes::expect_near;
using testing::captured_stdout;

// Source E, line R1, admittance load 1 / R2, one phase and a grounded neutral.
struct OnePhaseDivider {
    static constexpr C e{230.0, 0.0};
    static constexpr C r1{1.0, 0.0};
    static constexpr C y2{0.1, 0.0};

    PotentialRef ref;
    VoltageSource source{2, &e};
    SimplifiedLine line{1, &r1};
    AdmittanceLoad load{2, &y2};
    ElectricalNetwork network{wire()};

    std::vector<Element*> wire() {
        connect(source.ports[1], ref.ports[0]);
        connect(source.ports[1], load.ports[1]);
        connect(source.ports[0], line.ports[0]);
        connect(line.ports[1], load.ports[0]);
        return {&ref, &source, &line, &load};
    }
};

TEST(LoadFlow, VoltageDividerHasItsClosedFormAnswer) {
    OnePhaseDivider d;
    const C expected = OnePhaseDivider::e * 10.0 / 11.0;
    Newton newton(&d.network, false);
    const auto [iterations, error] = newton.solve_load_flow(20, 1e-9);
    EXPECT_EQ(iterations, 1);
    EXPECT_LT(error, 1e-9);
    expect_near(d.load.ports[0].potential(), expected, 1e-9);
    expect_near(d.source.ports[0].current, -expected / 10.0, 1e-9);

    BackwardForward sweep(&d.network);
    const auto [sweeps, move] = sweep.solve_load_flow(100, 1e-9);
    EXPECT_GT(sweeps, 1);
    EXPECT_LE(move, 1e-9);
    expect_near(d.load.ports[0].potential(), expected, 1e-7);
}

C phasor(double magnitude, double degrees) { return std::polar(magnitude, degrees * std::numbers::pi / 180.0); }

struct FeederData {
    std::array<C, 3> voltages{phasor(230.0, 0.0), phasor(230.0, -120.0), phasor(230.0, 120.0)};
    std::array<C, 16> z = impedance({0.2, 0.1}, {0.05, 0.02});
    std::array<C, 3> near_powers{C(3000.0, 1000.0), C(1000.0, 200.0), C(2000.0, -500.0)};
    std::array<C, 3> far_powers{C(500.0, 100.0), C(2500.0, 800.0), C(0.0, 0.0)};

    static std::array<C, 16> impedance(C self, C mutual) {
        std::array<C, 16> z;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) z[static_cast<std::size_t>(4 * i + j)] = i == j ? self : mutual;
        return z;
    }
};

// Three phases and a neutral: source, a line to the near loads, a second
// line to the far loads; the neutral is referenced at the source only.
struct Feeder {
    std::array<C, 4> start;
    Bus source_bus;
    PotentialRef ref;
    VoltageSource source;
    SimplifiedLine near_line;
    Bus near_bus;
    PowerLoad near_load;
    SimplifiedLine far_line;
    Bus far_bus;
    PowerLoad far_load;
    ElectricalNetwork network;

    explicit Feeder(const FeederData& data = {})
        : start{data.voltages[0], data.voltages[1], data.voltages[2], 0.0},
          source_bus(4, start.data()),
          source(4, data.voltages.data()),
          near_line(4, data.z.data()),
          near_bus(4, start.data()),
          near_load(4, data.near_powers.data()),
          far_line(4, data.z.data()),
          far_bus(4, start.data()),
          far_load(4, data.far_powers.data()),
          network(wire()) {}

    std::vector<Element*> wire() {
        connect(source_bus.ports[3], ref.ports[0]);
        for (std::size_t k = 0; k < 4; ++k) {
            connect(source_bus.ports[k], source.ports[k]);
            connect(source_bus.ports[k], near_line.ports[k]);
            connect(near_bus.ports[k], near_line.ports[4 + k]);
            connect(near_bus.ports[k], near_load.ports[k]);
            connect(near_bus.ports[k], far_line.ports[k]);
            connect(far_bus.ports[k], far_line.ports[4 + k]);
            connect(far_bus.ports[k], far_load.ports[k]);
        }
        return {&source_bus, &ref, &source, &near_line, &near_bus, &near_load, &far_line, &far_bus, &far_load};
    }

    std::vector<C> potentials() const {
        std::vector<C> v;
        for (const Bus* bus : {&source_bus, &near_bus, &far_bus})
            for (const Port& port : bus->ports) v.push_back(port.potential());
        return v;
    }
};

void expect_same(const std::vector<C>& actual, const std::vector<C>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) expect_near(actual[k], expected[k], tolerance);
}

void expect_kirchhoff_everywhere(const ElectricalNetwork& network) {
    for (const auto& node : network.connections) {
        if (node->fixed) continue;
        C sum = 0.0;
        for (const Port* q : node->ports) sum += q->current;
        EXPECT_LT(std::abs(sum), 1e-8);
    }
}

void expect_set_powers(PowerLoad& load) {
    std::array<C, 3> j;
    load.get_inner_currents(j.data());
    const C neutral = load.ports[3].potential();
    for (std::size_t i = 0; i < 3; ++i)
        expect_near((load.ports[i].potential() - neutral) * std::conj(j[i]), load.powers[i].get(), 1e-6);
}

TEST(LoadFlow, UnbalancedFeederHoldsKirchhoffAndTheSetPowers) {
    Feeder f;
    Newton solver(&f.network, true);
    const auto [iterations, error] = solver.solve_load_flow(20, 1e-9);
    EXPECT_GT(iterations, 1);
    EXPECT_LE(error, 1e-9);
    expect_kirchhoff_everywhere(f.network);
    expect_set_powers(f.near_load);
    expect_set_powers(f.far_load);
    // The unbalance shifts the far neutral off zero.
    EXPECT_GT(std::abs(f.far_bus.ports[3].potential()), 0.1);
}

TEST(LoadFlow, SweepAndNewtonAgree) {
    Feeder f;
    Newton newton(&f.network, false);
    newton.solve_load_flow(20, 1e-10);
    const auto expected = f.potentials();

    BackwardForward sweep(&f.network);
    const auto [sweeps, move] = sweep.solve_load_flow(200, 1e-10);
    EXPECT_LE(move, 1e-10);
    expect_same(f.potentials(), expected, 1e-6);
    expect_set_powers(f.far_load);
}

TEST(LoadFlow, UpdatesBetweenSolvesMatchAFreshSolver) {
    FeederData updated;
    updated.voltages = {phasor(240.0, 5.0), phasor(235.0, -115.0), phasor(238.0, 125.0)};
    updated.z = FeederData::impedance({0.3, 0.15}, {0.04, 0.01});
    updated.far_powers = {C(1500.0, 300.0), C(500.0, 0.0), C(800.0, 400.0)};

    Feeder f;
    Newton solver(&f.network, false);
    solver.solve_load_flow(20, 1e-10);
    f.source.update_voltages(updated.voltages.data());
    f.near_line.update_line_parameters(updated.z.data());
    f.far_line.update_line_parameters(updated.z.data());
    for (std::size_t i = 0; i < 3; ++i) f.far_load.powers[i].set(updated.far_powers[i]);
    // Evaluations keep the parameters last pushed until the next solve.
    EXPECT_LE(solver.get_residuals().cwiseAbs().maxCoeff(), 1e-10);

    set_logging_config("debug");
    const auto log = captured_stdout([&] { EXPECT_LE(solver.solve_load_flow(20, 1e-10).second, 1e-10); });
    set_logging_config("info");
    EXPECT_EQ(log.find("Tape"), std::string::npos) << log;
    EXPECT_EQ(log.find("Sparse pattern"), std::string::npos) << log;

    Feeder fresh(updated);
    Newton fresh_solver(&fresh.network, false);
    fresh_solver.solve_load_flow(20, 1e-10);
    expect_same(f.potentials(), fresh.potentials(), 1e-8);
    expect_set_powers(f.far_load);
}

}  // namespace
}  // namespace lfe
