#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <set>
#include <vector>

#include "elements/element.hpp"
#include "elements/flexible_parameter.hpp"

namespace lfe::testing {

inline void expect_close(std::complex<double> actual, std::complex<double> expected, double tolerance = 1e-9) {
    const double scale = 1.0 + std::abs(expected);
    EXPECT_NEAR(actual.real(), expected.real(), tolerance * scale) << "actual " << actual << " expected " << expected;
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance * scale) << "actual " << actual << " expected " << expected;
}

// Appends and binds flexible-parameter limits as the network does, so that a
// TapeCheck records them as dynamic parameters.
class Limits : public Element {
public:
    explicit Limits(std::vector<FlexibleParameter*> parameters) : Element(0), parameters_(std::move(parameters)) {}

    void add_parameters(std::vector<double>& p0) override {
        for (const FlexibleParameter* parameter : parameters_) parameter->add_parameters(p0);
    }
    void bind_parameters(const ADVector& ap, Eigen::VectorXd& p, int& index) override {
        for (FlexibleParameter* parameter : parameters_) parameter->bind_parameters(ap, p, index);
    }
    void compute_currents(bool) override {}

private:
    std::vector<FlexibleParameter*> parameters_;
};

// Binds the elements' free nodes, unknowns and parameters as a solver does and
// records their port currents and own residuals on a tape. `evaluate` then
// checks the tape against the plain computation at the present x and p.
class TapeCheck {
public:
    std::vector<std::shared_ptr<Connection>> nodes;  // free nodes, in first-seen order
    Eigen::VectorXd x;                               // node potentials, then element unknowns
    Eigen::VectorXd p;
    int equations = 0;

    explicit TapeCheck(std::vector<Element*> elements) : elements_(std::move(elements)) {
        collect_nodes();
        std::vector<double> x0, p0;
        for (const auto& node : nodes) node->potential.add(x0);
        for (Element* e : elements_) {
            e->add_variables(x0);
            e->add_parameters(p0);
        }
        equations = static_cast<int>(x0.size() - 2 * nodes.size());
        x = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
        p = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
        record();
    }

    // Pushes p, evaluates the tape at x, expects every port current to equal
    // compute_currents(false) and returns the element residuals.
    std::vector<double> evaluate() {
        tape_.new_dynamic(std::vector<double>(p.data(), p.data() + p.size()));
        const auto y = tape_.Forward(0, std::vector<double>(x.data(), x.data() + x.size()));
        std::size_t row = 0;
        for (Element* e : elements_) {
            e->compute_currents(false);
            for (const auto& port : e->ports) {
                expect_close({y[row], y[row + 1]}, port.current);
                row += 2;
            }
        }
        return {y.begin() + static_cast<std::ptrdiff_t>(row), y.end()};
    }

    // Whether some port current or residual has a second derivative in the
    // unknowns, by the tape's structure.
    bool curved() {
        const auto n = static_cast<std::size_t>(x.size());
        CppAD::sparse_rc<CppAD::vector<std::size_t>> identity(n, n, n), jacobian, hessian;
        for (std::size_t k = 0; k < n; ++k) identity.set(k, k, k);
        tape_.for_jac_sparsity(identity, false, false, false, jacobian);
        CppAD::vector<bool> every_row(tape_.Range());
        for (std::size_t i = 0; i < every_row.size(); ++i) every_row[i] = true;
        tape_.rev_hes_sparsity(every_row, false, false, hessian);
        return hessian.nnz() > 0;
    }

private:
    std::vector<Element*> elements_;
    CppAD::ADFun<double> tape_;

    void collect_nodes() {
        std::set<const Connection*> seen;
        for (Element* e : elements_)
            for (const auto& port : e->ports)
                if (!port.connection->fixed && seen.insert(port.connection.get()).second)
                    nodes.push_back(port.connection);
    }

    void record() {
        ADVector ax = x.cast<ADScalar>();
        ADVector ap = p.cast<ADScalar>();
        CppAD::Independent(ax, ap);
        int ix = 0, ip = 0;
        for (const auto& node : nodes) node->potential.bind(ax, x, ix);
        for (Element* e : elements_) {
            e->bind_variables(ax, x, ix);
            e->bind_parameters(ap, p, ip);
        }
        std::size_t n_ports = 0;
        for (Element* e : elements_) {
            e->compute_currents(true);
            n_ports += e->ports.size();
        }
        ADVector y(static_cast<Eigen::Index>(2 * n_ports) + equations);
        int row = 0;
        for (Element* e : elements_)
            for (const auto& port : e->ports) {
                y[row++] = port.current_ad.real();
                y[row++] = port.current_ad.imag();
            }
        // Each element may write up to the end; the count is checked below.
        for (std::size_t e = 0; e < elements_.size(); ++e) {
            ResidualRows rows(y, row, static_cast<int>(y.size()) - row, e);
            elements_[e]->add_equations(rows, row);
        }
        EXPECT_EQ(row, y.size()) << "the elements wrote another number of residuals than unknowns";
        tape_.Dependent(ax, y);
    }
};

}  // namespace lfe::testing
