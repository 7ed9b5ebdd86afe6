"""Networks built through the wrappers, with a mirror of their nodes.

`Topology` joins ports with the wrappers' own methods and keeps track of
which (element, port) pairs share a node, so that tests can check
Kirchhoff's current law node by node.
"""

import cmath

import numpy as np

from load_flow_engine.cy_engine import (
    CyBus,
    CyElectricalNetwork,
    CyPotentialRef,
    CyPowerLoad,
    CySimplifiedLine,
    CyVoltageSource,
)

SOURCE_VOLTAGES = np.array([cmath.rect(230.0, -k * 2 * cmath.pi / 3) for k in range(3)])


def cable(length, n=4):
    z = np.full((n, n), (0.03 + 0.06j) * length, dtype=np.complex128)
    np.fill_diagonal(z, (0.32 + 0.08j) * length)
    return z.ravel()


class Topology:
    def __init__(self):
        self.elements = []
        self._parent = {}

    def add(self, *elements):
        self.elements.extend(elements)

    def _root(self, key):
        while self._parent.setdefault(key, key) != key:
            key = self._parent[key]
        return key

    def _join(self, a, b):
        self._parent[self._root(a)] = self._root(b)

    def connect(self, element, other, pairs):
        element.connect(other, pairs)
        for i, j in pairs:
            self._join((id(element), i), (id(other), j))

    def connect_side(self, branch, other, pairs, beginning, n):
        branch.connect_side(other, pairs, beginning)
        offset = 0 if beginning else n
        for i, j in pairs:
            self._join((id(branch), offset + i), (id(other), j))

    def nodes(self):
        """Every node that a join reached, as a list of (element, port)."""
        by_id = {id(e): e for e in self.elements}
        groups = {}
        for key in list(self._parent):
            groups.setdefault(self._root(key), []).append((by_id[key[0]], key[1]))
        return list(groups.values())

    def network(self):
        return CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))


def network_of(elements):
    return CyElectricalNetwork(np.array(elements, dtype=object), len(elements))


def node_current(node):
    return sum(element.get_port_current(port) for element, port in node)


def star_feeder(loads, lengths, load_class=CyPowerLoad):
    """Source with its neutral referenced, then one cable and one loaded bus per entry.

    Returns (topology, reference, buses, loads) in a backward-forward friendly order.
    """
    topo = Topology()
    initial = np.append(SOURCE_VOLTAGES, 0j)
    reference = CyPotentialRef()
    source = CyVoltageSource(4, SOURCE_VOLTAGES)
    source_bus = CyBus(4, initial)
    topo.add(reference, source, source_bus)
    topo.connect(source_bus, source, [(k, k) for k in range(4)])
    topo.connect(source_bus, reference, [(3, 0)])
    buses, load_elements = [source_bus], []
    for values, length in zip(loads, lengths):
        line = CySimplifiedLine(4, cable(length))
        bus = CyBus(4, initial)
        topo.add(line, bus)
        topo.connect_side(line, buses[-1], [(k, k) for k in range(4)], True, 4)
        topo.connect_side(line, bus, [(k, k) for k in range(4)], False, 4)
        load = load_class(4, np.array(values, dtype=np.complex128))
        topo.connect(bus, load, [(k, k) for k in range(4)])
        buses.append(bus)
        load_elements.append(load)
    topo.add(*load_elements)
    return topo, reference, buses, load_elements


UNBALANCED_POWERS = (
    (12e3 + 3e3j, 6e3 + 1e3j, 9e3 + 2e3j),
    (4e3 + 1e3j, 10e3 + 4e3j, 2e3),
    (7e3 + 2e3j, 1e3, 5e3 + 1.5e3j),
)
LENGTHS = (0.2, 0.15, 0.1)
