#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "network/probe_elements.hpp"
#include "solvers/dense_jacobian.hpp"
#include "solvers/feeder.hpp"
#include "solvers/newton.hpp"
#include "tape_check.hpp"

namespace lfe {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<int> positions_of(const ElectricalNetwork& network, std::initializer_list<const Element*> wanted) {
    std::vector<int> positions;
    for (const Element* e : wanted)
        positions.push_back(static_cast<int>(std::find(network.elements.begin(), network.elements.end(), e) -
                                             network.elements.begin()));
    std::sort(positions.begin(), positions.end());
    return positions;
}

// A directory of its own for each test, removed afterwards.
class Diagnostics : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("lfe_" + std::string(test->name()) + "_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
};

// Source e = 10 + j on node A (start potential 1 + 2j), conductance g = 2
// from A to a fixed node: x = (V_A, j) = (1, 2, 0, 0), F = (2, 4, -9, 1).
struct Divider {
    probes::Source source{{10.0, 1.0}};
    probes::Conductance conductance{{2.0, 0.0}};
    ElectricalNetwork network{connect()};

    std::vector<Element*> connect() {
        probes::connect(source.ports[0], conductance.ports[0]);
        source.ports[0].connection->potential.value = {1.0, 2.0};
        conductance.ports[1].connection->fixed = true;
        return {&source, &conductance};
    }
};

TEST_F(Diagnostics, SaveMatrixWritesBothMarketFiles) {
    Divider divider;
    Newton solver(&divider.network, false);
    solver.save_matrix((dir / "divider").string());

    EXPECT_EQ(read_file(dir / "divider.mtx"),
              "%%MatrixMarket matrix coordinate  real general\n"
              "4 4 8\n"
              "1 1 2.00000000000000000e+00\n"
              "2 1 0.00000000000000000e+00\n"
              "3 1 1.00000000000000000e+00\n"
              "1 2 0.00000000000000000e+00\n"
              "2 2 2.00000000000000000e+00\n"
              "4 2 1.00000000000000000e+00\n"
              "1 3 1.00000000000000000e+00\n"
              "2 4 1.00000000000000000e+00\n");
    EXPECT_EQ(read_file(dir / "divider_b.mtx"),
              "%%MatrixMarket matrix array real general\n"
              "4 1\n"
              "2.00000000000000000e+00\n"
              "4.00000000000000000e+00\n"
              "-9.00000000000000000e+00\n"
              "1.00000000000000000e+00\n");
}

TEST_F(Diagnostics, AJacobianWithoutEntriesHasOnlyItsHeaderAndEveryColumnEmpty) {
    const std::complex<double> v0 = 230.0;
    Bus bus(1, &v0);
    ElectricalNetwork network({&bus});
    Newton solver(&network, false);
    solver.save_matrix((dir / "bus").string());

    EXPECT_EQ(read_file(dir / "bus.mtx"), "%%MatrixMarket matrix coordinate  real general\n2 2 0\n");
    EXPECT_EQ(read_file(dir / "bus_b.mtx"),
              "%%MatrixMarket matrix array real general\n2 1\n"
              "0.00000000000000000e+00\n0.00000000000000000e+00\n");
    EXPECT_EQ(solver.analyse_jacobian(), (std::pair<std::vector<int>, std::vector<int>>{{0}, {}}));
}

TEST_F(Diagnostics, SaveMatrixNamesAFileItCannotWrite) {
    Divider divider;
    Newton solver(&divider.network, false);
    const std::string missing = (dir / "no_such_directory" / "divider").string();
    try {
        solver.save_matrix(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing + ".mtx"), std::string::npos) << e.what();
    }

    // The disk fills up while the residuals are written.
    fs::create_symlink("/dev/full", dir / "full_b.mtx");
    const std::string full = (dir / "full").string();
    try {
        solver.save_matrix(full);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(full + "_b.mtx"), std::string::npos) << e.what();
    }
}

