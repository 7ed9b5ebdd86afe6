cdef class CyNewtonGoldstein(CyAbstractNewton):
    def __cinit__(self, CyElectricalNetwork network, bint optimize_tape, double m1, double m2,
                  bint weighted_merit):
        cdef ElectricalNetwork* engine_network = given_network(network)
        self.network = network
        self.solver = new NewtonGoldstein(engine_network, optimize_tape, m1, m2, weighted_merit)

    def update_params(self, double m1, double m2, bint weighted_merit):
        cdef NewtonGoldstein* solver = <NewtonGoldstein*> own_solver(self)
        solver.m1 = m1
        solver.m2 = m2
        solver.weighted_merit = weighted_merit
