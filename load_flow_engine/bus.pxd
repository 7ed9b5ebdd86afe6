from load_flow_engine.element cimport Element


cdef extern from "elements/bus.hpp" namespace "lfe" nogil:
    cdef cppclass Bus(Element):
        Bus(int n, const double complex* potentials) except +

    cdef cppclass Ground(Element):
        Ground() except +
