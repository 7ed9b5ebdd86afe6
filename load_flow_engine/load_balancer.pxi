cdef class CyLoadBalancer(CyLoad):
    def __cinit__(self, double complex z2, double complex ym, double k):
        self.element = new LoadBalancer(z2, ym, k)
