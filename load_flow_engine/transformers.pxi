cdef class CyTransformer(CyBranch):
    def update_transformer_parameters(self, double complex z2, double complex ym, double complex k):
        own_transformer(self).update_transformer_parameters(z2, ym, k)

    def compute_open_circuit_parameters(self, double uhv, double ulv, double sn):
        cdef pair[double, double] result = own_transformer(self).compute_open_circuit_parameters(uhv, ulv, sn)
        return result.first, result.second

    def compute_short_circuit_parameters(self, double uhv, double ulv, double sn):
        cdef pair[double, double] result = own_transformer(self).compute_short_circuit_parameters(uhv, ulv, sn)
        return result.first, result.second


# Only the transformer classes below fill the element of a CyTransformer.
cdef TransformerBase* own_transformer(CyTransformer self) except NULL:
    return <TransformerBase*>own_element(self)


cdef class CyThreePhaseTransformer(CyTransformer):
    def __cinit__(self, int n1, int n2, string whv, string wlv, double complex z2, double complex ym, double k,
                  int clock):
        self.element = new ThreePhaseTransformer(n1, n2, whv, wlv, z2, ym, k, clock)


cdef class CySingleTransformer(CyTransformer):
    def __cinit__(self, double complex z2, double complex ym, double complex k):
        self.element = new SingleTransformer(z2, ym, k)


cdef class CyCenterTransformer(CyTransformer):
    def __cinit__(self, double complex z2, double complex ym, double k):
        self.element = new CenterTransformer(z2, ym, k)
