cdef class CyVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new VoltageSource(n, complex_values(voltages, phase_count(n), "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        write_records((<VoltageSource*>own_element(self)).voltages, voltages, "voltages")

    def update_voltage(self, double complex voltage):
        write_first_record((<VoltageSource*>own_element(self)).voltages, voltage)


cdef class CyDeltaVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new DeltaVoltageSource(n, complex_values(voltages, phase_count(n), "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        write_records((<DeltaVoltageSource*>own_element(self)).voltages, voltages, "voltages")
