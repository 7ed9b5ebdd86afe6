from load_flow_engine.element cimport Branch


cdef extern from "elements/switches.hpp" namespace "lfe" nogil:
    cdef cppclass Switch(Branch):
        Switch(int n) except +

    cdef cppclass OpenSwitch(Branch):
        OpenSwitch(int n) except +
