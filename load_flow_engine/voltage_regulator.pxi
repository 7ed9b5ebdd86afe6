cdef class CySingleVoltageRegulator(CyBranch):
    def __cinit__(self, double complex z2, double complex ym, double u_ref, double u_range, double alpha,
                  double phi):
        self.element = new SingleVoltageRegulator(z2, ym, u_ref, u_range, alpha, phi)

    def update_parameters(self, double complex z2, double complex ym, double u_ref):
        (<SingleVoltageRegulator*>own_element(self)).update_parameters(z2, ym, u_ref)

    def get_tap(self):
        return (<SingleVoltageRegulator*>own_element(self)).get_tap()

    def compute_tap(self, double u_out):
        return (<SingleVoltageRegulator*>own_element(self)).compute_tap(u_out)
