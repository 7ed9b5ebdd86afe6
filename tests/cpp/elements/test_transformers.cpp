#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <vector>

#include "elements/loads.hpp"
#include "elements/potential_ref.hpp"
#include "elements/sources.hpp"
#include "elements/transformers.hpp"
#include "network/electrical_network.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

using C = std::complex<double>;
using testing::expect_close;

const C z2{0.02, 0.06};
const C ym{1e-4, -4e-4};

void set_potentials(Element& element, std::initializer_list<C> potentials) {
    std::size_t q = 0;
    for (const C v : potentials) element.ports[q++].connection->set_potential(v);
}

std::vector<C> currents(const Element& element) {
    std::vector<C> i;
    for (const Port& port : element.ports) i.push_back(port.current);
    return i;
}

std::vector<C> potentials(const Element& element) {
    std::vector<C> v;
    for (const Port& port : element.ports) v.push_back(port.potential());
    return v;
}

void connect(Port& a, Port& b) { a.connection->merge(b.connection); }

TEST(SingleTransformer, TapeMatchesPlainAlsoAfterUpdates) {
    SingleTransformer t(z2, ym, std::polar(0.05, -0.3));
    set_potentials(t, {{230.0, 5.0}, {2.0, -1.0}, {11.0, -4.0}, {0.5, 0.2}});
    testing::TapeCheck check({&t});
    ASSERT_EQ(check.p.size(), 6);
    EXPECT_TRUE(check.evaluate().empty());

    t.update_transformer_parameters({0.1, 0.3}, {2e-3, 1e-3}, {0.04, 0.01});
    const std::vector<double> p(check.p.data(), check.p.data() + 6);
    EXPECT_EQ(p, std::vector<double>({0.1, 0.3, 2e-3, 1e-3, 0.04, 0.01}));
    check.x[0] = 200.0;
    check.evaluate();
}

TEST(SingleTransformer, IdealRatioKirchhoffAndPowerBalance) {
    const C k = std::polar(0.1, -0.5), u1{230.0, 10.0}, hv_neutral{1.0, -2.0}, lv_neutral{-0.3, 0.4};
    SingleTransformer t(z2, 0.0, k);
    set_potentials(t, {u1 + hv_neutral, hv_neutral, k * u1 + lv_neutral, lv_neutral});
    t.compute_currents(false);
    for (const C i : currents(t)) expect_close(i, 0.0);

    // Absorbed: conj(ym)|U1|² in the magnetising branch, z2|I2|² in the series impedance.
    t.update_transformer_parameters(z2, ym, k);
    t.ports[2].connection->set_potential(k * u1 + C(3.0, -1.0));
    t.compute_currents(false);
    const auto i = currents(t);
    const auto v = potentials(t);
    EXPECT_EQ(i[0] + i[1], 0.0);
    EXPECT_EQ(i[2] + i[3], 0.0);
    C absorbed = 0.0;
    for (std::size_t q = 0; q < 4; ++q) absorbed += v[q] * std::conj(i[q]);
    expect_close(absorbed, std::conj(ym) * std::norm(u1) + z2 * std::norm(i[2]));
}

