import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import SOURCE_VOLTAGES, Topology, cable, node_current

SOLVERS = {
    "newton": lambda network: cy.CyNewton(network, False),
    "optimized newton": lambda network: cy.CyNewton(network, True),
    "goldstein": lambda network: cy.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": cy.CyBackwardForward,
}

E = 230 + 0j
Z, Y, Y_LOAD = 0.4 + 0.8j, 0.02j, 0.05 - 0.01j


def far_potential(z, y):
    """Far end of a pi line of one conductor feeding Y_LOAD from E."""
    return E / (1 + z * (y / 2 + Y_LOAD))


def divider(z=Z, y=Y):
    """Source on the phase, a one-conductor pi line, an admittance load;
    the neutral and the line's ground port on the reference."""
    topo = Topology()
    ref, source = cy.CyPotentialRef(), cy.CyVoltageSource(2, np.array([E]))
    line = cy.CyShuntLine(1, np.array([y]), np.array([z]))
    far = cy.CyBus(2, np.array([E, 0j]))
    load = cy.CyAdmittanceLoad(2, np.array([Y_LOAD]))
    topo.add(ref, source, line, far, load)
    topo.connect(source, ref, [(1, 0)])
    topo.connect(far, ref, [(1, 0)])
    topo.connect(line, ref, [(2, 0)])
    topo.connect_side(line, source, [(0, 0)], True, 1)
    topo.connect_side(line, far, [(0, 0)], False, 1)
    topo.connect(far, load, [(0, 0), (1, 1)])
    return topo, source, line, far


def test_construction_and_reads():
    line = cy.CyShuntLine(2, np.full(4, 1e-4j), np.arange(1, 5, dtype=complex))
    assert line.get_potentials(5).tolist() == [0j] * 5
    assert line.get_port_current(4) == 0j
    first, second = line.get_side_currents(2, 2)
    assert first.dtype == second.dtype == np.complex128 and first.shape == second.shape == (2,)
    with pytest.raises(ValueError, match="n2 = 3"):
        line.get_side_potentials(2, 3)
    with pytest.raises(IndexError, match="port index"):
        line.get_port_potential(5)
    assert cy.CyShuntLine(0, None, None).get_potentials(1).tolist() == [0j]


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS)
def test_solvers_find_the_closed_form(make_solver):
    topo, source, line, far = divider()
    iterations, error = make_solver(topo.network()).solve_load_flow(100, 1e-10)
    assert type(iterations) is int and error <= 1e-10
    v2 = far.get_port_potential(0)
    assert v2 == pytest.approx(far_potential(Z, Y), rel=1e-9)
    # The source feeds the load and half the shunt at each end.
    assert -source.get_port_current(0) == pytest.approx(Y_LOAD * v2 + Y / 2 * (E + v2), rel=1e-9)
    assert abs(line.get_currents(3).sum()) < 1e-9



def test_the_sweep_writes_a_one_conductor_far_node_in_its_own_solver_only():
    topo, _, _, far = divider()
    assert cy.CyBackwardForward(topo.network()).solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert far.get_port_potential(0) == pytest.approx(far_potential(Z, Y), rel=1e-9)
    cy.CyNewton(topo.network(), False)
    assert far.get_port_potential(0) == E

def shunt(length, n=4):
    y = np.full((n, n), -2e-5j * length)
    np.fill_diagonal(y, 1e-4j * length)
    return y.ravel()


def pi_feeder():
    """Star source with its neutral referenced, three pi sections with an
    unbalanced power load at each end; the ground ports on the reference."""
    topo = Topology()
    initial = np.append(SOURCE_VOLTAGES, 0j)
    reference, source, head = cy.CyPotentialRef(), cy.CyVoltageSource(4, SOURCE_VOLTAGES), cy.CyBus(4, initial)
    topo.add(reference, source, head)
    topo.connect(head, source, [(k, k) for k in range(4)])
    topo.connect(head, reference, [(3, 0)])
    buses, loads = [head], []
    for length, powers in ((0.3, (9e3 + 2e3j, 4e3, 6e3 + 1e3j)), (0.2, (2e3, 7e3 + 3e3j, 1e3j))):
        line, bus = cy.CyShuntLine(4, shunt(length), cable(length)), cy.CyBus(4, initial)
        load = cy.CyPowerLoad(4, np.array(powers))
        topo.add(line, bus)
        topo.connect_side(line, buses[-1], [(k, k) for k in range(4)], True, 4)
        topo.connect_side(line, bus, [(k, k) for k in range(4)], False, 4)
        topo.connect(line, reference, [(8, 0)])
        topo.connect(bus, load, [(k, k) for k in range(4)])
        buses.append(bus)
        loads.append(load)
    topo.add(*loads)
    return topo, reference, buses


def test_feeder_holds_kirchhoff_and_newton_and_the_sweep_agree():
    results = []
    for make_solver in (SOLVERS["newton"], SOLVERS["backward-forward"]):
        topo, reference, buses = pi_feeder()
        iterations, error = make_solver(topo.network()).solve_load_flow(100, 1e-10)
        assert error <= 1e-10
        for node in topo.nodes():
            if all(element is not reference for element, _ in node):
                assert abs(node_current(node)) < 1e-8
        results.append(np.concatenate([bus.get_potentials(4) for bus in buses]))
    assert results[1] == pytest.approx(results[0], abs=1e-7)
    assert abs(results[0][-1]) > 0.1  # the unbalance lifts the far neutral


