#include <cmath>
#include <fstream>
#include <set>
#include <stdexcept>

#include "logging/logging.hpp"
#include "newton.hpp"

namespace lfe {

namespace {

using SparseMatrix = AbstractNewton::SparseMatrix;

std::ofstream open_market_file(const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out) throw std::runtime_error("Cannot open the file " + path + " for writing");
    out.flags(std::ios_base::scientific);
    out.precision(17);
    return out;
}

// Closing flushes: a full disk shows only here.
void close_market_file(std::ofstream& out, const std::string& path) {
    out.close();
    if (!out) throw std::runtime_error("Cannot write the file " + path);
}

void write_jacobian(const SparseMatrix& J, const std::string& path) {
    auto out = open_market_file(path);
    out << "%%MatrixMarket matrix coordinate  real general\n";
    out << J.rows() << ' ' << J.cols() << ' ' << J.nonZeros() << '\n';
    for (Eigen::Index c = 0; c < J.outerSize(); ++c)
        for (SparseMatrix::InnerIterator it(J, c); it; ++it)
            out << it.row() + 1 << ' ' << c + 1 << ' ' << it.value() << '\n';
    close_market_file(out, path);
}

void write_residuals(const Eigen::VectorXd& F, const std::string& path) {
    auto out = open_market_file(path);
    out << "%%MatrixMarket matrix array real general\n";
    out << F.size() << ' ' << 1 << '\n';
    for (const double f : F) out << f << '\n';
    close_market_file(out, path);
}

struct JacobianFindings {
    std::vector<long> empty_columns;
    std::set<long> bad_rows;
};

// A column is empty when none of its stored values differs from zero (a NaN
// does); a row is bad when it stores an infinite or NaN value.
JacobianFindings inspect(const SparseMatrix& J) {
    JacobianFindings findings;
    for (Eigen::Index c = 0; c < J.outerSize(); ++c) {
        bool empty = true;
        for (SparseMatrix::InnerIterator it(J, c); it; ++it) {
            if (it.value() != 0.0) empty = false;
            if (!std::isfinite(it.value())) findings.bad_rows.insert(it.row());
        }
        if (empty) findings.empty_columns.push_back(c);
    }
    return findings;
}

}  // namespace

void AbstractNewton::save_matrix(const std::string& prefix) {
    // Files are opened by C string, which a NUL would cut short.
    if (prefix.find('\0') != std::string::npos)
        throw std::invalid_argument("The file prefix holds a NUL character");
    const Eigen::VectorXd F = get_residuals();
    const SparseMatrix J = compute_jacobian();
    write_jacobian(J, prefix + ".mtx");
    write_residuals(F, prefix + "_b.mtx");
}

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
    const CppadErrorScope scope;
    const JacobianFindings findings = inspect(compute_jacobian());
    const std::vector<long> bad_rows(findings.bad_rows.begin(), findings.bad_rows.end());
    return {network->find_elements(findings.empty_columns, recording),
            network->find_elements(bad_rows, recording)};
}

Eigen::VectorXd AbstractNewton::dense_jacobian() {
    // A tape without unknowns has no independent variable to differentiate by.
    if (x.size() == 0) return {};
    return tape.Jacobian(x);
}

}  // namespace lfe
