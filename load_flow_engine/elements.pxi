cdef class CyElement:
    cdef Element* element

    def __dealloc__(self):
        del self.element

    def connect(self, CyElement cy_element, connections):
        cdef Element* own = own_element(self)
        cdef Element* other = given_element(cy_element, "cy_element")
        cdef vector[pair[int, int]] pairs = connections
        cdef pair[int, int] p
        for p in pairs:
            check_index(p.first, own.ports.size(), "connections")
            check_index(p.second, other.ports.size(), "connections")
        for p in pairs:
            own.ports[p.first].connection.get().merge(other.ports[p.second].connection)

    def connect_ports(self, int[::1] ports):
        cdef Element* own = own_element(self)
        if ports is None or ports.shape[0] < 2:
            return
        cdef Py_ssize_t k
        for k in range(ports.shape[0]):
            check_index(ports[k], own.ports.size(), "ports")
        for k in range(1, ports.shape[0]):
            own.ports[ports[0]].connection.get().merge(own.ports[ports[k]].connection)

    def disconnect(self):
        own_element(self).disconnect()

    def get_potentials(self, int n):
        cdef Element* own = own_element(self)
        check_size(n, own.ports.size(), "n")
        result = complex_array(n)
        cdef double complex[::1] view = result
        cdef int i
        for i in range(n):
            view[i] = own.ports[i].potential()
        return result

    def get_currents(self, int n):
        cdef Element* own = own_element(self)
        check_size(n, own.ports.size(), "n")
        result = complex_array(n)
        cdef double complex[::1] view = result
        cdef int i
        for i in range(n):
            view[i] = own.ports[i].current
        return result

    def get_port_potential(self, int index):
        cdef Element* own = own_element(self)
        check_index(index, own.ports.size(), "index")
        return own.ports[index].potential()

    def get_port_current(self, int index):
        cdef Element* own = own_element(self)
        check_index(index, own.ports.size(), "index")
        return own.ports[index].current


cdef vector[Port*]* side_ports(Branch* branch, bint beginning):
    return &branch.side1 if beginning else &branch.side2


cdef object side_values(const vector[Port*]& side, int n, bint potentials):
    result = complex_array(n)
    cdef double complex[::1] view = result
    cdef int i
    for i in range(n):
        view[i] = side[i].potential() if potentials else side[i].current
    return result


cdef class CyBranch(CyElement):
    def connect_side(self, CyElement element, connections, bint beginning):
        cdef Branch* own = <Branch*>own_element(self)
        cdef Element* other = given_element(element, "element")
        cdef vector[Port*]* side = side_ports(own, beginning)
        cdef vector[pair[int, int]] pairs = connections
        cdef pair[int, int] p
        for p in pairs:
            check_index(p.first, side.size(), "connections")
            check_index(p.second, other.ports.size(), "connections")
        for p in pairs:
            other.ports[p.second].connection.get().merge(side[0][p.first].connection)

    def get_side_potentials(self, int n1, int n2):
        cdef Branch* own = <Branch*>own_element(self)
        check_size(n1, own.side1.size(), "n1")
        check_size(n2, own.side2.size(), "n2")
        return side_values(own.side1, n1, True), side_values(own.side2, n2, True)

    def get_side_currents(self, int n1, int n2):
        cdef Branch* own = <Branch*>own_element(self)
        check_size(n1, own.side1.size(), "n1")
        check_size(n2, own.side2.size(), "n2")
        return side_values(own.side1, n1, False), side_values(own.side2, n2, False)
