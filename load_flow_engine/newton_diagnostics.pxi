# Views of a Newton solver's system at the current x, with the parameters
# pushed by the last solve (or by the recording).

cdef class CyAbstractNewton(CyAbstractSolver):
    def save_matrix(self, string prefix):
        self.newton().save_matrix(prefix)

    def get_jacobian(self):
        cdef Py_ssize_t n = self.newton().x.size()
        result = np.empty(n * n, dtype=np.double)
        copy_into(result, self.jacobian_in_scope())
        return result.reshape(n, n)

    def get_residuals(self):
        result = np.empty(self.newton().x.size(), dtype=np.double)
        copy_into(result, self.residuals_in_scope())
        return result

    def analyse_jacobian(self):
        cdef pair[vector[int], vector[int]] found = self.newton().analyse_jacobian()
        return [e for e in found.first], [e for e in found.second]

    cdef AbstractNewton* newton(self) except NULL:
        return <AbstractNewton*> own_solver(self)

    # AD errors met while evaluating are logged, not fatal.
    cdef VectorXd jacobian_in_scope(self):
        cdef CppadErrorScope scope
        return self.newton().dense_jacobian()

    cdef VectorXd residuals_in_scope(self):
        cdef CppadErrorScope scope
        return self.newton().get_residuals()


cdef int copy_into(double[::1] target, const VectorXd& values) except -1:
    cdef Py_ssize_t i
    for i in range(values.size()):
        target[i] = values.data()[i]
    return 0
