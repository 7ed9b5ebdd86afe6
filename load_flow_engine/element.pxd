from libcpp.memory cimport shared_ptr
from libcpp.vector cimport vector

from load_flow_engine.bound_value cimport BoundValue


cdef extern from "elements/element.hpp" namespace "lfe" nogil:
    cdef cppclass Element

    cdef cppclass Connection:
        vector[Port*] ports
        BoundValue[double complex] potential
        bint fixed
        void merge(const shared_ptr[Connection]& other) except +
        double complex get_potential()
        void set_potential(const double complex& v) except +

    cdef cppclass Port:
        shared_ptr[Connection] connection
        Element* element
        double complex current
        double complex potential()

    cdef cppclass Element:
        vector[Port] ports
        void disconnect()

    cdef cppclass Branch(Element):
        vector[Port*] side1
        vector[Port*] side2
