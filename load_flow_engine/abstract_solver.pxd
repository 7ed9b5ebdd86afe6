from libcpp.utility cimport pair

from load_flow_engine.eigen cimport VectorXd
from load_flow_engine.electrical_network cimport ElectricalNetwork


cdef extern from "solvers/abstract_solver.hpp" namespace "lfe" nogil:
    cdef cppclass AbstractSolver:
        ElectricalNetwork* network
        VectorXd x
        VectorXd x_init
        VectorXd p
        pair[int, double] solve_load_flow(int max_iterations, double tolerance) except +
        void reset_inputs() except +
        void set_variables(const double* values) except +
