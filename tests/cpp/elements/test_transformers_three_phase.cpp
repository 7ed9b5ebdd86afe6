#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <numbers>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/bus.hpp"
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

const double sqrt3 = std::sqrt(3.0);
const C z2{0.004, 0.012};
const C ym{2e-6, -8e-6};
constexpr double uhv = 20e3, ulv = 400.0, sn = 250e3;

struct Group {
    std::string whv;
    std::string wlv;
    int clock;
};

std::string name_of(const Group& g) { return g.whv + g.wlv + std::to_string(g.clock); }

void PrintTo(const Group& g, std::ostream* os) { *os << name_of(g); }

int ports_of(const std::string& winding) { return winding == "Y" || winding == "y" || winding == "z" ? 4 : 3; }

// The ratio k at which rated voltages at both sides drive no winding current.
double matched_ratio(const Group& g) {
    const double hv_winding = g.whv == "Y" ? uhv / sqrt3 : uhv;
    const double lv_winding = g.wlv == "d" ? ulv : ulv / sqrt3;
    return lv_winding / (hv_winding * (g.wlv == "z" ? sqrt3 : 1.0));
}

ThreePhaseTransformer make(const Group& g, C magnetising, double k) {
    return {ports_of(g.whv), ports_of(g.wlv), g.whv, g.wlv, z2, magnetising, k, g.clock};
}

// A positive-sequence set of phase potentials turned by `degrees`, every port shifted by `offset`.
void set_balanced(const std::vector<Port*>& side, double r, double degrees, C offset) {
    for (std::size_t q = 0; q < side.size(); ++q) {
        const double angle = (degrees - 120.0 * static_cast<double>(q)) * std::numbers::pi / 180.0;
        const C phase = q < 3 ? std::polar(r, angle) : 0.0;
        side[q]->connection->set_potential(phase + offset);
    }
}

double largest_current(const Element& element) {
    double largest = 0.0;
    for (const Port& port : element.ports) largest = std::max(largest, std::abs(port.current));
    return largest;
}

class VectorGroup : public ::testing::TestWithParam<Group> {};

// The LV voltages lag the HV voltages by clock × 30°: at exactly that lag and
// the matched ratio no current flows, 30° further on a large one does.
TEST_P(VectorGroup, IdealRatioAndPhaseShift) {
    const Group g = GetParam();
    auto t = make(g, 0.0, matched_ratio(g));
    set_balanced(t.side1, uhv / sqrt3, 0.0, {-3.0, 1.0});
    set_balanced(t.side2, ulv / sqrt3, -30.0 * g.clock, {1.0, 2.0});
    testing::TapeCheck check({&t});
    check.evaluate();
    const double scale = ulv / std::abs(z2);
    EXPECT_LT(largest_current(t), 1e-9 * scale);

    set_balanced(t.side2, ulv / sqrt3, -30.0 * (g.clock + 1), {1.0, 2.0});
    t.compute_currents(false);
    EXPECT_GT(largest_current(t), 0.1 * scale);

    const auto [losses, current] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    EXPECT_NEAR(losses, 0.0, 1e-6);
    EXPECT_NEAR(current, 0.0, 1e-9);
}

const Group usual_groups[] = {
    {"D", "y", 1},  {"D", "y", 5},  {"D", "y", 7},  {"D", "y", 11}, {"Y", "d", 1},  {"Y", "d", 5},
    {"Y", "d", 7},  {"Y", "d", 11}, {"Y", "y", 0},  {"Y", "y", 2},  {"Y", "y", 4},  {"Y", "y", 6},
    {"Y", "y", 8},  {"Y", "y", 10}, {"D", "d", 0},  {"D", "d", 2},  {"D", "d", 4},  {"D", "d", 6},
    {"D", "d", 8},  {"D", "d", 10}, {"Y", "z", 1},  {"Y", "z", 5},  {"Y", "z", 7},  {"Y", "z", 11},
    {"D", "z", 0},  {"D", "z", 2},  {"D", "z", 4},  {"D", "z", 6},  {"D", "z", 8},  {"D", "z", 10},
};

