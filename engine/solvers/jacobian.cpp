#include "jacobian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <spdlog/spdlog.h>

namespace lfe {

namespace {

using Pattern = JacobianWork::Pattern;
using SparseMatrix = JacobianWork::Matrix;


// Every entry any x can reach, in the library's order.
Pattern sparsity_of(CppAD::ADFun<double>& tape, std::size_t n) {
    Pattern identity(n, n, n);
    for (std::size_t k = 0; k < n; ++k) identity.set(k, k, k);
    Pattern found;
    tape.for_jac_sparsity(identity, false, false, false, found);
    return found;
}

// The compressed Jacobian of a pattern given in any order, values zero:
// entries placed column by column as they come, a counting sort linear in
// their number; a column whose rows came out of order is sorted on its own.
SparseMatrix structure_of(const Pattern& pattern) {
    SparseMatrix J(static_cast<Eigen::Index>(pattern.nr()), static_cast<Eigen::Index>(pattern.nc()));
    J.resizeNonZeros(static_cast<Eigen::Index>(pattern.nnz()));
    int* start = J.outerIndexPtr();
    for (std::size_t k = 0; k < pattern.nnz(); ++k) ++start[pattern.col()[k] + 1];
    for (std::size_t j = 0; j < pattern.nc(); ++j) start[j + 1] += start[j];
    std::vector<int> next(start, start + pattern.nc());
    int* rows = J.innerIndexPtr();
    for (std::size_t k = 0; k < pattern.nnz(); ++k) rows[next[pattern.col()[k]]++] = static_cast<int>(pattern.row()[k]);
    for (std::size_t j = 0; j < pattern.nc(); ++j)
        if (!std::is_sorted(rows + start[j], rows + start[j + 1])) std::sort(rows + start[j], rows + start[j + 1]);
    std::fill_n(J.valuePtr(), pattern.nnz(), 0.0);
    return J;
}

// The entries of J in the order it stores them: column by column, rows ascending.
Pattern pattern_of(const SparseMatrix& J) {
    Pattern pattern(static_cast<std::size_t>(J.rows()), static_cast<std::size_t>(J.cols()),
                    static_cast<std::size_t>(J.nonZeros()));
    for (Eigen::Index j = 0; j < J.outerSize(); ++j)
        for (int k = J.outerIndexPtr()[j]; k < J.outerIndexPtr()[j + 1]; ++k)
            pattern.set(static_cast<std::size_t>(k), static_cast<std::size_t>(J.innerIndexPtr()[k]),
                        static_cast<std::size_t>(j));
    return pattern;
}

// A reverse pass costs about this many forward passes of jacobian_group_max
// directions.
constexpr double reverse_pass_cost = 0.6;

// The rows left to reverse mode: the densest ones, as many as minimises the
// reverse passes plus the forward passes that the densest remaining row
// forces (it needs a colour per entry).
std::vector<bool> dense_rows_of(const std::vector<std::size_t>& row_sizes) {
    std::vector<std::size_t> order(row_sizes.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return row_sizes[a] > row_sizes[b]; });
    const auto cost = [&](std::size_t reversed) {
        const std::size_t widest = reversed < order.size() ? row_sizes[order[reversed]] : 0;
        const auto passes = static_cast<double>((widest + jacobian_group_max - 1) / jacobian_group_max);
        return reverse_pass_cost * static_cast<double>(reversed) + passes;
    };
    std::size_t best = 0;
    for (std::size_t k = 1; k <= order.size(); ++k)
        if (cost(k) < cost(best)) best = k;
    std::vector<bool> dense(row_sizes.size(), false);
    for (std::size_t k = 0; k < best; ++k) dense[order[k]] = true;
    return dense;
}

// Entries of J valued by their positions in J's values.
using PositionMatrix = Eigen::SparseMatrix<int>;
using PositionRows = Eigen::SparseMatrix<int, Eigen::RowMajor>;

constexpr std::size_t uncoloured = std::numeric_limits<std::size_t>::max();

PositionMatrix positions_of(const SparseMatrix& J, const std::vector<bool>& kept) {
    std::vector<Eigen::Triplet<int>> entries;
    for (Eigen::Index j = 0; j < J.outerSize(); ++j)
        for (SparseMatrix::InnerIterator entry(J, j); entry; ++entry) {
            const auto position = static_cast<int>(&entry.value() - J.valuePtr());
            if (kept[static_cast<std::size_t>(position)]) entries.emplace_back(entry.row(), j, position);
        }
    PositionMatrix positions(J.rows(), J.cols());
    positions.setFromTriplets(entries.begin(), entries.end());
    return positions;
}

// Greedy colouring of the columns such that no two columns of one colour
// share a row outside the dense ones. Each column looks at the entries of
// its rows only, so the cost is the nonzeros times the width of the widest
// coloured row. Returns the colour of every column; one with no entry
// outside the dense rows needs none.
std::vector<std::size_t> greedy_colours(const PositionMatrix& J, const PositionRows& rows,
                                        const std::vector<bool>& dense) {
    std::vector<std::size_t> colour(static_cast<std::size_t>(J.cols()), uncoloured);
    // forbidden[k] == j: colour k is taken by a column sharing a row with j.
    std::vector<std::size_t> forbidden;
    for (std::size_t j = 0; j < colour.size(); ++j) {
        bool needed = false;
        for (PositionMatrix::InnerIterator entry(J, static_cast<Eigen::Index>(j)); entry; ++entry) {
            if (dense[static_cast<std::size_t>(entry.row())]) continue;
            needed = true;
            for (PositionRows::InnerIterator other(rows, entry.row()); other; ++other) {
                const std::size_t k = colour[static_cast<std::size_t>(other.col())];
                if (k != uncoloured) forbidden[k] = j;
            }
        }
        if (!needed) continue;
        std::size_t k = 0;
        while (k < forbidden.size() && forbidden[k] == j) ++k;
        if (k == forbidden.size()) forbidden.push_back(uncoloured);
        colour[j] = k;
    }
    return colour;
}

// Buckets the coloured columns by colour and splits the colours into equal passes.
void group_by_colour(JacobianColouring& c, const std::vector<std::size_t>& colour) {
    c.colours = 0;
    for (const std::size_t k : colour)
        if (k != uncoloured) c.colours = std::max(c.colours, k + 1);
    const std::size_t passes = (c.colours + jacobian_group_max - 1) / jacobian_group_max;
    c.directions = passes == 0 ? 0 : (c.colours + passes - 1) / passes;
    c.colour_start.assign(c.colours + 1, 0);
    for (const std::size_t k : colour)
        if (k != uncoloured) ++c.colour_start[k + 1];
    for (std::size_t k = 0; k < c.colours; ++k) c.colour_start[k + 1] += c.colour_start[k];
    c.columns.resize(c.colour_start.back());
    std::vector<std::size_t> next(c.colour_start.begin(), c.colour_start.end() - 1);
    for (std::size_t j = 0; j < colour.size(); ++j)
        if (colour[j] != uncoloured) c.columns[next[colour[j]]++] = j;
}

// Where each pass's results go in J's values.
void list_forward_entries(JacobianColouring& c, const PositionMatrix& J) {
    c.pass_start.assign(1, 0);
    for (std::size_t first = 0; first < c.colours; first += c.directions) {
        const std::size_t last = std::min(first + c.directions, c.colours);
        for (std::size_t colour = first; colour < last; ++colour)
            for (std::size_t k = c.colour_start[colour]; k < c.colour_start[colour + 1]; ++k)
                for (PositionMatrix::InnerIterator entry(J, static_cast<Eigen::Index>(c.columns[k])); entry; ++entry)
                    if (!c.dense[static_cast<std::size_t>(entry.row())])
                        c.forward_entries.emplace_back(
                            entry.value(),
                            static_cast<int>(static_cast<std::size_t>(entry.row()) * c.directions + colour - first));
        c.pass_start.push_back(c.forward_entries.size());
    }
}

// Where each reverse pass's results go in J's values.
void list_dense_entries(JacobianColouring& c, const PositionRows& rows) {
    c.dense_start.assign(1, 0);
    for (std::size_t i = 0; i < c.dense.size(); ++i) {
        if (!c.dense[i]) continue;
        c.dense_rows.push_back(i);
        for (PositionRows::InnerIterator entry(rows, static_cast<Eigen::Index>(i)); entry; ++entry)
            c.dense_entries.emplace_back(static_cast<std::size_t>(entry.value()),
                                         static_cast<std::size_t>(entry.col()));
        c.dense_start.push_back(c.dense_entries.size());
    }
}

JacobianColouring colour_columns(const PositionMatrix& J) {
    const PositionRows rows = J;
    std::vector<std::size_t> row_sizes(static_cast<std::size_t>(J.rows()));
    for (std::size_t i = 0; i < row_sizes.size(); ++i)
        row_sizes[i] = static_cast<std::size_t>(rows.innerVector(static_cast<Eigen::Index>(i)).nonZeros());
    JacobianColouring c;
    c.dense = dense_rows_of(row_sizes);
    group_by_colour(c, greedy_colours(J, rows, c.dense));
    list_forward_entries(c, J);
    list_dense_entries(c, rows);
    return c;
}

double evaluation_cost(const JacobianColouring& c) {
    return static_cast<double>(c.pass_start.size() - 1) + reverse_pass_cost * static_cast<double>(c.dense_rows.size());
}

// The entries that an element whose equations are not linear reaches: a row
// and a column among its unknowns.
std::vector<bool> varying_positions(const SparseMatrix& J, const ElectricalNetwork::Layout& layout) {
    const std::vector<std::size_t>& starts = layout.nonlinear_starts;
    const std::size_t elements = starts.size() - 1;
    std::vector<bool> varying(static_cast<std::size_t>(J.nonZeros()), false);
    std::vector<std::size_t> reached_by(static_cast<std::size_t>(J.rows()), elements);
    for (std::size_t e = 0; e < elements; ++e) {
        const auto begin = layout.nonlinear_unknowns.begin() + static_cast<std::ptrdiff_t>(starts[e]);
        const auto end = layout.nonlinear_unknowns.begin() + static_cast<std::ptrdiff_t>(starts[e + 1]);
        for (auto k = begin; k != end; ++k) reached_by[static_cast<std::size_t>(*k)] = e;
        for (auto j = begin; j != end; ++j)
            for (SparseMatrix::InnerIterator entry(J, *j); entry; ++entry)
                if (reached_by[static_cast<std::size_t>(entry.row())] == e)
                    varying[static_cast<std::size_t>(&entry.value() - J.valuePtr())] = true;
    }
    return varying;
}

// In a forward pass, a row's result for one colour is the sum of its entries
// in the columns of that colour: the varying one, plus the constant ones.
// Lists them as (the varying entry's place in forward_entries, the constant
// entry's position in J's values).
std::vector<std::pair<int, int>> list_overlaps(const PositionRows& rows, const std::vector<bool>& varying,
                                               const JacobianColouring& c) {
    std::vector<std::size_t> colour(static_cast<std::size_t>(rows.cols()), uncoloured);
    for (std::size_t k = 0; k < c.colours; ++k)
        for (std::size_t i = c.colour_start[k]; i < c.colour_start[k + 1]; ++i) colour[c.columns[i]] = k;
    std::vector<int> forward_entry(varying.size(), -1);
    for (std::size_t e = 0; e < c.forward_entries.size(); ++e)
        forward_entry[static_cast<std::size_t>(c.forward_entries[e].first)] = static_cast<int>(e);
    const auto colour_of = [&](const PositionRows::InnerIterator& entry) {
        return colour[static_cast<std::size_t>(entry.col())];
    };
    const auto is_varying = [&](const PositionRows::InnerIterator& entry) {
        return varying[static_cast<std::size_t>(entry.value())];
    };
    std::vector<int> varying_in(c.colours, -1);
    std::vector<std::pair<int, int>> overlaps;
    for (Eigen::Index i = 0; i < rows.rows(); ++i) {
        if (c.dense[static_cast<std::size_t>(i)]) continue;
        for (PositionRows::InnerIterator entry(rows, i); entry; ++entry)
            if (is_varying(entry)) varying_in[colour_of(entry)] = forward_entry[static_cast<std::size_t>(entry.value())];
        for (PositionRows::InnerIterator entry(rows, i); entry; ++entry)
            if (!is_varying(entry) && colour_of(entry) != uncoloured && varying_in[colour_of(entry)] >= 0)
                overlaps.emplace_back(varying_in[colour_of(entry)], entry.value());
        for (PositionRows::InnerIterator entry(rows, i); entry; ++entry)
            if (is_varying(entry)) varying_in[colour_of(entry)] = -1;
    }
    return overlaps;
}

VaryingEntries varying_entries(const SparseMatrix& J, const PositionRows& rows,
                               const ElectricalNetwork::Layout& layout, const JacobianColouring& full) {
    const std::vector<bool> varying = varying_positions(J, layout);
    VaryingEntries v;
    v.colouring = colour_columns(positions_of(J, varying));
    v.overlaps = list_overlaps(rows, varying, v.colouring);
    v.worthwhile = evaluation_cost(v.colouring) < evaluation_cost(full);
    return v;
}

}  // namespace