// With |k| = ulv/uhv no LV current flows at no load; the load losses are r·In².
template <class T>
void expect_data_sheet_closed_forms(T& t, double uhv, double ulv, double sn) {
    const auto [p0, i0] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    EXPECT_NEAR(p0, ym.real() * uhv * uhv, 1e-9 * p0);
    EXPECT_NEAR(i0, std::abs(ym) * uhv * uhv / sn, 1e-12);
    const auto [psc, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(vsc, std::abs(z2) * sn / (ulv * ulv));
    const double expected = ym.real() * std::pow(vsc * uhv, 2) + z2.real() * std::pow(sn / ulv, 2);
    EXPECT_NEAR(psc, expected, 1e-9 * expected);
}

TEST(Transformers, DataSheetTestsHaveTheirClosedForms) {
    SingleTransformer single(z2, ym, std::polar(0.02, 0.7));
    expect_data_sheet_closed_forms(single, 20e3, 400.0, 160e3);
    CenterTransformer center(z2, ym, 0.5);
    expect_data_sheet_closed_forms(center, 240.0, 120.0, 25e3);

    // Nothing is checked: bad ratings give non-finite results.
    const auto [p_nan, i_nan] = single.compute_open_circuit_parameters(-20e3, 400.0, 160e3);
    EXPECT_TRUE(std::isnan(p_nan) && std::isnan(i_nan));
    // A magnitude with its sign bit set is a negative one, -0.0 included.
    const auto [p_zero, i_zero] = single.compute_open_circuit_parameters(-0.0, 400.0, 160e3);
    EXPECT_TRUE(std::isnan(p_zero) && std::isnan(i_zero));
    EXPECT_TRUE(std::isnan(center.compute_open_circuit_parameters(-0.0, 120.0, 25e3).first));
    EXPECT_TRUE(std::isinf(single.compute_short_circuit_parameters(20e3, 0.0, 160e3).second));
}

// Source E on the HV side, admittance y on the LV side, both neutrals referenced.
struct SinglePhaseNetwork {
    static constexpr C e{230.0, 0.0};
    static constexpr C k{0.1, 0.02};
    static constexpr C y{0.3, -0.1};
    PotentialRef hv_ref;
    VoltageSource source{2, &e};
    SingleTransformer transformer{z2, ym, k};
    AdmittanceLoad load{2, &y};
    PotentialRef lv_ref;
    ElectricalNetwork network{wire()};

    std::vector<Element*> wire() {
        connect(source.ports[1], hv_ref.ports[0]);
        connect(source.ports[0], transformer.ports[0]);
        connect(source.ports[1], transformer.ports[1]);
        connect(transformer.ports[2], load.ports[0]);
        connect(transformer.ports[3], load.ports[1]);
        connect(transformer.ports[3], lv_ref.ports[0]);
        return {&hv_ref, &source, &transformer, &load, &lv_ref};
    }

    // V2 = z2 I2 + k E with I2 = -y V2.
    C expected_lv() const { return transformer.k.get() * e / (1.0 + transformer.z2.get() * y); }
};

TEST(SingleTransformer, NewtonAndTheSweepFindTheClosedForm) {
    SinglePhaseNetwork n;
    Newton newton(&n.network, false);
    EXPECT_LE(newton.solve_load_flow(10, 1e-10).second, 1e-10);
    const C v2 = n.load.ports[0].potential();
    expect_close(v2, n.expected_lv());
    expect_close(n.source.ports[0].current, -(ym * n.e + std::conj(n.k) * n.y * v2));

    // A bound update reaches the next solve without recording again.
    n.transformer.update_transformer_parameters({0.05, 0.1}, ym, {0.2, 0.0});
    EXPECT_LE(newton.solve_load_flow(10, 1e-10).second, 1e-10);
    expect_close(n.load.ports[0].potential(), n.expected_lv());

    BackwardForward sweep(&n.network);
    const auto [sweeps, move] = sweep.solve_load_flow(100, 1e-10);
    EXPECT_GT(sweeps, 1);
    EXPECT_LE(move, 1e-10);
    expect_close(n.load.ports[0].potential(), n.expected_lv());
    expect_close(n.transformer.ports[0].current, -n.source.ports[0].current);
}

// The data-sheet tests run on the element's own model: the solved network keeps its state.
TEST(SingleTransformer, DataSheetTestsLeaveTheSolvedNetworkAlone) {
    SinglePhaseNetwork n;
    Newton newton(&n.network, false);
    newton.solve_load_flow(10, 1e-10);
    const auto v = potentials(n.transformer);
    const auto i = currents(n.transformer);
    const Eigen::VectorXd x = newton.x;
    n.transformer.compute_open_circuit_parameters(230.0, 23.0, 1e3);
    n.transformer.compute_short_circuit_parameters(230.0, 23.0, 1e3);
    EXPECT_EQ(potentials(n.transformer), v);
    EXPECT_EQ(currents(n.transformer), i);
    EXPECT_EQ(newton.x, x);
}

TEST(SingleTransformer, SweepSteps) {
    const C k{0.1, 0.0}, drawn{3.0, -1.0};
    SingleTransformer t(z2, ym, k);
    AdmittanceLoad load(2, &drawn);
    connect(t.ports[2], load.ports[0]);
    set_potentials(t, {{230.0, 0.0}, 0.0, {22.0, 1.0}, {0.5, 0.0}});
    load.ports[0].current = drawn;

    t.update_backward_forward();
    EXPECT_EQ(currents(t), std::vector<C>({ym * 230.0 + k * drawn, -(ym * 230.0 + k * drawn), -drawn, drawn}));

    const C expected = -z2 * drawn + k * 230.0 + 0.5;
    const C move = expected - C(22.0, 1.0);
    EXPECT_DOUBLE_EQ(t.backward_forward_error(), std::max(std::abs(move.real()), std::abs(move.imag())));
    expect_close(t.ports[2].potential(), expected);
    EXPECT_EQ(t.backward_forward_error(), 0.0);

    // A NaN in one part only still reports NaN.
    t.ports[0].connection->set_potential({230.0, std::numeric_limits<double>::quiet_NaN()});
    EXPECT_TRUE(std::isnan(t.backward_forward_error()));
}

TEST(CenterTransformer, TapeIdealHalvesAndImK) {
    const double k = 0.5;
    const C u1{240.0, 6.0}, neutral{0.3, -0.2};
    CenterTransformer t(z2, 0.0, k);
    EXPECT_EQ(t.k.get(), C(k, 0.0));
    set_potentials(t, {u1, 0.0, neutral + k / 2 * u1, neutral - k / 2 * u1, neutral});
    testing::TapeCheck check({&t});
    EXPECT_TRUE(check.evaluate().empty());
    for (const C i : currents(t)) expect_close(i, 0.0);

    t.update_transformer_parameters(z2, ym, k);
    check.x[4] += 7.0;
    check.evaluate();
    const auto before = currents(t);
    t.update_transformer_parameters(z2, ym, {k, 0.3});
    check.evaluate();
    EXPECT_EQ(currents(t), before);
}

TEST(CenterTransformer, NewtonWithALoadBetweenAAndTheNeutral) {
    const C e{240.0, 0.0}, y{0.5, -0.2};
    const double k = 0.5;
    PotentialRef hv_ref, lv_ref;
    VoltageSource source(2, &e);
    CenterTransformer t(z2, ym, k);
    AdmittanceLoad load(2, &y);
    connect(source.ports[1], hv_ref.ports[0]);
    connect(source.ports[0], t.ports[0]);
    connect(source.ports[1], t.ports[1]);
    connect(t.ports[2], load.ports[0]);
    connect(t.ports[4], load.ports[1]);
    connect(t.ports[4], lv_ref.ports[0]);
    ElectricalNetwork network({&hv_ref, &source, &t, &load, &lv_ref});
    Newton newton(&network, false);
    EXPECT_LE(newton.solve_load_flow(10, 1e-10).second, 1e-10);

    // Half b is open: Ib = 0, the neutral returns -Ia, the HV side draws ym U1 - (k/2) Ia.
    const C va = k / 2 * e / (1.0 + y * z2 * 0.5);
    expect_close(t.ports[2].potential(), va);
    expect_close(t.ports[3].potential(), -k / 2 * e);
    const auto i = currents(t);
    expect_close(i[3], 0.0);
    expect_close(i[4], y * va);
    expect_close(i[0], ym * e + k / 2 * y * va);

    // HV port 1 is referenced, yet the no-load test keeps its closed form.
    const auto [p0, i0] = t.compute_open_circuit_parameters(240.0, 120.0, 1e3);
    EXPECT_NEAR(p0, ym.real() * 240.0 * 240.0, 1e-12);
    EXPECT_NEAR(i0, std::abs(ym) * 240.0 * 240.0 / 1e3, 1e-12);

    // z2 and Re k are parameters of the tape: new ones reach the next solve.
    const C z2_new{0.1, 0.25};
    const double k_new = 0.4;
    t.update_transformer_parameters(z2_new, ym, k_new);
    EXPECT_LE(newton.solve_load_flow(10, 1e-10).second, 1e-10);
    expect_close(t.ports[2].potential(), k_new / 2 * e / (1.0 + y * z2_new * 0.5));
    expect_close(t.ports[3].potential(), -k_new / 2 * e);

    BackwardForward sweep(&network);
    try {
        sweep.solve_load_flow(5, 1e-10);
        ADD_FAILURE() << "the sweep went through a centre-tap transformer";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
}

}  // namespace
}  // namespace lfe
