#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>
#include <cppad/cppad.hpp>

#include "abstract_solver.hpp"

namespace lfe {

// Columns of the sparse Jacobian evaluated together in one forward pass;
// wider groups lose more to cache misses than they save in tape passes.
inline constexpr std::size_t jacobian_group_max = 8;

// How the Jacobian is evaluated. Columns that share no row take one colour,
// and each colour is one direction of a forward pass. A row much denser than
// the others (a bus many lines leave) would force a colour per entry, so such
// rows are excluded from the colouring and come by reverse mode, one at a
// time, through the part of the tape they depend on.
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

// Newton–Raphson on a residual tape recorded once at construction: x are its
// independent variables, p its dynamic parameters. Updating p between solves
// never records again.
class AbstractNewton : public AbstractSolver {
public:
    using SizeVector = CppAD::vector<std::size_t>;
    using SparseMatrix = Eigen::SparseMatrix<double>;

    CppAD::ADFun<double> tape;
    CppAD::sparse_rc<SizeVector> jacobian_pattern;
    JacobianColouring jacobian_colouring;
    VaryingEntries varying;
    Eigen::SparseLU<SparseMatrix, Eigen::COLAMDOrdering<int>> lu;
    // Set by the first iteration: the pattern is final and the LU ordering analysed.
    bool initialised = false;
    // How often the columns were coloured and the LU ordering analysed.
    int colourings = 0;
    int lu_analyses = 0;
    // How often every entry of J was evaluated.
    int full_jacobians = 0;
    // The elements behind each node's balance rows, as the recording left them.
    ElectricalNetwork::NodeElements node_elements;

    AbstractNewton(ElectricalNetwork* network, bool optimize_tape);

    // Throws std::runtime_error "1 ..." when the Jacobian holds a non-finite
    // value or cannot be factorised, or the result a non-finite potential or
    // current.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

    // Residuals and Jacobian at x, with the parameters last pushed into the tape.
    Eigen::VectorXd get_residuals();
    SparseMatrix compute_jacobian();

    // Diagnostics, with the parameters last pushed into the tape. save_matrix
    // writes the Jacobian to prefix + ".mtx" and the residuals to
    // prefix + "_b.mtx" (MatrixMarket) and throws std::runtime_error naming a
    // file it cannot write; analyse_jacobian names the elements behind the
    // empty columns, then those behind the rows with a non-finite entry;
    // dense_jacobian is the n x n Jacobian row by row.
    void save_matrix(const std::string& prefix);
    std::pair<std::vector<int>, std::vector<int>> analyse_jacobian();
    Eigen::VectorXd dense_jacobian();

    // Moves x along -dx and leaves in F the residuals at the new x, from a
    // last call of get_residuals there: the next Jacobian starts from the
    // values that call leaves in the tape.
    virtual void update(const SparseMatrix& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) = 0;

private:
    // The compressed Jacobian of the pattern, its values refilled in place.
    SparseMatrix jacobian;
    // Forward seeds, one row per variable and one column per direction, zero
    // between evaluations; the derivatives of one dense row.
    Eigen::VectorXd forward_seeds;
    Eigen::VectorXd row_derivatives;
    // Whether the loop may evaluate the varying entries alone: the constant
    // ones hold their values for constant_parameters, the parameters they
    // depend on as the loop's last full evaluation had them.
    bool constants_current = false;
    std::vector<double> constant_parameters;
    // What the constant entries add into each forward entry of the varying ones.
    std::vector<double> overlap_sums;

    void record_tape();
    std::pair<int, double> iterate(int max_iterations, double tolerance);
    void build_pattern();
    const SparseMatrix& fill_jacobian();
    void fill_whole();
    std::vector<double> parameters_of_constants() const;
    void keep_constants();
    void fill_dense_rows(const JacobianColouring& c);
    void fill_coloured_columns(const JacobianColouring& c, const double* overlaps);
    Eigen::VectorXd newton_step(const SparseMatrix& J, const Eigen::VectorXd& F, int it);
};

class Newton : public AbstractNewton {
public:
    using AbstractNewton::AbstractNewton;

    void update(const SparseMatrix& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) override;
};

}  // namespace lfe