void JacobianWork::build(CppAD::ADFun<double>& tape, const ElectricalNetwork::Layout& layout) {
    const std::size_t n = tape.Domain();
    jacobian = structure_of(sparsity_of(tape, n));
    pattern = pattern_of(jacobian);
    const PositionMatrix positions =
        positions_of(jacobian, std::vector<bool>(static_cast<std::size_t>(jacobian.nonZeros()), true));
    colouring = colour_columns(positions);
    varying = varying_entries(jacobian, positions, layout, colouring);
    varying.parameters = layout.linear_parameter_ranges;
    constants_current = false;
    ++colourings;
    row_weights = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(tape.Range()));
    spdlog::debug("----- Sparse pattern initialisation -----");
    spdlog::debug("n: {0:d} nnz: {1:d}", n, pattern.nnz());
}

SparseMatrix JacobianWork::evaluate_whole(CppAD::ADFun<double>& tape) {
    SparseMatrix J = jacobian;
    fill_whole(tape, J.valuePtr());
    return J;
}

const SparseMatrix& JacobianWork::evaluate_in_loop(CppAD::ADFun<double>& tape, const Eigen::VectorXd& p) {
    double* values = jacobian.valuePtr();
    if (constants_current) {
        fill_dense_rows(tape, varying.colouring, values);
        fill_coloured_columns(tape, varying.colouring, values, overlap_sums.data());
        return jacobian;
    }
    fill_whole(tape, values);
    // A load at 0 V makes its whole row NaN in forward mode, constant entries
    // included: kept, they would fail every later iteration, from any x.
    constants_current = varying.worthwhile && jacobian.coeffs().allFinite();
    if (constants_current) keep_constants(p);
    return jacobian;
}

