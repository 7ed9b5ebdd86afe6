cdef class CyGround(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new Ground()


cdef class CyPotentialRef(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new PotentialRef()

    def get_current(self):
        # A fixed node has no current balance: this is what the node's other
        # elements draw from it.
        cdef Connection* node = own_element(self).ports[0].connection.get()
        cdef double complex total = 0
        cdef Port* port
        for port in node.ports:
            total += port.current
        return total


cdef class CyDeltaPotentialRef(CyElement):
    def __cinit__(self, int n):
        self.element = new DeltaPotentialRef(n)

    def get_current(self):
        return own_element(self).ports[0].current