INSTANTIATE_TEST_SUITE_P(ThreePhaseTransformer, VectorGroup, ::testing::ValuesIn(usual_groups),
                         [](const auto& info) { return name_of(info.param); });

std::string failure_of(const Group& g, int n1, int n2) {
    try {
        ThreePhaseTransformer(n1, n2, g.whv, g.wlv, z2, ym, 0.02, g.clock);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(ThreePhaseTransformer, WindingNamesAndPortCountsAreChecked) {
    EXPECT_EQ(failure_of({"Z", "y", 11}, 4, 4), "Bad HV winding: Z");
    EXPECT_EQ(failure_of({"y", "y", 0}, 4, 4), "Bad HV winding: y");
    EXPECT_EQ(failure_of({"YN", "Q", 1}, 4, 3), "Bad HV winding: YN");
    EXPECT_EQ(failure_of({"D", "Y", 11}, 3, 4), "Bad LV winding: Y");
    EXPECT_EQ(failure_of({"D", "yn", 11}, 3, 4), "Bad LV winding: yn");
    EXPECT_EQ(failure_of({"D", "", 11}, 3, 4), "Bad LV winding: ");

    // Maps built for one port count would read past another.
    EXPECT_EQ(failure_of({"Y", "d", 11}, 3, 3), "A Y HV winding needs 4 ports, got 3");
    EXPECT_EQ(failure_of({"D", "y", 11}, 3, 3), "A y LV winding needs 4 ports, got 3");
    EXPECT_EQ(failure_of({"D", "d", 0}, 3, 4), "A d LV winding needs 3 ports, got 4");
    EXPECT_THROW(ThreePhaseTransformer(4, 2, "Y", "z", z2, ym, 0.02, 1), std::invalid_argument);
}

// Compared as unsigned, a negative clock falls in none of the sets: Dz-1 is built as Dz3.
TEST(ThreePhaseTransformer, NegativeClockCountsAsALargeOne) {
    const auto negative = make({"D", "z", -1}, ym, 0.02);
    const auto three = make({"D", "z", 3}, ym, 0.02);
    EXPECT_EQ(negative.clock, -1);
    EXPECT_EQ(negative.orientation, three.orientation);
    EXPECT_EQ(negative.hv_voltage_map, three.hv_voltage_map);
    EXPECT_EQ(negative.lv_coupling, three.lv_coupling);
    EXPECT_EQ(negative.hv_coupling, three.hv_coupling);
}

// The maps of every winding pair and clock, written out row by row.
struct Maps {
    Eigen::Matrix3d k1, k2, m, n;
    Eigen::MatrixXd c1, c2;
    double o;
};

Maps expected_maps(const std::string& whv, const std::string& wlv, int clock) {
    const auto in = [clock](std::initializer_list<int> set) { return std::find(set.begin(), set.end(), clock) != set.end(); };
    const Eigen::Matrix3d i = Eigen::Matrix3d::Identity();
    Eigen::Matrix3d a, b;
    a << 0, 1, 0, 0, 0, 1, 1, 0, 0;
    b << 0, 0, 1, 1, 0, 0, 0, 1, 0;
    Eigen::MatrixXd star(3, 4);
    star << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
    Maps e;
    e.o = clock >= 4 && clock <= 8 ? -1.0 : 1.0;
    if (whv == "Y") {
        e.c1 = star;
        e.k1 = i;
    } else {
        const Eigen::Matrix3d c1 = in({0, 4, 5, 6, 10, 11}) ? Eigen::Matrix3d(i - a) : Eigen::Matrix3d(i - b);
        e.c1 = c1;
        e.k1 = c1.transpose();
    }
    const bool first = in({0, 1, 2, 6, 7, 8});
    e.m = i;
    e.n = -i;
    if (wlv == "y") {
        e.c2 = in({2, 8}) ? Eigen::MatrixXd(a * star) : in({4, 10}) ? Eigen::MatrixXd(b * star) : star;
        e.k2 = in({2, 8}) ? b : in({4, 10}) ? a : i;
        if (in({2, 4, 8, 10})) e.o = -e.o;
    } else if (wlv == "d") {
        const Eigen::Matrix3d c2 = first ? Eigen::Matrix3d(i - a) : Eigen::Matrix3d(i - b);
        e.c2 = c2;
        e.k2 = c2.transpose();
    } else {
        e.c2 = star;
        e.k2 = i;
        e.m = first ? Eigen::Matrix3d(i - b) : Eigen::Matrix3d(i - a);
        e.n = first ? Eigen::Matrix3d(a - i) : Eigen::Matrix3d(b - i);
    }
    e.k2 *= e.o;
    e.m *= e.o;
    return e;
}

TEST(ThreePhaseTransformer, MapsOfEveryWindingPairAndClock) {
    for (const std::string whv : {"Y", "D"}) {
        for (const std::string wlv : {"y", "d", "z"}) {
            for (int clock = 0; clock <= 13; ++clock) {
                const auto t = make({whv, wlv, clock}, ym, 0.02);
                const Maps e = expected_maps(whv, wlv, clock);
                const std::string name = whv + wlv + std::to_string(clock);
                EXPECT_EQ(t.hv_current_map, e.k1) << name;
                EXPECT_EQ(t.hv_voltage_map, e.c1) << name;
                EXPECT_EQ(t.lv_current_map, e.k2) << name;
                EXPECT_EQ(t.lv_coupling, e.m) << name;
                EXPECT_EQ(t.lv_voltage_map, e.c2) << name;
                EXPECT_EQ(t.hv_coupling, e.n) << name;
                EXPECT_EQ(t.orientation, e.o) << name;
            }
        }
    }
}

// The test potentials use phase multipliers that are not exactly -1/2 ± j√3/2.
TEST(ThreePhaseTransformer, TestPotentialsUseTheExactPhaseMultipliers) {
    const C m_b{-0.49999999999999983, -0.8660254037844387}, m_c{-0.5000000000000004, 0.8660254037844384};
    const double root3 = 1.7320508075688772;
    // Yy0 with k = 0: the HV currents are ym times the HV phase potentials.
    const C y{3e-6, -7e-6};
    // At this rating a multiplier off by one unit in the last place changes the losses.
    const double rating = 20078.09;
    const double u = rating / root3;
    const C v[] = {C(u, 0.0), u * m_b, u * m_c};
    double losses = 0.0;
    for (const C phase : v) losses += (phase * std::conj(y * phase)).real();
    const auto [p0, i0] = make({"Y", "y", 0}, y, 0.0).compute_open_circuit_parameters(rating, 400.0, sn);
    EXPECT_EQ(p0, losses);
    EXPECT_EQ(i0, std::abs(y * u) / (sn / (rating * root3)));

    // A magnitude with its sign bit set gives NaN potentials, -0.0 included.
    EXPECT_TRUE(std::isnan(make({"Y", "y", 0}, y, 0.02).compute_open_circuit_parameters(20e3, -0.0, sn).first));
}

TEST(ThreePhaseTransformer, NeutralsAndTapeOfYd1) {
    ThreePhaseTransformer t(4, 3, "Y", "d", z2, ym, 0.035, 1);
    set_balanced(t.side1, uhv / sqrt3, 0.0, {15.0, -4.0});
    set_balanced(t.side2, ulv * 0.97, -35.0, {2.0, 0.5});
    testing::TapeCheck check({&t});
    ASSERT_EQ(check.p.size(), 6);
    EXPECT_TRUE(check.evaluate().empty());
    EXPECT_EQ(t.ports[3].current, -(t.ports[0].current + t.ports[1].current + t.ports[2].current));
    expect_close(t.ports[4].current + t.ports[5].current + t.ports[6].current, 0.0, 1e-12);
    EXPECT_GT(largest_current(t), 1.0);

    // Only Re k enters the currents.
    const double before = t.ports[0].current.real();
    t.update_transformer_parameters(z2, ym, {0.035, 0.2});
    check.evaluate();
    EXPECT_EQ(t.ports[0].current.real(), before);
    t.update_transformer_parameters({0.01, 0.02}, {1e-5, 0.0}, 0.03);
    check.x[1] = 900.0;
    check.evaluate();
}

// Absorbed: conj(ym) Σ|U1|² in the magnetising branches and z2 Σ|J2|² in the
// series impedances; for these groups the LV winding currents are ±the LV phase currents.
TEST(ThreePhaseTransformer, PowerBalance) {
    for (const Group& g : {Group{"D", "y", 11}, Group{"Y", "y", 0}, Group{"Y", "z", 11}, Group{"Y", "y", 6}}) {
        auto t = make(g, ym, matched_ratio(g) * 1.01);
        set_balanced(t.side1, uhv / sqrt3 * 1.02, 3.0, {40.0, -10.0});
        set_balanced(t.side2, ulv / sqrt3, -30.0 * g.clock - 2.0, {0.5, 0.3});
        t.compute_currents(false);
        C absorbed = 0.0;
        for (const Port& port : t.ports) absorbed += port.potential() * std::conj(port.current);
        double u1_squared = 0.0, j2_squared = 0.0;
        for (std::size_t q = 0; q < 3; ++q) {
            const C u = t.whv == "Y" ? t.side1[q]->potential() - t.side1[3]->potential()
                                     : t.side1[q]->potential() - t.side1[(q + 1) % 3]->potential();
            u1_squared += std::norm(u);
            j2_squared += std::norm(t.side2[q]->current);
        }
        expect_close(absorbed, std::conj(ym) * u1_squared + z2 * j2_squared, 1e-9);
        EXPECT_GT(std::abs(absorbed), 1.0) << name_of(g);
    }
}

TEST(ThreePhaseTransformer, DataSheetTestsHaveTheirClosedForms) {
    // Star HV: rated phase voltage on each magnetising branch; delta HV: the line voltage.
    const auto [p_y, i_y] = make({"Y", "y", 0}, ym, ulv / uhv).compute_open_circuit_parameters(uhv, ulv, sn);
    EXPECT_NEAR(p_y, ym.real() * uhv * uhv, 1e-9 * p_y);
    EXPECT_NEAR(i_y, std::abs(ym) * uhv * uhv / sn, 1e-12);
    const auto [p_d, i_d] =
        make({"D", "y", 11}, ym, matched_ratio({"D", "y", 11})).compute_open_circuit_parameters(uhv, ulv, sn);
    EXPECT_NEAR(p_d, 3.0 * ym.real() * uhv * uhv, 1e-9 * p_d);
    EXPECT_NEAR(i_d, 3.0 * std::abs(ym) * uhv * uhv / sn, 1e-12);

    // Load losses: 3 r In² at the rated LV line current In.
    const auto [psc, vsc] = make({"Y", "y", 0}, ym, ulv / uhv).compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(vsc, std::abs(z2) * sn / (ulv * ulv));
    const double expected = ym.real() * std::pow(vsc * uhv, 2) + 3.0 * z2.real() * std::pow(sn / (sqrt3 * ulv), 2);
    EXPECT_NEAR(psc, expected, 1e-9 * expected);

    const double vsc_d = make({"D", "d", 0}, ym, 0.02).compute_short_circuit_parameters(uhv, ulv, sn).second;
    EXPECT_DOUBLE_EQ(vsc_d, vsc / 3.0);
}

// A star source with its neutral referenced, a Dyn11 transformer, an
// unbalanced star load whose neutral is referenced at the transformer.
struct Dyn11Network {
    std::array<C, 3> e{std::polar(uhv / sqrt3, 0.0), std::polar(uhv / sqrt3, -2.0 * std::numbers::pi / 3.0),
                       std::polar(uhv / sqrt3, 2.0 * std::numbers::pi / 3.0)};
    std::array<C, 3> s{C(80e3, 20e3), C(50e3, 10e3), C(30e3, -5e3)};
    std::array<C, 4> lv_start;
    PotentialRef hv_ref;
    VoltageSource source{4, e.data()};
    ThreePhaseTransformer transformer;
    Bus lv_bus;
    PowerLoad load{4, s.data()};
    PotentialRef lv_ref;
    ElectricalNetwork network;

    explicit Dyn11Network(C z = z2, C y = ym, double k = ulv / (sqrt3 * uhv))
        : lv_start{std::polar(ulv / sqrt3, std::numbers::pi / 6.0), std::polar(ulv / sqrt3, -std::numbers::pi / 2.0),
                   std::polar(ulv / sqrt3, 5.0 * std::numbers::pi / 6.0), 0.0},
          transformer(3, 4, "D", "y", z, y, k, 11),
          lv_bus(4, lv_start.data()),
          network(wire()) {}

    std::vector<Element*> wire() {
        const auto join = [](Port& a, Port& b) { a.connection->merge(b.connection); };
        join(source.ports[3], hv_ref.ports[0]);
        for (std::size_t q = 0; q < 3; ++q) join(source.ports[q], transformer.ports[q]);
        for (std::size_t q = 0; q < 4; ++q) {
            join(lv_bus.ports[q], transformer.ports[3 + q]);
            join(lv_bus.ports[q], load.ports[q]);
        }
        join(lv_bus.ports[3], lv_ref.ports[0]);
        return {&hv_ref, &source, &transformer, &lv_bus, &load, &lv_ref};
    }

    std::vector<C> lv_potentials() const {
        std::vector<C> v;
        for (const Port& port : lv_bus.ports) v.push_back(port.potential());
        return v;
    }
};

TEST(ThreePhaseTransformer, NewtonThroughADyn11Substation) {
    Dyn11Network n;
    Newton newton(&n.network, true);
    const auto [iterations, error] = newton.solve_load_flow(20, 1e-9);
    EXPECT_GT(iterations, 1);
    EXPECT_LE(error, 1e-9);

    for (const auto& node : n.network.connections) {
        if (node->fixed) continue;
        C sum = 0.0;
        for (const Port* q : node->ports) sum += q->current;
        EXPECT_LT(std::abs(sum), 1e-6);
    }
    std::array<C, 3> j;
    n.load.get_inner_currents(j.data());
    for (std::size_t q = 0; q < 3; ++q) {
        expect_close(n.lv_bus.ports[q].potential() * std::conj(j[q]), n.s[q], 1e-9);
        // Dyn11: the LV phases lead the HV phases by 30°, less the drop.
        const double lead = std::arg(n.lv_bus.ports[q].potential() / n.e[q]) * 180.0 / std::numbers::pi;
        EXPECT_NEAR(lead, 30.0, 3.0);
    }

    BackwardForward sweep(&n.network);
    try {
        sweep.solve_load_flow(5, 1e-9);
        ADD_FAILURE() << "the sweep went through a three-phase transformer";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
}

// The data-sheet tests run on the element's own model: the solved network keeps its state.
TEST(ThreePhaseTransformer, DataSheetTestsLeaveTheSolvedNetworkAlone) {
    Dyn11Network n;
    Newton newton(&n.network, false);
    newton.solve_load_flow(20, 1e-10);
    const auto state = [&] {
        std::vector<C> s;
        for (const Port& port : n.transformer.ports) s.insert(s.end(), {port.potential(), port.current});
        return s;
    };
    const auto before = state();
    const Eigen::VectorXd x = newton.x;
    n.transformer.compute_open_circuit_parameters(uhv, ulv, sn);
    n.transformer.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_EQ(state(), before);
    EXPECT_EQ(newton.x, x);
}

TEST(ThreePhaseTransformer, UpdatesReachTheNextSolveLikeAFreshNetwork) {
    const C z{0.006, 0.02}, y{4e-6, -1e-5};
    const double k = 0.0118;
    Dyn11Network n;
    Newton newton(&n.network, false);
    newton.solve_load_flow(20, 1e-10);
    n.transformer.update_transformer_parameters(z, y, k);
    EXPECT_LE(newton.solve_load_flow(20, 1e-10).second, 1e-10);

    Dyn11Network fresh(z, y, k);
    Newton fresh_newton(&fresh.network, false);
    fresh_newton.solve_load_flow(20, 1e-10);
    for (std::size_t q = 0; q < 4; ++q) expect_close(n.lv_potentials()[q], fresh.lv_potentials()[q], 1e-9);
}

}  // namespace
}  // namespace lfe
