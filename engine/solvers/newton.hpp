#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>
#include <cppad/cppad.hpp>

#include "abstract_solver.hpp"
#include "jacobian.hpp"

namespace lfe {

// Newton–Raphson on a residual tape recorded once at construction: x are its
// independent variables, p its dynamic parameters. Updating p between solves
// never records again.
class AbstractNewton : public AbstractSolver {
public:
    using SparseMatrix = Eigen::SparseMatrix<double>;

    CppAD::ADFun<double> tape;
    // The Jacobian's structure, colouring and kept constant entries.
    JacobianWork jacobian_work;
    Eigen::SparseLU<SparseMatrix, Eigen::COLAMDOrdering<int>> lu;
    // Set by the first iteration: the pattern is final and the LU ordering analysed.
    bool initialised = false;
    // How often the LU ordering was analysed.
    int lu_analyses = 0;
    // The layout the tape was recorded with: everything after the recording
    // reads it, never the network's nodes as they are now.
    ElectricalNetwork::Layout recording;

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
    void record_tape();
    std::pair<int, double> iterate(int max_iterations, double tolerance);
    const SparseMatrix& fill_jacobian();
    Eigen::VectorXd newton_step(const SparseMatrix& J, const Eigen::VectorXd& F, int it);
};

class Newton : public AbstractNewton {
public:
    using AbstractNewton::AbstractNewton;

    void update(const SparseMatrix& J, const Eigen::VectorXd& dx, Eigen::VectorXd& F) override;
};

}  // namespace lfe
