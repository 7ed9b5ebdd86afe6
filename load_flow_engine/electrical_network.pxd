from libcpp.vector cimport vector

from load_flow_engine.element cimport Element


cdef extern from "network/electrical_network.hpp" namespace "lfe" nogil:
    cdef cppclass ElectricalNetwork:
        vector[Element*] elements
        # Takes the vector by rvalue reference: pass it through move().
        ElectricalNetwork(vector[Element*] elements) except +
