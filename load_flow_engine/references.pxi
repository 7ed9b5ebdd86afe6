cdef class CyGround(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new Ground()


cdef class CyPotentialRef(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new PotentialRef()

    def get_current(self):
        return (<PotentialRef*>own_element(self)).drawn_current()


cdef class CyDeltaPotentialRef(CyElement):
    def __cinit__(self, int n):
        self.element = new DeltaPotentialRef(n)

    def get_current(self):
        return own_element(self).ports[0].current
