#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "elements/flexible_load.hpp"
#include "logging/capture.hpp"
#include "logging/logging.hpp"
#include "network/probe_elements.hpp"
#include "solvers/dense_jacobian.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"
#include "solvers/newton_goldstein.hpp"

namespace lfe {
namespace {

using probes::Divider;
using probes::expect_near;
using probes::Law;
using testing::captured_stdout;
using testing::expect_dense_equal;
using C = std::complex<double>;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// One free node whose only element draws law(V, k).
struct Curve {
    Law law;
    ElectricalNetwork network;

    Curve(Law::ADLaw ad_law, Law::PlainLaw plain_law, C k, C start)
        : law(std::move(ad_law), std::move(plain_law), k), network({&law}) {
        law.ports[0].connection->potential.value = start;
    }
};

// Re I = vr² + k, Im I = vi.
Curve quadratic(double k, double start) {
    return {[](const ADComplex& v, const ADComplex& k) { return ADComplex(v.real() * v.real() + k.real(), v.imag()); },
            [](C v, C k) { return C(v.real() * v.real() + k.real(), v.imag()); }, C(k, 0.0), C(start, 0.0)};
}

// I = k V.
Curve linear(C k, C start = {1.0, 0.0}) {
    return {[](const ADComplex& v, const ADComplex& k) { return k * v; }, [](C v, C k) { return k * v; }, k, start};
}

std::string failure_of(AbstractSolver& solver, int max_iterations) {
    try {
        solver.solve_load_flow(max_iterations, 1e-10);
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "";
}

template <class Body>
std::string debug_log(Body&& body) {
    set_logging_config("debug");
    const auto log = captured_stdout(body);
    set_logging_config("info");
    return log;
}

TEST(Newton, LinearNetworkConvergesInOneIteration) {
    Divider d;
    Newton solver(&d.network, false);
    EXPECT_EQ(solver.x_init, Eigen::VectorXd::Zero(6));
    const auto [iterations, error] = solver.solve_load_flow(10, 1e-9);
    EXPECT_EQ(iterations, 1);
    EXPECT_LT(error, 1e-12);
    expect_near(d.node_b(), {4.0, 0.4});
    // The source draws from node A what g1 takes out of it: -g1 (e - VB).
    expect_near(d.source.ports[0].current, {-12.0, -1.2});
}

TEST(Newton, TapeAndPatternAreLoggedWhileTheyAreBuilt) {
    Divider d;
    EXPECT_EQ(debug_log([&] { Newton plain(&d.network, false); }).find("optimization"), std::string::npos);
    std::unique_ptr<Newton> solver;
    const auto recorded = debug_log([&] { solver = std::make_unique<Newton>(&d.network, true); });
    EXPECT_NE(recorded.find("----- Tape evaluation -----\n"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("----- Tape optimization -----\n"), std::string::npos) << recorded;

    // Until the first iteration every Jacobian builds the pattern again.
    EXPECT_NE(debug_log([&] { solver->compute_jacobian(); }).find("n: 6 nnz: "), std::string::npos);
    const auto first = debug_log([&] { EXPECT_EQ(solver->solve_load_flow(10, 1e-10).first, 1); });
    EXPECT_NE(first.find("----- Sparse pattern initialisation -----"), std::string::npos);
    EXPECT_TRUE(solver->initialised);
    expect_near(d.node_b(), d.expected_b());
    EXPECT_EQ(debug_log([&] { solver->compute_jacobian(); }), "");
}

TEST(Newton, IterationCountsAndLimits) {
    Curve within = linear({2.0, 0.0}, {0.0, 0.0});
    Newton at_start(&within.network, false);
    EXPECT_EQ(at_start.solve_load_flow(10, 0.0), std::make_pair(0, 0.0));
    EXPECT_FALSE(at_start.initialised);

    // No iteration still writes the currents back.
    Curve idle = linear({2.0, 1.0}, {3.0, 0.0});
    Newton no_iteration(&idle.network, false);
    EXPECT_EQ(no_iteration.solve_load_flow(0, 1e-10), std::make_pair(0, 6.0));
    EXPECT_EQ(idle.law.ports[0].current, C(6.0, 3.0));

    // The limit is not a failure; the next solve goes on from there.
    Curve root = quadratic(-4.0, 1.0);
    Newton limited(&root.network, false);
    const auto [iterations, error] = limited.solve_load_flow(2, 1e-12);
    EXPECT_EQ(iterations, 2);
    EXPECT_GT(error, 1e-12);
    EXPECT_LE(limited.solve_load_flow(20, 1e-12).second, 1e-12);
    EXPECT_NEAR(limited.x[0], 2.0, 1e-12);
}

TEST(Newton, ANaNToleranceIsRefused) {
    Curve root = quadratic(-4.0, 1.0);
    Newton solver(&root.network, false);
    try {
        solver.solve_load_flow(10, nan_value);
        FAIL();
    } catch (const std::invalid_argument& refusal) {
        EXPECT_STREQ(refusal.what(), "The tolerance must not be NaN");
    }
    EXPECT_EQ(solver.x, solver.x_init);
}

TEST(Newton, FailureMessagesCarryTheIterationCount) {
    Curve infinite = linear({infinity, 0.0});
    Newton infinite_solver(&infinite.network, false);
    EXPECT_EQ(failure_of(infinite_solver, 10), "1 NaN value encountered at iteration 0. ");

    // From vr = 1 the first step lands on vr = 0, where dRe I/dvr = 0.
    Curve singular = quadratic(1.0, 1.0);
    Newton singular_solver(&singular.network, false);
    EXPECT_EQ(failure_of(singular_solver, 10), "1 Decomposition failed, singular matrix at iteration 1. ");
    EXPECT_EQ(singular_solver.x[0], 0.0);
}

TEST(Newton, ResidualsHoldingNaNGiveANaNError) {
    // Re I = vr + 5, Im I = k vi: a finite residual, then a NaN one.
    Curve curve([](const ADComplex& v, const ADComplex& k) { return ADComplex(v.real() + 5.0, k.real() * v.imag()); },
                [](C v, C k) { return C(v.real() + 5.0, k.real() * v.imag()); }, {nan_value, 0.0}, {1.0, 0.0});
    Newton solver(&curve.network, false);
    const auto [iterations, error] = solver.solve_load_flow(0, 1e-10);
    EXPECT_EQ(iterations, 0);
    EXPECT_TRUE(std::isnan(error));
}

TEST(Newton, InfiniteCurrentsOnFixedNodesAreAFailure) {
    // A current law k / v at 0 V, on a node fixed at 0: no unknown, nothing to iterate.
    Law load([](const ADComplex&, const ADComplex& k) { return k; }, [](C v, C k) { return k / v; }, {1.0, 0.5});
    load.ports[0].connection->fixed = true;
    ElectricalNetwork network({&load});
    Newton newton(&network, false);
    NewtonGoldstein goldstein(&network, false, 0.1, 0.9, true);
    EXPECT_EQ(failure_of(newton, 10), "1 NaN value encountered at iteration 0. ");
    EXPECT_EQ(failure_of(goldstein, 10), "1 NaN value encountered at iteration 0. ");
}

TEST(Newton, SystemWithoutUnknownsRecordsNothing) {
    ElectricalNetwork empty({});
    const auto log = debug_log([&] {
        Newton solver(&empty, true);
        EXPECT_EQ(solver.solve_load_flow(5, -1.0), std::make_pair(0, 0.0));
        EXPECT_EQ(solver.get_residuals().size(), 0);
        EXPECT_EQ(solver.compute_jacobian().rows(), 0);
    });
    EXPECT_NE(log.find("----- Tape optimization -----\n"), std::string::npos);
    EXPECT_NE(log.find("Number of tape operators: 0\n"), std::string::npos);

    // A constant current on a fixed node: parameters but no unknowns.
    Law drain([](const ADComplex&, const ADComplex& k) { return k; }, [](C, C k) { return k; }, {1.5, -0.5});
    drain.ports[0].connection->fixed = true;
    ElectricalNetwork fixed({&drain});
    Newton solver(&fixed, false);
    drain.k.set({2.5, 0.5});
    EXPECT_EQ(solver.solve_load_flow(5, -1.0), std::make_pair(0, 0.0));
    EXPECT_EQ(drain.ports[0].current, C(2.5, 0.5));
}

// Solves a feeder with 1 + 3 branches of 4 buses: 5 % of the power, the
// rest of it, then twice it and other cables, all with one solver.
struct Reloaded {
    static constexpr int branches = 3;
    testing::Feeder feeder{4, {1e3, 3e2}, {0.05, 0.04}, {0.01, 0.02}, branches};
    Newton solver{feeder.network.get(), true};

    void reload(std::complex<double> power, std::complex<double> z_self, std::complex<double> z_mutual) {
        for (PowerLoad* load : feeder.loads) {
            const std::array<std::complex<double>, 3> s{power, 0.8 * power, 0.6 * power};
            for (int k = 0; k < 3; ++k) load->powers[k].set(s[k]);
        }
        const auto z = testing::four_wire_impedance(z_self, z_mutual);
        for (SimplifiedLine* line : feeder.lines) line->update_line_parameters(z.data());
    }
};

TEST(Newton, ColouringAndLuAnalysisRunOncePerSolver) {
    Reloaded r;
    EXPECT_EQ(r.solver.jacobian_work.colourings, 0);
    r.solver.solve_load_flow(20, 1e-10);
    r.reload({2e3, 6e2}, {0.06, 0.05}, {0.02, 0.01});
    r.solver.solve_load_flow(20, 1e-10);
    r.solver.compute_jacobian();
    EXPECT_EQ(r.solver.jacobian_work.colourings, 1);
    EXPECT_EQ(r.solver.lu_analyses, 1);
}

TEST(Newton, ParameterUpdatesSolveAsAFreshSolverDoes) {
    Reloaded r;
    r.solver.solve_load_flow(20, 1e-10);
    const auto before = r.feeder.potentials();
    const std::complex<double> power{4e3, 1.5e3}, z_self{0.08, 0.05}, z_mutual{0.02, 0.03};
    r.reload(power, z_self, z_mutual);
    const auto [iterations, error] = r.solver.solve_load_flow(20, 1e-10);
    EXPECT_GT(iterations, 0);
    EXPECT_LE(error, 1e-10);

    testing::Feeder fresh(4, power, z_self, z_mutual, Reloaded::branches);
    Newton fresh_solver(fresh.network.get(), false);
    fresh_solver.solve_load_flow(20, 1e-10);
    const auto v = r.feeder.potentials();
    const auto expected = fresh.potentials();
    ASSERT_EQ(v.size(), expected.size());
    for (std::size_t k = 0; k < v.size(); ++k) probes::expect_near(v[k], expected[k], 1e-8);
    // The last branch's tail phase a dropped by volts, not by rounding.
    EXPECT_GT(std::abs(before[v.size() - 4] - v[v.size() - 4]), 1.0);
}

// Compares, at every iteration, the Jacobian the loop uses with the dense
// one at the same x, then steps as Newton does.
class CheckedNewton : public AbstractNewton {
public:
    using AbstractNewton::AbstractNewton;
    int checked = 0;

    void update(const SparseMatrix& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) override {
        expect_dense_equal(*this, Eigen::MatrixXd(J));
        ++checked;
        x -= dx;
        F = get_residuals();
    }
};

// A single-phase source, a line to a hub, `spokes` lines from the hub to
// buses that each hold a power load and a flexible one. Flexible loads on
// the hub too, whose Q(U) corners lie on both sides of its voltage: the
// hub's rows are dense, and their derivatives go through conditionals.
struct FlexibleHub {
    std::vector<std::unique_ptr<Element>> elements;
    std::vector<std::unique_ptr<FlexibleParameter>> parameters;
    std::vector<SimplifiedLine*> lines;
    std::unique_ptr<ElectricalNetwork> network;

    explicit FlexibleHub(int spokes) {
        const C v0[] = {230.0}, z[] = {{0.05, 0.03}};
        auto& reference = add(std::make_unique<PotentialRef>());
        auto& source = add(std::make_unique<VoltageSource>(2, v0));
        probes::connect(source.ports[1], reference.ports[0]);
        Port& hub = line_from(source.ports[0], z).ports[1];
        for (int k = 0; k < 6; ++k) {
            // From 212 V to 232 V, around the hub's 221 V.
            const double u = 216.0 + 4.0 * k;
            add_flexible(hub, reference.ports[0], {"q_u", u - 4.0, u - 2.0, u + 2.0, u + 4.0, 200.0, 1e-3});
        }
        for (int k = 0; k < spokes; ++k) {
            Port& leaf = line_from(hub, z).ports[1];
            const C s[] = {{1.5e3, 5e2}};
            Element& load = add(std::make_unique<PowerLoad>(2, s));
            probes::connect(leaf, load.ports[0]);
            probes::connect(reference.ports[0], load.ports[1]);
            add_flexible(leaf, reference.ports[0], {"q_u", 200.0, 210.0, 220.0, 226.0, 200.0, 1e-3});
        }
        // Every node starts at the source's voltage; the reference's reads 0.
        std::vector<Element*> list;
        for (const auto& element : elements) {
            for (Port& port : element->ports) port.connection->potential.value = v0[0];
            list.push_back(element.get());
        }
        network = std::make_unique<ElectricalNetwork>(std::move(list));
    }

private:
    template <class T>
    T& add(std::unique_ptr<T> element) {
        T& ref = *element;
        elements.push_back(std::move(element));
        return ref;
    }

    SimplifiedLine& line_from(Port& node, const C* z) {
        SimplifiedLine& line = add(std::make_unique<SimplifiedLine>(1, z));
        probes::connect(node, line.ports[0]);
        lines.push_back(&line);
        return line;
    }

    void add_flexible(Port& phase, Port& neutral, const Control& q_law) {
        const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
        auto& parameter = *parameters.emplace_back(
            std::make_unique<FlexibleParameter>(constant, q_law, Projection("euclidean", 100.0, 1e-4), 3e3, -1e3, 1e3));
        const C s[] = {{1e3, 2e2}};
        Element& load = add(std::make_unique<FlexibleLoad>(2, s, std::vector<FlexibleParameter*>{&parameter}));
        probes::connect(phase, load.ports[0]);
        probes::connect(neutral, load.ports[1]);
    }
};

TEST(Newton, JacobiansEvaluatingOnlyTheLoadsEqualWholeOnes) {
    // A chain, and a hub whose head rows are too dense to colour whole.
    for (const int branches : {1, 24}) {
        testing::Feeder feeder(3, {3e3, 1e3}, {0.05, 0.04}, {0.01, 0.02}, branches);
        CheckedNewton solver(feeder.network.get(), true);
        solver.solve_load_flow(20, 1e-10);
        ASSERT_TRUE(solver.jacobian_work.varying.worthwhile);
        // Only the loads' own buses move: one pass of eight directions.
        EXPECT_EQ(solver.jacobian_work.varying.colouring.colours, 8u);
        EXPECT_EQ(solver.jacobian_work.varying.colouring.pass_start.size(), 2u);
        for (PowerLoad* load : feeder.loads) load->powers[0].set(2.0 * load->powers[0].get());
        const auto z = testing::four_wire_impedance({0.07, 0.03}, {0.02, 0.01});
        for (SimplifiedLine* line : feeder.lines) line->update_line_parameters(z.data());
        // Between solves the tape still holds the old impedances.
        solver.compute_jacobian();
        solver.solve_load_flow(20, 1e-10);
        EXPECT_GE(solver.checked, 4) << branches;
    }
}

TEST(Newton, JacobiansThroughConditionalsEqualTheDenseOne) {
    FlexibleHub hub(12);
    CheckedNewton solver(hub.network.get(), true);
    solver.solve_load_flow(20, 1e-9);
    // The hub's balance rows come by reverse mode.
    ASSERT_EQ(solver.jacobian_work.colouring.dense_rows.size(), 2u);
    const C v_hub = hub.lines[0]->ports[1].potential();
    EXPECT_NEAR(std::abs(v_hub), 221.0, 4.0);
    // Recorded at 230 V, evaluated on the other side of several corners.
    expect_dense_equal(solver, Eigen::MatrixXd(solver.compute_jacobian()));
    // A line update: the loop evaluates every entry again, from there.
    const int checked = solver.checked;
    const C z[] = {{0.06, 0.04}};
    hub.lines[0]->update_line_parameters(z);
    EXPECT_GT(solver.solve_load_flow(20, 1e-9).first, 0);
    EXPECT_GT(solver.checked, checked);
    EXPECT_EQ(solver.jacobian_work.full_evaluations, 3);
}

// After a Jacobian evaluated where the loads see 0 V, by a diagnostic or by
// the loop's own full evaluation, a solve from the start goes as a fresh
// solver's does.
TEST(Newton, AJacobianAtZeroVoltsLeavesLaterSolvesAsAFreshSolversAre) {
    const auto prefix = (std::filesystem::temp_directory_path() / "lfe_zero_volts").string();
    const std::vector<std::function<void(Reloaded&, Reloaded&)>> evaluations = {
        [](Reloaded& r, Reloaded&) { r.solver.analyse_jacobian(); },
        [&](Reloaded& r, Reloaded&) {
            // save_matrix installs no handler, and a checking build of the
            // library stops on the NaN it evaluates.
            const CppadErrorScope scope;
            r.solver.save_matrix(prefix);
        },
        [](Reloaded& r, Reloaded& fresh) {
            for (Reloaded* s : {&r, &fresh}) s->reload({2e3, 6e2}, {0.06, 0.05}, {0.02, 0.01});
            EXPECT_EQ(failure_of(r.solver, 20), "1 NaN value encountered at iteration 0. ");
        }};
    for (std::size_t k = 0; k < evaluations.size(); ++k) {
        Reloaded r, fresh;
        r.solver.solve_load_flow(20, 1e-10);
        r.solver.x.setZero();
        evaluations[k](r, fresh);
        r.solver.reset_inputs();
        const auto result = r.solver.solve_load_flow(20, 1e-10);
        const auto expected = fresh.solver.solve_load_flow(20, 1e-10);
        EXPECT_EQ(result.first, expected.first) << k;
        EXPECT_LE(result.second, 1e-10) << k;
        const Eigen::VectorXd& x = fresh.solver.x;
        EXPECT_LE((r.solver.x - x).lpNorm<Eigen::Infinity>(), 1e-12 * x.lpNorm<Eigen::Infinity>()) << k;
    }
    std::filesystem::remove(prefix + ".mtx");
    std::filesystem::remove(prefix + "_b.mtx");
}

TEST(Newton, ConstantEntriesAreEvaluatedOnceWhileTheLinesStay) {
    Reloaded r;
    r.solver.solve_load_flow(20, 1e-10);
    EXPECT_EQ(r.solver.jacobian_work.full_evaluations, 1);
    // Forced iterations at the same parameters.
    EXPECT_EQ(r.solver.solve_load_flow(3, -1.0).first, 3);
    EXPECT_EQ(r.solver.jacobian_work.full_evaluations, 1);
    // Load powers reach only the entries evaluated at every iteration.
    for (PowerLoad* load : r.feeder.loads) load->powers[1].set(1.5 * load->powers[1].get());
    EXPECT_GT(r.solver.solve_load_flow(20, 1e-10).first, 0);
    EXPECT_EQ(r.solver.jacobian_work.full_evaluations, 1);
    r.reload({2e3, 6e2}, {0.06, 0.05}, {0.02, 0.01});
    r.solver.solve_load_flow(20, 1e-10);
    EXPECT_EQ(r.solver.jacobian_work.full_evaluations, 2);
    r.solver.compute_jacobian();
    EXPECT_EQ(r.solver.jacobian_work.full_evaluations, 3);
}

int outer_calls = 0;
void outer_handler(bool, int, const char*, const char*, const char*) { ++outer_calls; }

// Reports a failed library check from inside the element computations.
C reporting(C v, C k) {
    CppAD::ErrorHandler::Call(true, 1, "element", "check", "plain check");
    return k * v;
}
ADComplex reporting_ad(const ADComplex& v, const ADComplex& k) {
    CppAD::ErrorHandler::Call(true, 1, "element", "check", "recorded check");
    return k * v;
}

TEST(Newton, OperationsHoldTheHandlerAndGiveTheOuterOneBack) {
    CppAD::ErrorHandler outer(outer_handler);
    outer_calls = 0;
    Curve curve(reporting_ad, reporting, {2.0, 0.0}, {1.0, 0.0});
    std::unique_ptr<Newton> solver;
    const auto recorded = captured_stdout([&] { solver = std::make_unique<Newton>(&curve.network, false); });
    EXPECT_NE(recorded.find("Error from a known source:\nrecorded check\n"), std::string::npos) << recorded;
    const auto solved = captured_stdout([&] { solver->solve_load_flow(5, 1e-10); });
    EXPECT_NE(solved.find("plain check"), std::string::npos) << solved;
    EXPECT_EQ(outer_calls, 0);

    curve.law.k.set({infinity, 0.0});
    EXPECT_EQ(failure_of(*solver, 5), "1 NaN value encountered at iteration 0. ");
    CppAD::ErrorHandler::Call(true, 1, "test", "outer", "");
    EXPECT_EQ(outer_calls, 1);
}

TEST(Newton, FailedRecordingLeavesLaterRecordingsClean) {
    // `leak` records its current, then `rejecting` stops the recording.
    Curve leak = linear({2.0, 0.0}, {1.0, 0.0});
    Law rejecting([](const ADComplex&, const ADComplex&) -> ADComplex { throw std::runtime_error("rejected"); },
                  [](C, C k) { return k; });
    ElectricalNetwork broken({&leak.law, &rejecting});
    EXPECT_THROW(Newton(&broken, false), std::runtime_error);
    // The failed solver handed back the records it had bound.
    EXPECT_EQ(leak.law.ports[0].potential(), C(1.0, 0.0));

    // A node of the next network also holds leak's port, whose current from
    // the abandoned recording is not the next network's to count.
    Divider d;
    probes::connect(d.upper.ports[1], leak.law.ports[0]);
    const auto log = captured_stdout([&] {
        Newton solver(&d.network, false);
        EXPECT_EQ(solver.solve_load_flow(10, 1e-10).first, 1);
    });
    EXPECT_EQ(log, "");
    expect_near(d.node_b(), d.expected_b());
}

}  // namespace
}  // namespace lfe
