from load_flow_engine.abstract_solver cimport AbstractSolver
from load_flow_engine.electrical_network cimport ElectricalNetwork


cdef extern from "solvers/backward_forward.hpp" namespace "lfe" nogil:
    cdef cppclass BackwardForward(AbstractSolver):
        BackwardForward(ElectricalNetwork* network) except +
