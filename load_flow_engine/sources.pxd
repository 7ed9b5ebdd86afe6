from libcpp.vector cimport vector

from load_flow_engine.bound_value cimport BoundValue
from load_flow_engine.element cimport Element


cdef extern from "elements/sources.hpp" namespace "lfe" nogil:
    cdef cppclass VoltageSource(Element):
        vector[BoundValue[double complex]] voltages
        VoltageSource(int n, const double complex* voltages) except +

    cdef cppclass DeltaVoltageSource(Element):
        vector[BoundValue[double complex]] voltages
        DeltaVoltageSource(int n, const double complex* voltages) except +
