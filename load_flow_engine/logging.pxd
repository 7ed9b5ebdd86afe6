from libcpp.string cimport string


cdef extern from "logging/logging.hpp" namespace "lfe" nogil:
    void set_logging_config(const string& severity) except +

    # Holds the AD error handler for the lifetime of a local.
    cdef cppclass CppadErrorScope:
        pass