TEST_F(Diagnostics, SaveMatrixRefusesAPrefixWithANulAndWritesNothing) {
    Divider divider;
    Newton solver(&divider.network, false);
    const std::string prefix = (dir / "divider").string() + std::string(1, '\0') + "more";
    try {
        solver.save_matrix(prefix);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "The file prefix holds a NUL character");
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(AnalyseJacobian, AHealthyNetworkGivesTwoEmptyLists) {
    testing::Feeder feeder(3, {4e3, 1e3});
    Newton solver(feeder.network.get(), false);
    EXPECT_EQ(solver.analyse_jacobian(), (std::pair<std::vector<int>, std::vector<int>>{}));
    solver.solve_load_flow(10, 1e-9);
    EXPECT_EQ(solver.analyse_jacobian(), (std::pair<std::vector<int>, std::vector<int>>{}));
}

TEST(AnalyseJacobian, NamesTheElementsOfNodesThatNothingDependsOn) {
    testing::Feeder feeder(2, {4e3, 1e3});
    // A ground alone on its node, and a node joined to the reference through
    // a conductance of zero: its column holds entries, all of them zero.
    Ground floating;
    probes::Conductance open{{0.0, 0.0}};
    open.ports[1].connection->merge(feeder.buses[0]->ports[3].connection);
    auto elements = feeder.network->elements;
    elements.push_back(&floating);
    elements.push_back(&open);
    ElectricalNetwork network(std::move(elements));
    Newton solver(&network, false);

    const auto [empty_columns, bad_rows] = solver.analyse_jacobian();
    EXPECT_EQ(empty_columns, positions_of(network, {&floating, &open}));
    EXPECT_TRUE(bad_rows.empty());
}

TEST(AnalyseJacobian, NamesALoadOnANodeWithZeroPotentialThroughItsNonFiniteRows) {
    testing::Feeder feeder(3, {4e3, 1e3});
    // Phase a of the second bus starts on its (unreferenced) neutral's potential.
    feeder.buses[2]->ports[0].connection->potential.value = 0.0;
    Newton solver(feeder.network.get(), false);

    const auto [empty_columns, bad_rows] = solver.analyse_jacobian();
    EXPECT_TRUE(empty_columns.empty());
    EXPECT_EQ(bad_rows, positions_of(*feeder.network, {feeder.loads[1]}));
}

TEST(AnalyseJacobian, ReadsTheSolversOwnRecording) {
    testing::Feeder feeder(3, {4e3, 1e3});
    auto& phase_a = feeder.buses[2]->ports[0].connection->potential.value;
    const std::complex<double> live = phase_a;
    phase_a = 0.0;
    Newton first(feeder.network.get(), false);
    const auto before = first.analyse_jacobian();
    // A later recording of the same elements, with every current finite.
    phase_a = live;
    Newton second(feeder.network.get(), false);
    EXPECT_EQ(second.analyse_jacobian(), (std::pair<std::vector<int>, std::vector<int>>{}));
    EXPECT_EQ(first.analyse_jacobian(), before);
    EXPECT_EQ(before.second, positions_of(*feeder.network, {feeder.loads[1]}));
}

// A feeder whose last neutral is earthed by a reference the network does not
// list, a ground alone on its node, and last an element with unknowns of its
// own whose equations are not linear.
struct EarthedFeeder {
    testing::Feeder feeder{3, {4e3, 1e3}};
    std::unique_ptr<PotentialRef> earth = std::make_unique<PotentialRef>();
    Ground floating;
    probes::Source lone{{1.0, 0.0}};
    ElectricalNetwork network{connect()};

    std::vector<Element*> connect() {
        feeder.buses.back()->ports[3].connection->merge(earth->ports[0].connection);
        auto elements = feeder.network->elements;
        elements.push_back(&floating);
        elements.push_back(&lone);
        return elements;
    }
};

TEST_F(Diagnostics, ReadTheLayoutTheTapeWasRecordedWith) {
    for (const bool destroyed : {false, true}) {
        EarthedFeeder kept, fresh;
        Newton solver(&kept.network, false), expected(&fresh.network, false);
        // One node more is free than when the tape was recorded.
        if (destroyed)
            kept.earth.reset();
        else
            kept.earth->disconnect();
        ASSERT_FALSE(kept.feeder.buses.back()->ports[3].connection->fixed);

        solver.save_matrix((dir / "kept").string());
        expected.save_matrix((dir / "fresh").string());
        for (const char* suffix : {".mtx", "_b.mtx"})
            EXPECT_EQ(read_file(dir / ("kept" + std::string(suffix))), read_file(dir / ("fresh" + std::string(suffix))))
                << suffix << " destroyed " << destroyed;
        EXPECT_EQ(solver.analyse_jacobian(), expected.analyse_jacobian());
        EXPECT_EQ(solver.analyse_jacobian().first, positions_of(kept.network, {&kept.floating}));
        testing::expect_dense_equal(solver, Eigen::MatrixXd(solver.compute_jacobian()));
    }
}

TEST(DenseJacobian, MatchesFiniteDifferencesOfTheResiduals) {
    testing::Feeder feeder(2, {6e3, 2e3});
    Newton solver(feeder.network.get(), false);
    solver.solve_load_flow(1, 1e-9);  // away from the symmetric start

    const Eigen::Index n = solver.x.size();
    const Eigen::VectorXd dense = solver.dense_jacobian();
    ASSERT_EQ(dense.size(), n * n);
    const Eigen::MatrixXd sparse = Eigen::MatrixXd(solver.compute_jacobian());
    for (Eigen::Index j = 0; j < n; ++j) {
        const double x = solver.x[j];
        const double h = 1e-6 * (1.0 + std::abs(x));
        solver.x[j] = x + h;
        const Eigen::VectorXd up = solver.get_residuals();
        solver.x[j] = x - h;
        const Eigen::VectorXd down = solver.get_residuals();
        solver.x[j] = x;
        for (Eigen::Index i = 0; i < n; ++i) {
            const double entry = dense[i * n + j];
            EXPECT_NEAR(entry, (up[i] - down[i]) / (2.0 * h), 1e-5 * (1.0 + std::abs(entry))) << i << ", " << j;
            EXPECT_EQ(entry, sparse(i, j)) << i << ", " << j;
        }
    }
}

TEST(DenseJacobian, EqualsTheSparseOneOnAHubFeeder) {
    // 24 branches leave the head: its balance rows hold more than 200 entries.
    testing::Feeder feeder(2, {3e3, 1e3}, {0.05, 0.04}, {0.01, 0.02}, 24);
    Newton solver(feeder.network.get(), false);
    solver.solve_load_flow(1, 1e-9);  // away from the symmetric start
    const Newton::SparseMatrix J = solver.compute_jacobian();
    const Eigen::MatrixXd sparse = Eigen::MatrixXd(J);

    // Stored column by column with rows ascending, as the LU and the lists of
    // positions take it; the pattern lists the entries in that order.
    const auto& pattern = solver.jacobian_work.pattern;
    ASSERT_EQ(pattern.nnz(), static_cast<std::size_t>(J.nonZeros()));
    for (Eigen::Index j = 0; j < J.outerSize(); ++j)
        for (int k = J.outerIndexPtr()[j]; k < J.outerIndexPtr()[j + 1]; ++k) {
            if (k > J.outerIndexPtr()[j]) {
                EXPECT_LT(J.innerIndexPtr()[k - 1], J.innerIndexPtr()[k]);
            }
            EXPECT_EQ(pattern.row()[static_cast<std::size_t>(k)], static_cast<std::size_t>(J.innerIndexPtr()[k]));
            EXPECT_EQ(pattern.col()[static_cast<std::size_t>(k)], static_cast<std::size_t>(j));
        }

    // The balance rows of the head's phases (its neutral is the reference)
    // come by reverse mode; the others need no more colours than three buses
    // have unknowns, and the head's own columns.
    const auto& colouring = solver.jacobian_work.colouring;
    EXPECT_EQ(colouring.dense_rows.size(), 6u);
    EXPECT_LE(colouring.colours, 32u);
    testing::expect_dense_equal(solver, sparse);
}

TEST_F(Diagnostics, ParameterUpdatesShowOnlyAfterTheNextSolve) {
    Divider divider;
    Newton solver(&divider.network, false);
    const auto prefix = (dir / "divider").string();
    const Eigen::VectorXd residuals = solver.get_residuals();
    const Eigen::VectorXd jacobian = solver.dense_jacobian();
    solver.save_matrix(prefix);
    const std::string file = read_file(prefix + ".mtx");

    divider.conductance.g.set({3.0, 0.0});
    divider.source.e.set({20.0, 0.0});
    EXPECT_EQ(solver.get_residuals(), residuals);
    EXPECT_EQ(solver.dense_jacobian(), jacobian);
    solver.save_matrix(prefix);
    EXPECT_EQ(read_file(prefix + ".mtx"), file);

    solver.solve_load_flow(0, 1e-9);
    EXPECT_EQ(solver.get_residuals(), Eigen::Vector4d(3.0, 6.0, -19.0, 2.0));
    EXPECT_EQ(solver.dense_jacobian()[0], 3.0);
    solver.save_matrix(prefix);
    EXPECT_NE(read_file(prefix + ".mtx"), file);
}

}  // namespace
}  // namespace lfe
