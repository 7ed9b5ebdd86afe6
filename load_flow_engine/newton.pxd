from load_flow_engine.abstract_solver cimport AbstractSolver
from load_flow_engine.electrical_network cimport ElectricalNetwork


cdef extern from "solvers/newton.hpp" namespace "lfe" nogil:
    cdef cppclass AbstractNewton(AbstractSolver):
        pass

    cdef cppclass Newton(AbstractNewton):
        Newton(ElectricalNetwork* network, bint optimize_tape) except +
