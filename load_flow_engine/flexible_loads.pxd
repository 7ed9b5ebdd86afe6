from libcpp.string cimport string
from libcpp.vector cimport vector

from load_flow_engine.loads cimport LoadBase, ValueRecords


cdef extern from "elements/flexible_parameter.hpp" namespace "lfe" nogil:
    cdef cppclass Control:
        Control(string t, double u_min, double u_down, double u_up, double u_max, double alpha,
                double epsilon) except +

    cdef cppclass Projection:
        Projection(string t, double alpha, double epsilon) except +

    cdef cppclass FlexibleParameter:
        FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection,
                          double s_max, double q_min, double q_max) except +
        void update_parameters(double s_max, double q_min, double q_max) except +
        double complex compute_power(double u, double complex s_th) except +


cdef extern from "elements/flexible_load.hpp" namespace "lfe" nogil:
    # The constructors take the parameters by rvalue reference: pass them through move().
    cdef cppclass FlexibleLoad(LoadBase):
        ValueRecords powers
        FlexibleLoad(int n, const double complex* powers, vector[FlexibleParameter*] parameters) except +
        void get_powers(double complex* out) except +

    cdef cppclass DeltaFlexibleLoad(LoadBase):
        ValueRecords powers
        DeltaFlexibleLoad(int n, const double complex* powers, vector[FlexibleParameter*] parameters) except +
        void get_powers(double complex* out) except +
