cdef extern from "<Eigen/Dense>" namespace "Eigen" nogil:
    cdef cppclass VectorXd:
        VectorXd()
        Py_ssize_t size()
        double* data()
