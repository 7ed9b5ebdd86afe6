from libcpp.string cimport string
from libcpp.utility cimport pair
from libcpp.vector cimport vector

from load_flow_engine.abstract_solver cimport AbstractSolver
from load_flow_engine.eigen cimport VectorXd
from load_flow_engine.electrical_network cimport ElectricalNetwork


cdef extern from "solvers/newton.hpp" namespace "lfe" nogil:
    cdef cppclass AbstractNewton(AbstractSolver):
        VectorXd get_residuals() except +
        VectorXd dense_jacobian() except +
        void save_matrix(const string& prefix) except +
        pair[vector[int], vector[int]] analyse_jacobian() except +

    cdef cppclass Newton(AbstractNewton):
        Newton(ElectricalNetwork* network, bint optimize_tape) except +