def test_updates_between_solves():
    topo, _, line, far = divider()
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-10)
    z, y = 1.0 + 0.5j, 0.1j
    line.update_line_parameters(np.array([y]), np.array([z]))
    solver.solve_load_flow(20, 1e-10)
    by_arrays = far.get_port_potential(0)
    assert by_arrays == pytest.approx(far_potential(z, y), rel=1e-9)

    line.update_single_line_parameters(Y, Z)
    solver.solve_load_flow(20, 1e-10)
    assert far.get_port_potential(0) == pytest.approx(far_potential(Z, Y), rel=1e-9)
    line.update_single_line_parameters(y, z)
    solver.solve_load_flow(20, 1e-10)
    assert far.get_port_potential(0) == by_arrays


def two_conductor_line(make_line):
    """Source on conductor 0 and its neutral on conductor 1 of a line
    whose far ends feed an admittance load."""
    ref, source = cy.CyPotentialRef(), cy.CyVoltageSource(2, np.array([E]))
    line, load = make_line(), cy.CyAdmittanceLoad(2, np.array([Y_LOAD]))
    source.connect(ref, [(1, 0)])
    line.connect_side(source, [(0, 0), (1, 1)], True)
    line.connect_side(load, [(0, 0), (1, 1)], False)
    elements = [ref, source, line, load]
    if isinstance(line, cy.CyShuntLine):
        line.connect(ref, [(4, 0)])
    network = cy.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    cy.CyNewton(network, False).solve_load_flow(20, 1e-10)
    return load.get_potentials(2)


def test_matrices_are_read_row_major():
    z = np.array([0.4 + 0.2j, 0.1 + 0.3j, 0.05j, 0.3 + 0.1j])
    no_shunt = np.zeros(4, complex)
    simple = two_conductor_line(lambda: cy.CySimplifiedLine(2, z))
    assert two_conductor_line(lambda: cy.CyShuntLine(2, no_shunt, z)) == pytest.approx(simple, rel=1e-12)
    transposed = z.reshape(2, 2).T.ravel()
    assert two_conductor_line(lambda: cy.CyShuntLine(2, no_shunt, transposed)) != pytest.approx(simple, rel=1e-6)


SHORT_ARRAYS = {
    "y_shunt": (lambda: cy.CyShuntLine(2, np.ones(3, complex), np.ones(4, complex)), "y_shunt holds 3 values, 4"),
    "z_line": (lambda: cy.CyShuntLine(2, np.ones(4, complex), None), "z_line holds 0 values, 4"),
    "update y_shunt": (lambda: cy.CyShuntLine(2, np.ones(4, complex), np.ones(4, complex)).update_line_parameters(
        np.ones(1, complex), np.ones(4, complex)), "y_shunt holds 1 values, 4"),
    "update z_line": (lambda: cy.CyShuntLine(1, np.ones(1, complex), np.ones(1, complex)).update_line_parameters(
        np.ones(1, complex), None), "z_line holds 0 values, 1"),
}


@pytest.mark.parametrize("call, message", SHORT_ARRAYS.values(), ids=SHORT_ARRAYS)
def test_short_arrays_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 3 positional arguments \(2 given\)$"):
        cy.CyShuntLine(1, None)
    with pytest.raises(ValueError, match="expected 'double complex' but got 'double'"):
        cy.CyShuntLine(1, np.ones(1), np.ones(1, complex))
    line = cy.CyShuntLine(2, np.ones(4, complex), np.ones(4, complex))
    with pytest.raises(ValueError, match="this line has 2"):
        line.update_single_line_parameters(1j, 1j)
    with pytest.raises(TypeError, match="must be real number, not str"):
        cy.CyShuntLine(1, np.ones(1, complex), np.ones(1, complex)).update_single_line_parameters(1j, "z")
    with pytest.raises(RuntimeError):
        cy.CyShuntLine(-1, np.ones(1, complex), np.ones(1, complex))
    cy.CyShuntLine(0, None, None).update_line_parameters(None, None)
    cy.CyShuntLine(0, None, None).update_single_line_parameters(0j, 0j)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(line)


def test_a_line_between_two_referenced_nodes_in_every_solver():
    # The neutral return runs between two references: both of its ends are fixed.
    for make_solver in SOLVERS.values():
        topo, _, _, far = divider()
        neutral, far_ref = cy.CyShuntLine(1, np.array([Y]), np.array([Z])), cy.CyPotentialRef()
        topo.add(neutral, far_ref)
        topo.connect_side(neutral, topo.elements[0], [(0, 0)], True, 1)
        topo.connect_side(neutral, far_ref, [(0, 0)], False, 1)
        topo.connect(neutral, far_ref, [(2, 0)])
        _, error = make_solver(topo.network()).solve_load_flow(100, 1e-10)
        assert error <= 1e-10
        assert far.get_port_potential(0) == pytest.approx(far_potential(Z, Y), rel=1e-9)
        assert neutral.get_currents(3).tolist() == [0j, 0j, 0j]


def test_an_asymmetric_shunt_conserves_charge():
    y = np.array([2e-3j, -9e-4j, -1e-4j, 1.5e-3j])
    line = cy.CyShuntLine(2, y, np.array([0.2 + 0.4j, 0.05 + 0.1j, 0.01 + 0.03j, 0.3 + 0.5j]))
    source, ref, load = cy.CyVoltageSource(2, np.array([E])), cy.CyPotentialRef(), cy.CyAdmittanceLoad(2, np.array([Y_LOAD]))
    source.connect(ref, [(1, 0)])
    line.connect(ref, [(4, 0)])
    line.connect_side(source, [(0, 0), (1, 1)], True)
    line.connect_side(load, [(0, 0), (1, 1)], False)
    elements = np.array([ref, source, line, load], dtype=object)
    _, error = cy.CyNewton(cy.CyElectricalNetwork(elements, 4), False).solve_load_flow(20, 1e-10)
    assert error <= 1e-10
    currents = line.get_currents(5)
    assert abs(currents[4]) > 1e-3
    assert abs(currents.sum()) < 1e-12
