from load_flow_engine.element cimport Branch


cdef extern from "elements/lines.hpp" namespace "lfe" nogil:
    cdef cppclass SimplifiedLine(Branch):
        SimplifiedLine(int n, const double complex* z_line) except +
        void update_line_parameters(const double complex* z_line) except +

    cdef cppclass ShuntLine(Branch):
        ShuntLine(int n, const double complex* y_shunt, const double complex* z_line) except +
        void update_line_parameters(const double complex* y_shunt, const double complex* z_line) except +
