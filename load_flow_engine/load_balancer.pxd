from load_flow_engine.loads cimport LoadBase


cdef extern from "elements/load_balancer.hpp" namespace "lfe" nogil:
    cdef cppclass LoadBalancer(LoadBase):
        LoadBalancer(const double complex& z2, const double complex& ym, double k) except +
