import numpy as np

import load_flow_engine.cy_engine as cy


def bus(*potentials):
    return cy.CyBus(len(potentials), np.array(potentials, dtype=complex))


def test_connect_keeps_the_callers_node():
    a, b = bus(1, 2), bus(10, 20)
    a.connect(b, [(0, 1)])
    assert a.get_port_potential(0) == b.get_port_potential(1) == 1
    assert b.get_potentials(2).tolist() == [10, 1]


def test_connect_ports_keeps_the_first_listed_node():
    a = bus(1, 2, 3, 4)
    a.connect_ports(np.array([2, 0, 3], dtype=np.intc))
    assert a.get_potentials(4).tolist() == [3, 2, 3, 3]


def test_connect_side_keeps_the_other_elements_node():
    a, b = bus(1, 2), bus(10, 20)
    line = cy.CySimplifiedLine(2, np.array([1, 0, 0, 1], dtype=complex))
    line.connect_side(a, [(0, 0), (1, 1)], True)
    line.connect_side(b, [(0, 1), (1, 0)], False)
    first, second = line.get_side_potentials(2, 2)
    assert first.tolist() == [1, 2]
    assert second.tolist() == [20, 10]
    assert line.get_potentials(4).tolist() == [1, 2, 20, 10]
    assert a.get_potentials(2).tolist() == [1, 2] and b.get_potentials(2).tolist() == [10, 20]


def test_joins_that_change_nothing():
    a, b = bus(1, 2), bus(10, 20)
    a.connect(b, [])
    a.connect_ports(np.array([1], dtype=np.intc))
    a.connect_ports(np.array([], dtype=np.intc))
    a.connect_ports(None)
    assert a.get_potentials(2).tolist() == [1, 2] and b.get_potentials(2).tolist() == [10, 20]
    a.connect(b, [(0, 0)])
    b.connect(a, [(0, 0)])
    a.connect_ports(np.array([0, 0], dtype=np.intc))
    assert a.get_port_potential(0) == b.get_port_potential(0) == 1


def test_a_reference_fixes_its_node_through_every_merge():
    for reference_absorbs in (True, False):
        a, b, ref = bus(5, 6), bus(7, 8), cy.CyPotentialRef()
        if reference_absorbs:
            ref.connect(a, [(0, 1)])
        else:
            a.connect(ref, [(1, 0)])
        assert a.get_potentials(2).tolist() == [5, 0]
        b.connect(a, [(0, 1)])
        assert b.get_port_potential(0) == 0
        assert ref.get_port_potential(0) == 0


def test_a_ground_leaves_its_node_free():
    a, ground = bus(5), cy.CyGround()
    a.connect(ground, [(0, 0)])
    assert a.get_port_potential(0) == ground.get_port_potential(0) == 5


def test_disconnect_takes_the_ports_out_of_their_nodes():
    a, b, c = bus(1), bus(2), bus(3)
    a.connect(b, [(0, 0)])
    b.disconnect()
    b.disconnect()
    c.connect(a, [(0, 0)])
    assert a.get_port_potential(0) == 3
    assert b.get_port_potential(0) == 1


def test_getters_before_any_solve():
    switch = cy.CySwitch(2)
    assert switch.get_currents(4).tolist() == [0, 0, 0, 0]
    assert switch.get_port_current(3) == 0
    currents = switch.get_side_currents(2, 1)
    assert isinstance(currents, tuple) and [c.shape for c in currents] == [(2,), (1,)]
    a = bus(1 + 1j, 2)
    switch.connect_side(a, [(1, 0)], False)
    assert switch.get_side_potentials(0, 2)[1].tolist() == [0, 1 + 1j]
