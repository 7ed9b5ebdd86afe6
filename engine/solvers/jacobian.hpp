#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <cppad/cppad.hpp>

#include "network/electrical_network.hpp"

namespace lfe {

// Columns of the sparse Jacobian evaluated together in one forward pass;
// wider groups lose more to cache misses than they save in tape passes.
inline constexpr std::size_t jacobian_group_max = 8;

// How the Jacobian is evaluated. Columns that share no row take one colour,
// and each colour is one direction of a forward pass. A row much denser than
// the others (a bus many lines leave) would force a colour per entry, so such
// rows are excluded from the colouring and come by reverse mode, one at a
// time.
struct JacobianColouring {
    std::size_t colours = 0;
    // Directions per forward pass: the colours split into equal groups.
    std::size_t directions = 0;
    // Columns ordered by colour; colour c owns [colour_start[c], colour_start[c + 1]).
    std::vector<std::size_t> columns;
    std::vector<std::size_t> colour_start;
    std::vector<bool> dense;
    std::vector<std::size_t> dense_rows;
    // Entries of the dense rows as (position in J's values, column); row k owns
    // [dense_start[k], dense_start[k + 1]).
    std::vector<std::pair<std::size_t, std::size_t>> dense_entries;
    std::vector<std::size_t> dense_start;
    // The other entries as (position in J's values, position in the result
    // of their forward pass); pass k owns [pass_start[k], pass_start[k + 1]).
    std::vector<std::pair<int, int>> forward_entries;
    std::vector<std::size_t> pass_start;
};

// The entries of J that move with x: a row and a column among the unknowns of
// one element whose equations are not linear. The others depend on the
// parameters of the linear elements alone, so they keep the values of the
// last full evaluation while those stay, and fewer colours cover the moving
// ones.
struct VaryingEntries {
    JacobianColouring colouring;
    // A forward pass adds the constant entries into the varying one of their
    // row and colour: (place of the varying entry in the colouring's
    // forward_entries, position of the constant one in J's values).
    std::vector<std::pair<int, int>> overlaps;
    // Whether evaluating them alone takes fewer passes than the whole J.
    bool worthwhile = false;
    // The ranges of p that the constant entries depend on.
    std::vector<std::pair<int, int>> parameters;
};

// The sparse Jacobian of a residual tape: its structure, found once, and its
// values, evaluated at the point where the tape last evaluated the residuals.
// The Newton loop's Jacobian keeps its constant entries between evaluations;
// any other is evaluated whole into a matrix of its own.
class JacobianWork {
public:
    using Pattern = CppAD::sparse_rc<CppAD::vector<std::size_t>>;
    using Matrix = Eigen::SparseMatrix<double>;

    // Every entry any x can reach, in the order J stores them: column by
    // column, rows ascending.
    Pattern pattern;
    JacobianColouring colouring;
    VaryingEntries varying;
    // How often the columns were coloured, and every entry of the loop's J evaluated.
    int colourings = 0;
    int full_evaluations = 0;

    // Finds the structure of the tape's Jacobian and colours its columns, in
    // the layout the tape was recorded with; forgets the kept constant entries.
    void build(CppAD::ADFun<double>& tape, const ElectricalNetwork::Layout& layout);

    // A new matrix of J's structure holding every entry.
    Matrix evaluate_whole(CppAD::ADFun<double>& tape);
    // The loop's J: the varying entries alone while the constant ones are
    // current for p, else every entry, keeping the constant ones when all
    // entries are finite.
    const Matrix& evaluate_in_loop(CppAD::ADFun<double>& tape, const Eigen::VectorXd& p);
    // Forgets the constant entries if the parameters they depend on changed.
    void check_parameters(const Eigen::VectorXd& p);

private:
    // The loop's J: its compressed structure, its values refilled in place.
    Matrix jacobian;
    // Forward seeds, one row per variable and one column per direction, zero
    // between evaluations; the weights and derivatives of one dense row.
    Eigen::VectorXd forward_seeds;
    Eigen::VectorXd row_weights;
    Eigen::VectorXd row_derivatives;
    // Whether the loop may evaluate the varying entries alone: the constant
    // ones hold their values for constant_parameters, the parameters they
    // depend on as the loop's last full evaluation had them.
    bool constants_current = false;
    std::vector<double> constant_parameters;
    // What the constant entries add into each forward entry of the varying ones.
    std::vector<double> overlap_sums;

    void fill_whole(CppAD::ADFun<double>& tape, double* values);
    void fill_dense_rows(CppAD::ADFun<double>& tape, const JacobianColouring& c, double* values);
    void fill_coloured_columns(CppAD::ADFun<double>& tape, const JacobianColouring& c, double* values,
                               const double* overlaps);
    std::vector<double> parameters_of_constants(const Eigen::VectorXd& p) const;
    void keep_constants(const Eigen::VectorXd& p);
};

}  // namespace lfe
