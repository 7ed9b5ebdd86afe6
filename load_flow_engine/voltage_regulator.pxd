from load_flow_engine.element cimport Branch


cdef extern from "elements/voltage_regulator.hpp" namespace "lfe" nogil:
    cdef cppclass SingleVoltageRegulator(Branch):
        SingleVoltageRegulator(const double complex& z2, const double complex& ym, double u_ref, double u_range,
                               double alpha, double phi) except +
        void update_parameters(const double complex& z2, const double complex& ym, double u_ref) except +
        double get_tap()
        double compute_tap(double u_out)