void JacobianWork::check_parameters(const Eigen::VectorXd& p) {
    if (constants_current && parameters_of_constants(p) != constant_parameters) constants_current = false;
}

void JacobianWork::fill_whole(CppAD::ADFun<double>& tape, double* values) {
    if (jacobian.nonZeros() == 0) return;
    fill_dense_rows(tape, colouring, values);
    fill_coloured_columns(tape, colouring, values, nullptr);
    ++full_evaluations;
}

void JacobianWork::keep_constants(const Eigen::VectorXd& p) {
    constant_parameters = parameters_of_constants(p);
    overlap_sums.assign(varying.colouring.forward_entries.size(), 0.0);
    const double* values = jacobian.valuePtr();
    for (const auto& [entry, constant] : varying.overlaps)
        overlap_sums[static_cast<std::size_t>(entry)] += values[constant];
}

std::vector<double> JacobianWork::parameters_of_constants(const Eigen::VectorXd& p) const {
    std::vector<double> values;
    for (const auto& [begin, end] : varying.parameters) values.insert(values.end(), p.data() + begin, p.data() + end);
    return values;
}

// Before the forward passes: reverse mode wants the tape's Taylor values in a
// single direction, as the zero-order pass leaves them. One plain pass per
// row, through the whole tape: the library's passes on a row's subgraph drop
// the branch of a conditional expression not taken at recording.
void JacobianWork::fill_dense_rows(CppAD::ADFun<double>& tape, const JacobianColouring& c, double* values) {
    for (std::size_t k = 0; k < c.dense_rows.size(); ++k) {
        const auto row = static_cast<Eigen::Index>(c.dense_rows[k]);
        row_weights[row] = 1.0;
        row_derivatives = tape.Reverse(1, row_weights);
        row_weights[row] = 0.0;
        for (std::size_t e = c.dense_start[k]; e < c.dense_start[k + 1]; ++e)
            values[c.dense_entries[e].first] = row_derivatives[static_cast<Eigen::Index>(c.dense_entries[e].second)];
    }
}

