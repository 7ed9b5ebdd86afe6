from load_flow_engine.electrical_network cimport ElectricalNetwork
from load_flow_engine.newton cimport AbstractNewton


cdef extern from "solvers/newton_goldstein.hpp" namespace "lfe" nogil:
    cdef cppclass NewtonGoldstein(AbstractNewton):
        double m1
        double m2
        bint weighted_merit

        NewtonGoldstein(ElectricalNetwork* network, bint optimize_tape, double m1, double m2,
                        bint weighted_merit) except +
