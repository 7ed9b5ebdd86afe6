cdef class CySwitch(CyBranch):
    def __cinit__(self, int n):
        self.element = new Switch(n)


cdef class CyOpenSwitch(CyBranch):
    def __cinit__(self, int n):
        self.element = new OpenSwitch(n)


cdef class CySimplifiedLine(CyBranch):
    def __cinit__(self, int n, double complex[::1] z_line):
        cdef const double complex* z = complex_values(z_line, matrix_size(n), "z_line")
        self.element = new SimplifiedLine(n, z)

    def update_line_parameters(self, double complex[::1] z_line):
        cdef SimplifiedLine* line = <SimplifiedLine*>own_element(self)
        line.update_line_parameters(complex_values(z_line, matrix_size(line.side1.size()), "z_line"))

    def update_single_line_parameters(self, double complex z_line):
        cdef SimplifiedLine* line = <SimplifiedLine*>own_element(self)
        check_single_conductor(line)
        line.update_line_parameters(&z_line)


cdef class CyShuntLine(CyBranch):
    def __cinit__(self, int n, double complex[::1] y_shunt, double complex[::1] z_line):
        cdef const double complex* y = complex_values(y_shunt, matrix_size(n), "y_shunt")
        cdef const double complex* z = complex_values(z_line, matrix_size(n), "z_line")
        self.element = new ShuntLine(n, y, z)

    def update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line):
        cdef ShuntLine* line = <ShuntLine*>own_element(self)
        cdef const double complex* y = complex_values(y_shunt, matrix_size(line.side1.size()), "y_shunt")
        cdef const double complex* z = complex_values(z_line, matrix_size(line.side1.size()), "z_line")
        line.update_line_parameters(y, z)

    def update_single_line_parameters(self, double complex y_shunt, double complex z_line):
        cdef ShuntLine* line = <ShuntLine*>own_element(self)
        check_single_conductor(line)
        line.update_line_parameters(&y_shunt, &z_line)


cdef class CyBus(CyElement):
    def __cinit__(self, int n, double complex[::1] potentials):
        self.element = new Bus(n, complex_values(potentials, n, "potentials"))

    def initialize_potentials(self, double complex[::1] potentials):
        cdef Element* own = own_element(self)
        cdef size_t count = own.ports.size()
        cdef const double complex* values = complex_values(potentials, count, "potentials")
        cdef size_t i
        for i in range(count):
            own.ports[i].connection.get().set_potential(values[i])
