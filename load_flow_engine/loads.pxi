cdef class CyLoad(CyElement):
    cdef size_t inner_current_count(self):
        # One per phase: every port but the neutral.
        cdef size_t ports = self.element.ports.size()
        return ports - 1 if ports > 0 else 0

    def get_inner_currents(self, int size):
        cdef LoadBase* load = <LoadBase*>own_element(self)
        cdef size_t count = self.inner_current_count()
        check_size(size, count, "size")
        result = complex_array(size)
        cdef double complex[::1] view = result
        # The engine writes all of them, whatever the size asked for.
        cdef vector[double complex] inner
        inner.resize(count)
        load.get_inner_currents(inner.data())
        cdef int i
        for i in range(size):
            view[i] = inner[i]
        return result


cdef class CyPowerLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] powers):
        self.element = new PowerLoad(n, complex_values(powers, phase_count(n), "powers"))

    def update_powers(self, double complex[::1] powers):
        write_records((<PowerLoad*>own_element(self)).powers, powers, "powers")

    def update_power(self, double complex power):
        write_first_record((<PowerLoad*>own_element(self)).powers, power)


cdef class CyDeltaPowerLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] powers):
        self.element = new DeltaPowerLoad(n, complex_values(powers, n, "powers"))

    cdef size_t inner_current_count(self):
        return self.element.ports.size()

    def update_powers(self, double complex[::1] powers):
        write_records((<DeltaPowerLoad*>own_element(self)).powers, powers, "powers")


cdef class CyAdmittanceLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] admittances):
        self.element = new AdmittanceLoad(n, complex_values(admittances, phase_count(n), "admittances"))

    def update_admittances(self, double complex[::1] admittances):
        write_records((<AdmittanceLoad*>own_element(self)).admittances, admittances, "admittances")

    def update_admittance(self, double complex admittance):
        write_first_record((<AdmittanceLoad*>own_element(self)).admittances, admittance)


cdef class CyDeltaAdmittanceLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] admittances):
        self.element = new DeltaAdmittanceLoad(n, complex_values(admittances, n, "admittances"))

    cdef size_t inner_current_count(self):
        return self.element.ports.size()

    def update_admittances(self, double complex[::1] admittances):
        write_records((<DeltaAdmittanceLoad*>own_element(self)).admittances, admittances, "admittances")


cdef class CyCurrentLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] currents):
        self.element = new CurrentLoad(n, complex_values(currents, phase_count(n), "currents"))

    def update_currents(self, double complex[::1] currents):
        write_records((<CurrentLoad*>own_element(self)).currents, currents, "currents")

    def update_current(self, double complex current):
        write_first_record((<CurrentLoad*>own_element(self)).currents, current)


cdef class CyDeltaCurrentLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] currents):
        self.element = new DeltaCurrentLoad(n, complex_values(currents, n, "currents"))

    cdef size_t inner_current_count(self):
        return self.element.ports.size()

    def update_currents(self, double complex[::1] currents):
        write_records((<DeltaCurrentLoad*>own_element(self)).currents, currents, "currents")
