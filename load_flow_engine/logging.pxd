from libcpp.string cimport string


cdef extern from "logging/logging.hpp" namespace "lfe" nogil:
    void set_logging_config(const string& severity) except +