// `overlaps`, when given, holds what to take off each forward entry.
void JacobianWork::fill_coloured_columns(CppAD::ADFun<double>& tape, const JacobianColouring& c, double* values,
                                         const double* overlaps) {
    const std::size_t r = c.directions;
    const auto n = static_cast<Eigen::Index>(tape.Domain());
    // Zero between passes, so only a change of width clears it.
    if (forward_seeds.size() != n * static_cast<Eigen::Index>(r)) forward_seeds.setZero(n * static_cast<Eigen::Index>(r));
    for (std::size_t first = 0; first < c.colours; first += r) {
        const std::size_t last = std::min(first + r, c.colours);
        for (std::size_t colour = first; colour < last; ++colour)
            for (std::size_t k = c.colour_start[colour]; k < c.colour_start[colour + 1]; ++k)
                forward_seeds[static_cast<Eigen::Index>(c.columns[k] * r + colour - first)] = 1.0;
        const Eigen::VectorXd derivatives = tape.Forward(1, r, forward_seeds);
        for (std::size_t colour = first; colour < last; ++colour)
            for (std::size_t k = c.colour_start[colour]; k < c.colour_start[colour + 1]; ++k)
                forward_seeds[static_cast<Eigen::Index>(c.columns[k] * r + colour - first)] = 0.0;
        const std::size_t pass = first / r;
        for (std::size_t e = c.pass_start[pass]; e < c.pass_start[pass + 1]; ++e)
            values[c.forward_entries[e].first] =
                derivatives[c.forward_entries[e].second] - (overlaps ? overlaps[e] : 0.0);
    }
}

}  // namespace lfe
