from libcpp.string cimport string
from libcpp.utility cimport pair

from load_flow_engine.element cimport Branch


cdef extern from "elements/transformers.hpp" namespace "lfe" nogil:
    cdef cppclass TransformerBase(Branch):
        void update_transformer_parameters(const double complex& z2, const double complex& ym,
                                           double complex k) except +
        pair[double, double] compute_open_circuit_parameters(double uhv, double ulv, double sn) except +
        pair[double, double] compute_short_circuit_parameters(double uhv, double ulv, double sn) except +

    cdef cppclass ThreePhaseTransformer(TransformerBase):
        ThreePhaseTransformer(int n1, int n2, const string& whv, const string& wlv, const double complex& z2,
                              const double complex& ym, double k, int clock) except +

    cdef cppclass SingleTransformer(TransformerBase):
        SingleTransformer(double complex z2, double complex ym, double complex k) except +

    cdef cppclass CenterTransformer(TransformerBase):
        CenterTransformer(double complex z2, double complex ym, double k) except +
