from libcpp.vector cimport vector

from load_flow_engine.bound_value cimport BoundValue
from load_flow_engine.element cimport Element


cdef extern from "elements/loads.hpp" namespace "lfe" nogil:
    ctypedef vector[BoundValue[double complex]] ValueRecords

    cdef cppclass LoadBase(Element):
        void get_inner_currents(double complex* out) except +

    cdef cppclass PowerLoad(LoadBase):
        ValueRecords powers
        PowerLoad(int n, const double complex* powers) except +

    cdef cppclass DeltaPowerLoad(LoadBase):
        ValueRecords powers
        DeltaPowerLoad(int n, const double complex* powers) except +

    cdef cppclass CurrentLoad(LoadBase):
        ValueRecords currents
        CurrentLoad(int n, const double complex* currents) except +

    cdef cppclass DeltaCurrentLoad(LoadBase):
        ValueRecords currents
        DeltaCurrentLoad(int n, const double complex* currents) except +

    cdef cppclass AdmittanceLoad(LoadBase):
        ValueRecords admittances
        AdmittanceLoad(int n, const double complex* admittances) except +

    cdef cppclass DeltaAdmittanceLoad(LoadBase):
        ValueRecords admittances
        DeltaAdmittanceLoad(int n, const double complex* admittances) except +
