from load_flow_engine.element cimport Element


cdef extern from "elements/potential_ref.hpp" namespace "lfe" nogil:
    cdef cppclass PotentialRef(Element):
        PotentialRef() except +
        double complex drawn_current()

    cdef cppclass DeltaPotentialRef(Element):
        DeltaPotentialRef(int n) except +
