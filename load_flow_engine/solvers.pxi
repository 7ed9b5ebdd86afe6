# The engine keeps plain pointers from a network to its elements and from a
# solver to its network. The wrappers hold the Python references that keep
# those objects alive, and GC never clears a network's or a solver's
# references before its engine object goes.

@cython.no_gc_clear
cdef class CyElectricalNetwork:
    cdef ElectricalNetwork* network
    cdef tuple elements

    def __cinit__(self, object[::1] elements, int nb_elements):
        cdef Py_ssize_t size = 0 if elements is None else elements.shape[0]
        if nb_elements > size:
            raise ValueError(f"nb_elements = {nb_elements} exceeds the {size} items of elements")
        # Reserved once the count is known to be held; a negative one fails here.
        cdef vector[Element*] pointers
        pointers.reserve(nb_elements)
        kept = []
        cdef Py_ssize_t i
        for i in range(nb_elements):
            item = elements[i]
            if not isinstance(item, CyElement):
                raise TypeError(f"elements[{i}] is a {type(item).__name__}, not an element")
            pointers.push_back(given_element(item, f"elements[{i}]"))
            kept.append(item)
        self.network = new ElectricalNetwork(move(pointers))
        self.elements = tuple(kept)

    def __dealloc__(self):
        del self.network


cdef ElectricalNetwork* given_network(CyElectricalNetwork network) except NULL:
    if network is None:
        raise TypeError("Argument 'network' must be a CyElectricalNetwork, not None")
    return network.network


@cython.no_gc_clear
cdef class CyAbstractSolver:
    cdef AbstractSolver* solver
    cdef CyElectricalNetwork network

    def __dealloc__(self):
        del self.solver

    def solve_load_flow(self, int max_iterations, double tolerance):
        cdef pair[int, double] result = own_solver(self).solve_load_flow(max_iterations, tolerance)
        return result.first, result.second

    def reset_inputs(self):
        own_solver(self).reset_inputs()

    def get_variables(self):
        cdef AbstractSolver* solver = own_solver(self)
        cdef Py_ssize_t n = solver.x.size()
        result = np.empty(n, dtype=np.double)
        cdef double[::1] view = result
        cdef Py_ssize_t i
        for i in range(n):
            view[i] = solver.x.data()[i]
        return result

    def set_variables(self, double[::1] variables):
        cdef AbstractSolver* solver = own_solver(self)
        solver.set_variables(double_values(variables, solver.x.size(), "variables"))


cdef AbstractSolver* own_solver(CyAbstractSolver self) except NULL:
    if self.solver == NULL:
        raise RuntimeError(f"self: a bare {type(self).__name__} has no engine solver")
    return self.solver


include "newton_diagnostics.pxi"


cdef class CyNewton(CyAbstractNewton):
    def __cinit__(self, CyElectricalNetwork network, bint optimize_tape):
        cdef ElectricalNetwork* engine_network = given_network(network)
        self.network = network
        self.solver = new Newton(engine_network, optimize_tape)


include "newton_goldstein.pxi"


cdef class CyBackwardForward(CyAbstractSolver):
    def __cinit__(self, CyElectricalNetwork network):
        cdef ElectricalNetwork* engine_network = given_network(network)
        self.network = network
        self.solver = new BackwardForward(engine_network)


def cy_set_logging_config(str severity not None):
    set_logging_config(severity.encode("utf-8"))
