from cpython.ref cimport Py_INCREF, Py_XDECREF, PyObject


cdef class CyControl:
    cdef Control* control

    def __cinit__(self, string t, double u_min, double u_down, double u_up, double u_max, double alpha,
                  double epsilon):
        self.control = new Control(t, u_min, u_down, u_up, u_max, alpha, epsilon)

    def __dealloc__(self):
        del self.control


cdef class CyProjection:
    cdef Projection* projection

    def __cinit__(self, string t, double alpha, double epsilon):
        self.projection = new Projection(t, alpha, epsilon)

    def __dealloc__(self):
        del self.projection


cdef class CyFlexibleParameter:
    cdef FlexibleParameter* parameter

    def __cinit__(self, CyControl control_p not None, CyControl control_q not None,
                  CyProjection projection not None, double s_max, double q_min, double q_max):
        self.parameter = new FlexibleParameter(control_p.control[0], control_q.control[0],
                                               projection.projection[0], s_max, q_min, q_max)

    def __dealloc__(self):
        del self.parameter

    def compute_power(self, double x, double complex s_th):
        return self.parameter.compute_power(x, s_th)

    def update_parameters(self, double s_max, double q_min, double q_max):
        self.parameter.update_parameters(s_max, q_min, q_max)


# A flexible load points to the parameters of its CyFlexibleParameter
# wrappers and holds them. The references are kept out of the collector's
# sight: clearing a load caught in a cycle must not free a parameter that its
# network still reads while it goes.

cdef vector[FlexibleParameter*] hold_parameters(CyFlexibleParameter[::1] parameters, int count,
                                                vector[PyObject*]& held):
    cdef Py_ssize_t size = 0 if parameters is None else parameters.shape[0]
    if size < count:
        raise ValueError(f"parameters holds {size} values, {count} are needed")
    cdef vector[FlexibleParameter*] pointers
    cdef object item
    cdef int i
    for i in range(count):
        item = parameters[i]
        if not isinstance(item, CyFlexibleParameter):
            raise TypeError(f"parameters[{i}] is a {type(item).__name__}, not a CyFlexibleParameter")
        Py_INCREF(item)
        held.push_back(<PyObject*>item)
        pointers.push_back((<CyFlexibleParameter>item).parameter)
    return pointers


cdef void release_parameters(vector[PyObject*]& held) noexcept:
    cdef PyObject* item
    for item in held:
        Py_XDECREF(item)
    held.clear()


# The engine writes one power per value; the first n are returned. The
# engine call stays in the method, so that a failure names the method.
cdef int copy_first(double complex[::1] target, const vector[double complex]& values) except -1:
    cdef Py_ssize_t i
    for i in range(target.shape[0]):
        target[i] = values[i]
    return 0


cdef class CyFlexibleLoad(CyLoad):
    cdef vector[PyObject*] parameters

    def __cinit__(self, int n, double complex[::1] powers, CyFlexibleParameter[::1] parameters):
        cdef int count = n - 1 if n > 1 else 0
        cdef const double complex* values = complex_values(powers, count, "powers")
        self.element = new FlexibleLoad(n, values, move(hold_parameters(parameters, count, self.parameters)))

    def __dealloc__(self):
        release_parameters(self.parameters)

    def update_powers(self, double complex[::1] powers):
        write_records((<FlexibleLoad*>own_element(self)).powers, powers, "powers")

    def update_power(self, double complex power):
        write_first_record((<FlexibleLoad*>own_element(self)).powers, power)

    def get_powers(self, int n):
        cdef FlexibleLoad* load = <FlexibleLoad*>own_element(self)
        check_size(n, load.powers.size(), "n")
        result = complex_array(n)
        cdef vector[double complex] powers
        powers.resize(load.powers.size())
        load.get_powers(powers.data())
        copy_first(result, powers)
        return result


cdef class CyDeltaFlexibleLoad(CyLoad):
    cdef vector[PyObject*] parameters

    def __cinit__(self, int n, double complex[::1] powers, CyFlexibleParameter[::1] parameters):
        cdef int count = n if n > 0 else 0
        cdef const double complex* values = complex_values(powers, count, "powers")
        self.element = new DeltaFlexibleLoad(n, values, move(hold_parameters(parameters, count, self.parameters)))

    def __dealloc__(self):
        release_parameters(self.parameters)

    cdef size_t inner_current_count(self):
        return self.element.ports.size()

    def update_powers(self, double complex[::1] powers):
        write_records((<DeltaFlexibleLoad*>own_element(self)).powers, powers, "powers")

    def get_powers(self, int n):
        cdef DeltaFlexibleLoad* load = <DeltaFlexibleLoad*>own_element(self)
        check_size(n, load.powers.size(), "n")
        result = complex_array(n)
        cdef vector[double complex] powers
        powers.resize(load.powers.size())
        load.get_powers(powers.data())
        copy_first(result, powers)
        return result
