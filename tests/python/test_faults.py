"""Calls the engine would not survive are refused with an exception."""

import cmath
import ctypes
import gc
import random
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import LENGTHS, SOURCE_VOLTAGES, UNBALANCED_POWERS, cable, network_of, star_feeder


def bus(*potentials):
    return cy.CyBus(len(potentials), np.array(potentials, dtype=complex))


def ints(*values):
    return np.array(values, dtype=np.intc)


def complexes(count):
    return np.ones(count, dtype=complex)


class BareElement(cy.CyElement):
    pass


ABSTRACT_CALLS = {
    "connect": lambda: cy.CyElement().connect(bus(1), []),
    "connect_ports": lambda: cy.CyElement().connect_ports(None),
    "disconnect": lambda: cy.CyElement().disconnect(),
    "get_potentials": lambda: cy.CyElement().get_potentials(0),
    "get_currents": lambda: cy.CyBranch().get_currents(0),
    "get_port_potential": lambda: BareElement().get_port_potential(0),
    "get_port_current": lambda: cy.CyLoad().get_port_current(0),
    "connect_side": lambda: cy.CyBranch().connect_side(bus(1), [], True),
    "get_side_potentials": lambda: cy.CyBranch().get_side_potentials(0, 0),
    "get_side_currents": lambda: cy.CyBranch().get_side_currents(0, 0),
    "get_inner_currents": lambda: cy.CyLoad().get_inner_currents(0),
    "solve_load_flow": lambda: cy.CyAbstractNewton().solve_load_flow(1, 1.0),
    "reset_inputs": lambda: cy.CyAbstractSolver().reset_inputs(),
    "get_variables": lambda: cy.CyAbstractSolver().get_variables(),
    "set_variables": lambda: cy.CyAbstractNewton().set_variables(None),
}


@pytest.mark.parametrize("call", ABSTRACT_CALLS.values(), ids=ABSTRACT_CALLS)
def test_methods_of_abstract_wrappers(call):
    with pytest.raises(RuntimeError, match="^self: a bare "):
        call()


EMPTY_ARGUMENTS = {
    "connect None": (lambda: bus(1).connect(None, [(0, 0)]), TypeError, "cy_element"),
    "connect bare": (lambda: bus(1).connect(cy.CyElement(), [(0, 0)]), ValueError, "cy_element"),
    "connect_side None": (lambda: cy.CySwitch(1).connect_side(None, [(0, 0)], True), TypeError, "element"),
    "connect_side bare": (lambda: cy.CySwitch(1).connect_side(BareElement(), [], False), ValueError, "element"),
    "network item None": (lambda: cy.CyElectricalNetwork(np.array([bus(1), None]), 2), TypeError, r"elements\[1\]"),
    "network item bare": (lambda: cy.CyElectricalNetwork(np.array([cy.CyBranch()]), 1), ValueError, r"elements\[0\]"),
    "network item not an element": (lambda: cy.CyElectricalNetwork(np.array([1.5], dtype=object), 1), TypeError,
                                    r"elements\[0\]"),
    "nb_elements beyond the items": (lambda: cy.CyElectricalNetwork(np.array([bus(1)]), 2), ValueError, "nb_elements"),
    "no items": (lambda: cy.CyElectricalNetwork(None, 1), ValueError, "nb_elements"),
    "Newton without network": (lambda: cy.CyNewton(None, False), TypeError, "network"),
    "sweep without network": (lambda: cy.CyBackwardForward(None), TypeError, "network"),
}


@pytest.mark.parametrize("call, exception, name", EMPTY_ARGUMENTS.values(), ids=EMPTY_ARGUMENTS)
def test_missing_objects(call, exception, name):
    with pytest.raises(exception, match=name):
        call()


def test_port_indexes_are_checked_before_any_join():
    a, b = bus(1, 2), bus(10, 20)
    line = cy.CySimplifiedLine(2, complexes(4))
    refused = [
        lambda: a.connect(b, [(0, 0), (1, 2)]),
        lambda: a.connect(b, [(1, 1), (-1, 0)]),
        lambda: a.connect_ports(ints(0, 1, 2)),
        lambda: a.connect_ports(ints(1, -3)),
        lambda: line.connect_side(a, [(0, 0), (2, 1)], True),
        lambda: line.connect_side(a, [(1, 1), (0, 5)], False),
        lambda: a.get_port_potential(2),
        lambda: a.get_port_current(-1),
    ]
    for call in refused:
        with pytest.raises(IndexError, match="port index"):
            call()
    assert a.get_potentials(2).tolist() == [1, 2]
    assert b.get_potentials(2).tolist() == [10, 20]
    assert line.get_potentials(4).tolist() == [0, 0, 0, 0]


def test_sizes_beyond_the_element():
    a, switch = bus(1, 2), cy.CySwitch(2)
    load = cy.CyPowerLoad(4, complexes(3))
    delta = cy.CyDeltaCurrentLoad(3, complexes(3))
    refused = [
        (lambda: a.get_potentials(3), "n = 3"),
        (lambda: a.get_currents(3), "n = 3"),
        (lambda: switch.get_side_potentials(3, 0), "n1 = 3"),
        (lambda: switch.get_side_currents(1, 3), "n2 = 3"),
        (lambda: load.get_inner_currents(4), "size = 4"),
        (lambda: delta.get_inner_currents(4), "size = 4"),
    ]
    for call, message in refused:
        with pytest.raises(ValueError, match=message):
            call()
    assert a.get_potentials(1).tolist() == [1]
    solved, _ = delta_load_in_the_dark()
    assert solved.get_inner_currents(2).tolist() == solved.get_inner_currents(3)[:2].tolist()


SHORT_ARRAYS = {
    "bus": lambda: cy.CyBus(3, complexes(2)),
    "bus None": lambda: cy.CyBus(2, None),
    "line": lambda: cy.CySimplifiedLine(2, complexes(3)),
    "star power": lambda: cy.CyPowerLoad(4, complexes(2)),
    "delta power": lambda: cy.CyDeltaPowerLoad(3, complexes(2)),
    "star admittance": lambda: cy.CyAdmittanceLoad(3, None),
    "delta admittance": lambda: cy.CyDeltaAdmittanceLoad(2, complexes(1)),
    "star current": lambda: cy.CyCurrentLoad(2, complexes(0)),
    "delta current": lambda: cy.CyDeltaCurrentLoad(3, complexes(2)),
    "star source": lambda: cy.CyVoltageSource(3, complexes(1)),
    "delta source": lambda: cy.CyDeltaVoltageSource(3, None),
    "update powers": lambda: cy.CyPowerLoad(4, complexes(3)).update_powers(complexes(2)),
    "update delta powers": lambda: cy.CyDeltaPowerLoad(3, complexes(3)).update_powers(None),
    "update admittances": lambda: cy.CyAdmittanceLoad(3, complexes(2)).update_admittances(complexes(1)),
    "update delta admittances": lambda: cy.CyDeltaAdmittanceLoad(3, complexes(3)).update_admittances(complexes(2)),
    "update currents": lambda: cy.CyCurrentLoad(3, complexes(2)).update_currents(complexes(1)),
    "update delta currents": lambda: cy.CyDeltaCurrentLoad(3, complexes(3)).update_currents(complexes(2)),
    "update voltages": lambda: cy.CyVoltageSource(4, complexes(3)).update_voltages(complexes(2)),
    "update delta voltages": lambda: cy.CyDeltaVoltageSource(3, complexes(2)).update_voltages(complexes(1)),
    "update line": lambda: cy.CySimplifiedLine(2, complexes(4)).update_line_parameters(complexes(3)),
    "initialize potentials": lambda: bus(1, 2).initialize_potentials(complexes(1)),
    "set variables": lambda: cy.CyBackwardForward(cy.CyElectricalNetwork(np.array([bus(1)]), 1)).set_variables(
        np.ones(1)),
    "set variables None": lambda: cy.CyNewton(cy.CyElectricalNetwork(np.array([bus(1)]), 1), False).set_variables(
        None),
}


@pytest.mark.parametrize("call", SHORT_ARRAYS.values(), ids=SHORT_ARRAYS)
def test_short_arrays(call):
    with pytest.raises(ValueError, match=r"holds \d+ values, \d+ are needed"):
        call()


def test_arrays_that_nothing_reads_may_be_none():
    cy.CyBus(0, None).initialize_potentials(None)
    cy.CyVoltageSource(1, None).update_voltages(None)
    cy.CyDeltaPowerLoad(0, None).update_powers(None)
    load = cy.CyPowerLoad(1, None)
    load.update_powers(None)
    load.update_power(5j)
    assert load.get_inner_currents(0).shape == (0,)
    source = cy.CyVoltageSource(1, None)
    source.update_voltage(1j)
    network = cy.CyElectricalNetwork(None, 0)
    cy.CyBackwardForward(network).set_variables(None)
    assert cy.CySimplifiedLine(0, None).get_potentials(0).shape == (0,)


LEAST, MOST = -(2**31), 2**31 - 1
COUNTS_AT_THE_INT_ENDS = {
    "switch sides": lambda: cy.CySwitch(2**30),
    "open switch sides": lambda: cy.CyOpenSwitch(MOST),
    "transformer sides": lambda: cy.CyThreePhaseTransformer(MOST, 4, "D", "y", 1j, 0j, 0.1, 11),
    "star power": lambda: cy.CyPowerLoad(LEAST, None),
    "star admittance": lambda: cy.CyAdmittanceLoad(LEAST, None),
    "star current": lambda: cy.CyCurrentLoad(LEAST, None),
    "star source": lambda: cy.CyVoltageSource(LEAST, None),
    "delta source": lambda: cy.CyDeltaVoltageSource(LEAST, None),
}


@pytest.mark.parametrize("call", COUNTS_AT_THE_INT_ENDS.values(), ids=COUNTS_AT_THE_INT_ENDS)
def test_counts_at_the_int_ends_fail_as_negative_ones(call):
    # Refused before any sum or n - 1 could overflow, with the error of an ordinary negative count.
    with pytest.raises(RuntimeError) as error:
        call()
    assert str(error.value) == "vector"


def test_a_network_count_beyond_its_items_reserves_nothing():
    # Under a limit of 1 GB more address space, reserving 2**31 - 1 element
    # pointers (16 GB) before the check would fail with MemoryError.
    script = textwrap.dedent(
        """
        import resource
        import load_flow_engine.cy_engine as cy
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        try:
            cy.CyElectricalNetwork(None, 2**31 - 1)
        except Exception as error:
            print(type(error).__name__, error)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == "ValueError nb_elements = 2147483647 exceeds the 0 items of elements\n"


def test_single_value_line_update_needs_one_conductor():
    with pytest.raises(ValueError, match="this line has 2"):
        cy.CySimplifiedLine(2, complexes(4)).update_single_line_parameters(1j)
    cy.CySimplifiedLine(1, complexes(1)).update_single_line_parameters(1j)


def test_a_delta_reference_needs_a_port():
    with pytest.raises(ValueError, match="at least one port"):
        cy.CyDeltaPotentialRef(0)
    assert cy.CyDeltaPotentialRef(1).get_current() == 0j


def scribble_on_freed_memory():
    """Takes freed blocks back from the C allocator and overwrites them, so
    that a read through a dangling pointer cannot find the old value."""
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocks = [libc.malloc(size) for size in range(8, 4096, 8) for _ in range(8)]
    for block, size in zip(blocks, (size for size in range(8, 4096, 8) for _ in range(8))):
        ctypes.memset(block, 0x7F, size)
    for block in blocks:
        libc.free(block)


def feeder_in_the_dark():
    """A solved feeder of which the caller keeps only the far bus and the solver."""
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-9)
    return buses[-1], solver, buses[-1].get_potentials(4)


def test_a_solver_keeps_its_network_and_the_network_its_elements():
    far, solver, solved = feeder_in_the_dark()
    gc.collect()
    solver.reset_inputs()
    assert not np.allclose(far.get_potentials(4), solved)
    iterations, error = solver.solve_load_flow(20, 1e-9)
    assert iterations > 0 and error < 1e-9
    assert far.get_potentials(4) == pytest.approx(solved)


def test_records_survive_their_solver_and_their_network():
    far, solver, solved = feeder_in_the_dark()
    del solver
    gc.collect()
    scribble_on_freed_memory()
    assert far.get_potentials(4).tolist() == solved.tolist()
    far.initialize_potentials(np.zeros(4, complex))
    assert far.get_potentials(4).tolist() == [0, 0, 0, 0]


def delta_load_in_the_dark():
    """A solved delta load whose network and solver the caller drops."""
    source, reference = cy.CyDeltaVoltageSource(3, np.array([400 + 0j, -200 - 346.41j])), cy.CyDeltaPotentialRef(3)
    load = cy.CyDeltaPowerLoad(3, np.array([3e3 + 1e3j, 2e3, 1e3j]))
    node = cy.CyBus(3, SOURCE_VOLTAGES)
    for element in (source, reference, load):
        node.connect(element, [(k, k) for k in range(3)])
    network = cy.CyElectricalNetwork(np.array([source, reference, node, load]), 4)
    cy.CyNewton(network, False).solve_load_flow(20, 1e-9)
    return load, load.get_inner_currents(3)


def test_element_records_survive_their_solver_and_their_network():
    load, inner = delta_load_in_the_dark()
    gc.collect()
    scribble_on_freed_memory()
    assert load.get_inner_currents(3).tolist() == inner.tolist()
    load.update_powers(np.array([6e3 + 2e3j, 4e3, 2e3j]))
    assert load.get_inner_currents(3) == pytest.approx(2 * inner)


def onlooker_of_a_solved_feeder():
    """A bus on the far nodes of a feeder, left out of the network's elements."""
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    onlooker = bus(0, 0, 0, 0)
    buses[-1].connect(onlooker, [(k, k) for k in range(4)])
    cy.CyNewton(topo.network(), False).solve_load_flow(20, 1e-9)
    return onlooker, onlooker.get_potentials(4)


def test_a_node_outside_the_element_list_keeps_its_last_potential():
    onlooker, solved = onlooker_of_a_solved_feeder()
    assert abs(solved[0]) > 200
    gc.collect()
    scribble_on_freed_memory()
    assert onlooker.get_potentials(4).tolist() == solved.tolist()


def test_records_follow_the_solver_that_solves():
    topo, _, buses, loads = star_feeder(UNBALANCED_POWERS, LENGTHS)
    network = topo.network()
    newton = cy.CyNewton(network, False)
    sweep = cy.CyBackwardForward(network)
    newton.solve_load_flow(20, 1e-9)
    by_newton = buses[-1].get_potentials(4)
    sweep.solve_load_flow(1, 0.0)
    assert not np.allclose(buses[-1].get_potentials(4), by_newton)
    del sweep
    gc.collect()
    loads[0].update_powers(np.array(UNBALANCED_POWERS[0]) * 1.5)
    newton.solve_load_flow(20, 1e-9)
    assert not np.allclose(buses[-1].get_potentials(4), by_newton)
    loads[0].update_powers(np.array(UNBALANCED_POWERS[0]))
    newton.solve_load_flow(20, 1e-9)
    assert buses[-1].get_potentials(4) == pytest.approx(by_newton)


def test_unreachable_networks_are_collected():
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(20):
        feeder_in_the_dark()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


# Networks that share elements: rebuilt after a topology change, or a base
# case beside a what-if. Each solve is compared with a fresh build of the
# same data.

SOLVERS = {"newton": lambda network: cy.CyNewton(network, True), "sweep": cy.CyBackwardForward}


def limited(s_max):
    """P constant, Q following the voltage about 230 V, the power pulled back to s_max."""
    p_law = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    q_law = cy.CyControl("q_u", 207, 218.5, 241.5, 253, 50.0, 0.1)
    return cy.CyFlexibleParameter(p_law, q_law, cy.CyProjection("euclidean", 100.0, 1e-4), s_max, -1e3, 1e3)


def add_load(elements, power, parameter=None):
    values = np.array([power], dtype=complex)
    if parameter is None:
        load = cy.CyPowerLoad(2, values)
    else:
        load = cy.CyFlexibleLoad(2, values, np.array([parameter], dtype=object))
    elements[0].connect(load, [(0, 0), (1, 1)])
    elements.append(load)
    return load


def two_wire_bus(powers, parameters=()):
    """A source and a reference on a two-wire bus, then one load per power,
    flexible where a parameter is given."""
    node, reference, source = bus(230, 0), cy.CyPotentialRef(), cy.CyVoltageSource(2, np.array([230 + 0j]))
    node.connect(source, [(0, 0), (1, 1)])
    node.connect(reference, [(1, 0)])
    elements = [node, reference, source]
    for power, parameter in zip(powers, list(parameters) + [None] * len(powers)):
        add_load(elements, power, parameter)
    return elements


def state(elements):
    counts = [2, 1] + [2] * (len(elements) - 2)
    return np.concatenate([part for element, n in zip(elements, counts)
                           for part in (element.get_potentials(n), element.get_currents(n))]
                          + [[elements[1].get_current()]])


def assert_solves_as_fresh(solver, elements, make_solver, powers, parameters=()):
    fresh = two_wire_bus(powers, parameters)
    make_solver(network_of(fresh)).solve_load_flow(50, 1e-10)
    iterations, error = solver.solve_load_flow(50, 1e-10)
    assert error <= 1e-10
    np.testing.assert_allclose(state(elements), state(fresh), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS)
def test_a_rebuilt_network_solves_as_one_of_fresh_elements(make_solver):
    elements = two_wire_bus([1000])
    solver = make_solver(network_of(elements))
    solver.solve_load_flow(50, 1e-10)
    add_load(elements, 500)
    solver = make_solver(network_of(elements))  # the old network and solver go
    gc.collect()
    scribble_on_freed_memory()
    assert_solves_as_fresh(solver, elements, make_solver, [1000, 500])
    elements[3].update_powers(np.array([3000 + 1000j]))
    assert_solves_as_fresh(solver, elements, make_solver, [3000 + 1000j, 500])
    del solver
    gc.collect()
    scribble_on_freed_memory()
    elements[4].update_powers(np.array([700j]))  # into a dead solver's vectors
    assert_solves_as_fresh(make_solver(network_of(elements)), elements, make_solver, [3000 + 1000j, 700j])


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS)
def test_what_if_networks_each_read_their_own_solution(make_solver):
    elements = two_wire_bus([1000, 500])
    what_if = make_solver(network_of(elements))
    base = make_solver(network_of(elements[:4]))  # the extra load stays on the bus, unlisted
    elements[3].update_powers(np.array([3000 + 0j]))  # made after both solvers exist
    for _ in range(2):
        assert_solves_as_fresh(base, elements[:4], make_solver, [3000])
        assert_solves_as_fresh(what_if, elements, make_solver, [3000, 500])
    del what_if
    gc.collect()
    assert_solves_as_fresh(base, elements[:4], make_solver, [3000])


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS)
def test_networks_sharing_a_flexible_parameter_follow_its_updates(make_solver):
    shared = limited(1500.0)
    first, second = two_wire_bus([2000], [shared]), two_wire_bus([3000], [shared])
    solvers = [make_solver(network_of(first)), make_solver(network_of(second))]
    shared.update_parameters(1000.0, -1e3, 1e3)
    for _ in range(2):
        assert_solves_as_fresh(solvers[0], first, make_solver, [2000], [limited(1000.0)])
        assert_solves_as_fresh(solvers[1], second, make_solver, [3000], [limited(1000.0)])
    del solvers[0], first
    gc.collect()
    scribble_on_freed_memory()
    shared.update_parameters(800.0, -1e3, 1e3)
    assert_solves_as_fresh(solvers[0], second, make_solver, [3000], [limited(800.0)])


# Topology changed after networks and solvers exist: a join that keeps the
# listed ports together, in either direction, leaves a network equal to a
# fresh build of its list; any other change is refused until it is rebuilt.

REBUILD = "^The network's nodes were joined, split or fixed after it was built: build the network again$"
JOINS = {
    "bus absorbs load": lambda node, load: node.connect(load, [(0, 0), (1, 1)]),
    "load absorbs bus": lambda node, load: load.connect(node, [(0, 0), (1, 1)]),
}
ALL_SOLVERS = dict(SOLVERS, goldstein=lambda network: cy.CyNewtonGoldstein(network, True, 0.1, 0.9, True))


def unlisted_load(node, power, join):
    load = cy.CyPowerLoad(2, np.array([power], dtype=complex))
    join(node, load)
    return load


FREED_PORT_PATHS = {
    "sweep": lambda network, newton, sweep: sweep.solve_load_flow(50, 1e-10),
    "new newton": lambda network, newton, sweep: cy.CyNewton(network, True).solve_load_flow(50, 1e-10),
    "analyse": lambda network, newton, sweep: newton.analyse_jacobian(),
}


@pytest.mark.parametrize("path", FREED_PORT_PATHS.values(), ids=FREED_PORT_PATHS)
def test_a_deleted_element_leaves_no_port_on_a_network_node(path):
    elements = two_wire_bus([1000])
    extra = unlisted_load(elements[0], 500, JOINS["bus absorbs load"])
    network = network_of(elements)
    newton, sweep = cy.CyNewton(network, True), cy.CyBackwardForward(network)
    sweep.solve_load_flow(50, 1e-10)
    bus(230, 0).connect(elements[0], [(0, 0), (1, 1)])  # a new node takes all the bus's ports
    del extra
    gc.collect()
    scribble_on_freed_memory()
    fresh = network_of(two_wire_bus([1000]))
    assert path(network, newton, sweep) == path(fresh, cy.CyNewton(fresh, True), cy.CyBackwardForward(fresh))
    assert_solves_as_fresh(newton, elements, SOLVERS["newton"], [1000])


@pytest.mark.parametrize("join", JOINS.values(), ids=JOINS)
@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_load_joined_after_the_solver_leaves_the_network_as_built(make_solver, join):
    elements = two_wire_bus([1000])
    solver = make_solver(network_of(elements))
    solver.solve_load_flow(50, 1e-10)
    extra = unlisted_load(elements[0], 500, join)
    assert_solves_as_fresh(solver, elements, make_solver, [1000])
    assert extra.get_potentials(2) == pytest.approx(elements[3].get_potentials(2))


def far_feeder():
    topo, _, buses, loads = star_feeder(UNBALANCED_POWERS[:2], LENGTHS[:2])
    return topo, buses[-1], loads[-1]


def earth_far_neutral(far):
    """An unlisted reference on the far bus's neutral."""
    reference = cy.CyPotentialRef()
    far.connect(reference, [(3, 0)])
    return reference


@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_reference_joined_after_the_solver_is_refused_until_rebuilt(make_solver):
    topo, far, load = far_feeder()
    network = topo.network()
    solver = make_solver(network)
    solver.solve_load_flow(50, 1e-10)
    reference = earth_far_neutral(far)
    before = far.get_potentials(4), load.get_currents(4)
    with pytest.raises(RuntimeError, match=REBUILD):
        solver.solve_load_flow(50, 1e-10)
    with pytest.raises(RuntimeError, match=REBUILD):
        make_solver(network)
    assert far.get_potentials(4).tolist() == before[0].tolist()
    assert load.get_currents(4).tolist() == before[1].tolist()
    fresh_topo, fresh_far, fresh_load = far_feeder()
    fresh_reference = earth_far_neutral(fresh_far)
    make_solver(fresh_topo.network()).solve_load_flow(50, 1e-10)
    make_solver(topo.network()).solve_load_flow(50, 1e-10)
    assert far.get_potentials(4)[3] == 0
    assert reference.get_current() == pytest.approx(fresh_reference.get_current(), abs=1e-9)
    np.testing.assert_allclose(far.get_potentials(4), fresh_far.get_potentials(4), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(load.get_currents(4), fresh_load.get_currents(4), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_listed_load_disconnected_after_the_solver_is_refused_until_rebuilt(make_solver):
    elements = two_wire_bus([1000, 500])
    network = network_of(elements)
    solver = make_solver(network)
    solver.solve_load_flow(50, 1e-10)
    elements[4].disconnect()
    before = state(elements)
    for refused in (lambda: solver.solve_load_flow(50, 1e-10), lambda: make_solver(network)):
        with pytest.raises(RuntimeError, match=REBUILD):
            refused()
    assert state(elements).tolist() == before.tolist()
    assert_solves_as_fresh(make_solver(network_of(elements[:4])), elements[:4], make_solver, [1000])


@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_reference_counts_the_listed_elements_only(make_solver):
    elements = two_wire_bus([1000, 500])
    base = make_solver(network_of(elements[:4]))
    what_if = make_solver(network_of(elements))
    for _ in range(2):
        assert_solves_as_fresh(base, elements[:4], make_solver, [1000])
        assert_solves_as_fresh(what_if, elements, make_solver, [1000, 500])
    # Only a solve moves it: building a solver of any family on the base
    # network leaves the what-if's reading.
    drawn = elements[1].get_current()
    for build in ALL_SOLVERS.values():
        build(network_of(elements[:4]))
        assert elements[1].get_current() == drawn


def five_volt_network():
    """A source, an earth, a bus at 5 V and an admittance load: (bus, elements)."""
    node, reference, source = bus(5, 0), cy.CyPotentialRef(), cy.CyVoltageSource(2, np.array([5 + 0j]))
    load = cy.CyAdmittanceLoad(2, np.array([0.1 + 0j]))
    node.connect(source, [(0, 0), (1, 1)])
    node.connect(reference, [(1, 0)])
    node.connect(load, [(0, 0), (1, 1)])
    return node, [reference, source, node, load]


def delta_reference_on_fresh_bus():
    """The oracle: a delta reference joined as the caller to a new bus at 5 V
    whose network solves beside it, unlisted."""
    reference = cy.CyDeltaPotentialRef(1)
    node, elements = five_volt_network()
    reference.connect(node, [(0, 0)])
    return reference, node, elements


@pytest.mark.parametrize("order", ["b solved, then a built", "a built, then b solved"])
@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_join_that_hands_a_solved_record_over_leaves_each_network_its_own_result(make_solver, order):
    # The fresh build first: any solver built later takes the records back.
    fresh_reference, fresh_node, fresh_elements = delta_reference_on_fresh_bus()
    make_solver(network_of([fresh_reference])).solve_load_flow(50, 1e-10)
    a_result = fresh_reference.get_potentials(1)
    make_solver(network_of(fresh_elements)).solve_load_flow(50, 1e-10)
    b_result = fresh_node.get_potentials(2)
    assert abs(a_result[0]) < 1e-9 and b_result[0] == pytest.approx(5)

    # The delta reference's node holds no potential: joined as the caller to
    # a solved bus, it takes over that bus's record.
    reference = cy.CyDeltaPotentialRef(1)
    node, elements = five_volt_network()
    b = make_solver(network_of(elements))
    if order.startswith("b"):
        b.solve_load_flow(50, 1e-10)
        a = make_solver(network_of([reference]))
    else:
        a = make_solver(network_of([reference]))
        b.solve_load_flow(50, 1e-10)
    reference.connect(node, [(0, 0)])
    for _ in range(2):
        assert a.solve_load_flow(50, 1e-10)[1] <= 1e-10
        np.testing.assert_allclose(reference.get_potentials(1), a_result, atol=1e-9)
        assert b.solve_load_flow(50, 1e-10)[1] <= 1e-10
        np.testing.assert_allclose(node.get_potentials(2), b_result, atol=1e-9)
        np.testing.assert_allclose(reference.get_potentials(1), b_result[:1], atol=1e-9)


# Earths that come and go, and loads moved off an earthed node: the network
# is built again from its list and solved, and compared with a fresh build
# of the final topology from new objects.

class EarthedChain:
    """A source bus and lines on to two more buses, three phases and a
    neutral; a single-phase load from one phase to the neutral of one bus;
    a listed reference on the neutral of each earthed bus."""

    def __init__(self, earths=(0,), load_at=(2, 0)):
        self.source = cy.CyVoltageSource(4, SOURCE_VOLTAGES)
        self.buses = [bus(*SOURCE_VOLTAGES, 0) for _ in range(3)]
        self.buses[0].connect(self.source, [(k, k) for k in range(4)])
        self.lines = [cy.CySimplifiedLine(4, cable(length)) for length in LENGTHS[:2]]
        for line, upstream, downstream in zip(self.lines, self.buses, self.buses[1:]):
            line.connect_side(upstream, [(k, k) for k in range(4)], True)
            line.connect_side(downstream, [(k, k) for k in range(4)], False)
        self.load = cy.CyPowerLoad(2, np.array([30e3 + 8e3j]))
        self.put_load(*load_at)
        self.earths = {k: self.earth(k) for k in earths}

    def earth(self, k, reference=None):
        reference = reference or cy.CyPotentialRef()
        self.buses[k].connect(reference, [(3, 0)])
        return reference

    def put_load(self, k, phase):
        self.buses[k].connect(self.load, [(phase, 0), (3, 1)])

    def elements(self, *extra):
        return [self.source, self.buses[0], self.lines[0], self.buses[1], self.lines[1], self.buses[2],
                self.load, *self.earths.values(), *extra]

    def state(self):
        return np.concatenate([b.get_potentials(4) for b in self.buses] + [line.get_currents(8) for line in self.lines]
                              + [self.load.get_currents(2), [r.get_current() for _, r in sorted(self.earths.items())]])


def solve_chain(name, elements):
    return ALL_SOLVERS[name](network_of(elements)).solve_load_flow(100, 1e-9)


def assert_chain_solves_as_fresh(name, chain, elements, earths, load_at):
    fresh = EarthedChain(earths, load_at)
    expected, got = solve_chain(name, fresh.elements()), solve_chain(name, elements)
    if name == "sweep" and len(earths) > 1:
        # A neutral earthed at both ends is a mesh to the sweep: it must not
        # claim convergence.
        assert got[1] > 1e-9 and expected[1] > 1e-9
        return
    assert got[1] <= 1e-9 and expected[1] <= 1e-9
    np.testing.assert_allclose(chain.state(), fresh.state(), rtol=1e-9, atol=1e-8)


def disconnected(reference):
    reference.disconnect()
    return reference


# Whether the reference is listed, and what is left of it once it went.
EARTHS_THAT_GO = {
    "disconnected": (True, disconnected),
    "deleted after its network": (True, lambda reference: None),
    "deleted, never listed": (False, lambda reference: None),
}


@pytest.mark.parametrize("remove", EARTHS_THAT_GO.values(), ids=EARTHS_THAT_GO)
@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_an_earth_that_goes_frees_its_node_until_put_back(name, remove):
    listed, take_away = remove
    chain = EarthedChain()
    far = chain.earth(2)
    solve_chain(name, chain.elements(far) if listed else chain.elements())
    far = take_away(far)
    gc.collect()
    scribble_on_freed_memory()
    assert_chain_solves_as_fresh(name, chain, chain.elements(), (0,), (2, 0))
    chain.earths[2] = chain.earth(2, far)
    assert_chain_solves_as_fresh(name, chain, chain.elements(), (0, 2), (2, 0))


MOVES = {
    "to the far bus": (2, 0),
    "to another phase of the far bus": (2, 1),
    "to another phase of the earthed bus": (0, 2),
}


@pytest.mark.parametrize("to", MOVES.values(), ids=MOVES)
@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_a_load_moved_off_an_earthed_node_leaves_the_earth_behind(name, to):
    chain = EarthedChain(load_at=(0, 0))
    solve_chain(name, chain.elements())
    chain.load.disconnect()
    chain.put_load(*to)
    assert_chain_solves_as_fresh(name, chain, chain.elements(), (0,), to)


@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_an_earth_moved_frees_the_node_it_left(name):
    chain = EarthedChain(earths=(0, 1), load_at=(1, 0))
    solve_chain(name, chain.elements())
    moved = chain.earths.pop(1)
    moved.disconnect()
    chain.earths[2] = chain.earth(2, moved)
    assert_chain_solves_as_fresh(name, chain, chain.elements(), (0, 2), (1, 0))
    assert abs(chain.buses[1].get_potentials(4)[3]) > 1


@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_one_of_two_earths_removed_leaves_the_node_earthed(name):
    chain = EarthedChain()
    second = chain.earth(0)
    solve_chain(name, chain.elements(second))
    second.disconnect()
    assert_chain_solves_as_fresh(name, chain, chain.elements(), (0,), (2, 0))


STUB_JOINS = {
    "bus absorbs the stub": lambda far, stub: far.connect(stub, [(3, 0)]),
    "stub absorbs the bus": lambda far, stub: stub.connect(far, [(0, 3)]),
}


@pytest.mark.parametrize("join", STUB_JOINS.values(), ids=STUB_JOINS)
@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_an_earth_joined_with_its_node_then_removed_frees_the_joined_node(name, join):
    chain = EarthedChain()
    stub, earth = bus(0), cy.CyPotentialRef()
    stub.connect(earth, [(0, 0)])
    join(chain.buses[2], stub)
    solve_chain(name, chain.elements(stub, earth))
    earth.disconnect()
    assert_chain_solves_as_fresh(name, chain, chain.elements(stub), (0,), (2, 0))
    assert stub.get_potentials(1)[0] == chain.buses[2].get_potentials(4)[3]


@pytest.mark.parametrize("remove", ["disconnect", "delete"])
@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_an_old_network_refuses_once_its_unlisted_earth_went(make_solver, remove):
    topo, far, load = far_feeder()
    reference = earth_far_neutral(far)
    network = topo.network()
    solver = make_solver(network)
    solver.solve_load_flow(50, 1e-10)
    if remove == "disconnect":
        reference.disconnect()
    else:
        del reference
        gc.collect()
    before = far.get_potentials(4), load.get_currents(4)
    for refused in (lambda: solver.solve_load_flow(50, 1e-10), lambda: make_solver(network)):
        with pytest.raises(RuntimeError, match=REBUILD):
            refused()
    assert far.get_potentials(4).tolist() == before[0].tolist()
    assert load.get_currents(4).tolist() == before[1].tolist()
    fresh_topo, fresh_far, fresh_load = far_feeder()
    make_solver(fresh_topo.network()).solve_load_flow(50, 1e-10)
    make_solver(topo.network()).solve_load_flow(50, 1e-10)
    np.testing.assert_allclose(far.get_potentials(4), fresh_far.get_potentials(4), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(load.get_currents(4), fresh_load.get_currents(4), rtol=1e-9, atol=1e-9)


# An earth fault on the load's phase, cleared: the freed node starts where a
# fresh build without the fault starts, whichever node survived the join and
# whatever solved the faulted network.

FAULT_JOINS = {
    "fault absorbs the bus": lambda node, fault: fault.connect(node, [(0, 0)]),
    "bus absorbs the fault": lambda node, fault: node.connect(fault, [(0, 0)]),
}


def earth_fault(chain, join):
    """A reference on the far bus's phase a, which feeds the load."""
    fault = cy.CyPotentialRef()
    join(chain.buses[2], fault)
    return fault


@pytest.mark.parametrize("faulted", [None, "newton", "sweep"])
@pytest.mark.parametrize("join", FAULT_JOINS.values(), ids=FAULT_JOINS)
@pytest.mark.parametrize("name", ALL_SOLVERS)
def test_a_cleared_fault_leaves_its_node_where_a_fresh_build_starts(name, join, faulted):
    chain = EarthedChain()
    fault = earth_fault(chain, join)
    if faulted:
        # Without the load, which has no solution at 0 V.
        solve_chain(faulted, [e for e in chain.elements(fault) if e is not chain.load])
    fault.disconnect()
    assert_chain_solves_as_fresh(name, chain, chain.elements(fault), (0,), (2, 0))


@pytest.mark.parametrize("join", FAULT_JOINS.values(), ids=FAULT_JOINS)
@pytest.mark.parametrize("make_solver", ALL_SOLVERS.values(), ids=ALL_SOLVERS)
def test_a_network_that_never_listed_a_cleared_fault_solves_as_fresh(make_solver, join):
    chain = EarthedChain()
    network = network_of(chain.elements())
    old = make_solver(network)
    earth_fault(chain, join).disconnect()
    fresh = EarthedChain()
    make_solver(network_of(fresh.elements())).solve_load_flow(100, 1e-9)
    for solver in (make_solver(network), old):
        assert solver.solve_load_flow(100, 1e-9)[1] <= 1e-9
        np.testing.assert_allclose(chain.state(), fresh.state(), rtol=1e-9, atol=1e-8)



# Earths that come and go after Newton-family solves, failed ones among them:
# no iterate of theirs reaches a stored potential, so the network built again
# starts where a fresh build of its topology does, and solves as one.

EARTH_JOINS = {
    "bus absorbs the earth": lambda node, port, earth: node.connect(earth, [(port, 0)]),
    "earth absorbs the bus": lambda node, port, earth: earth.connect(node, [(0, port)]),
}


def solved_by(name):
    def solve(chain):
        solver = ALL_SOLVERS[name](network_of(chain.elements()))
        assert solver.solve_load_flow(100, 1e-9)[1] <= 1e-9
        return solver
    return solve


def failed_goldstein(chain):
    """Fails with a huge load, which is then put right: the elements read
    the non-finite iterate the solve stopped at."""
    chain.load.update_powers(np.array([1e200 + 0j]))
    solver = ALL_SOLVERS["goldstein"](network_of(chain.elements()))
    with pytest.raises(RuntimeError, match=r"^1 NaN value encountered"):
        solver.solve_load_flow(100, 1e-9)
    assert not np.isfinite(solver.get_variables()).all()
    chain.load.update_powers(np.array([30e3 + 8e3j]))
    return solver


BEFORE_THE_EARTH = {"newton": solved_by("newton"), "goldstein": solved_by("goldstein"),
                    "failed goldstein": failed_goldstein}
WHILE_EARTHED = {
    "nothing": lambda chain, earth: None,
    "a solver built, the earth unlisted": lambda chain, earth: ALL_SOLVERS["newton"](network_of(chain.elements())),
    "a solve, the earth listed": lambda chain, earth: solve_chain("newton", chain.elements(earth)),
}


def assert_every_family_as_fresh(elements, state, fresh_elements, fresh_state, families=ALL_SOLVERS):
    """Each family in turn on both element lists: the same start, the same
    iterations and error, the same result."""
    for name in families:
        solver, expected = ALL_SOLVERS[name](network_of(elements)), ALL_SOLVERS[name](network_of(fresh_elements))
        assert solver.get_variables().tolist() == expected.get_variables().tolist(), name
        assert solver.solve_load_flow(100, 1e-9) == expected.solve_load_flow(100, 1e-9), name
        np.testing.assert_allclose(state(), fresh_state(), rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("remove", ["disconnect", "delete"])
@pytest.mark.parametrize("meanwhile", WHILE_EARTHED.values(), ids=WHILE_EARTHED)
@pytest.mark.parametrize("join", EARTH_JOINS.values(), ids=EARTH_JOINS)
@pytest.mark.parametrize("before", BEFORE_THE_EARTH.values(), ids=BEFORE_THE_EARTH)
def test_an_earth_that_comes_and_goes_leaves_every_start_as_it_was(before, join, meanwhile, remove):
    chain = EarthedChain(load_at=(1, 0))
    _kept = before(chain)  # its slots stay alive throughout
    earth = cy.CyPotentialRef()
    join(chain.buses[2], 3, earth)
    during = meanwhile(chain, earth)
    if remove == "disconnect":
        earth.disconnect()
    else:
        del during, earth
        gc.collect()
        scribble_on_freed_memory()
    fresh = EarthedChain(load_at=(1, 0))
    assert_every_family_as_fresh(chain.elements(), chain.state, fresh.elements(), fresh.state)




@pytest.mark.parametrize("power", [30e3 + 8e3j, complex("nan")], ids=["swept", "failed"])
def test_a_sweep_run_while_an_earth_is_on_stores_what_it_writes(power):
    """A fault on the far bus's phase b, which the sweep cannot settle; the
    network built again once the fault went starts where the sweep left the
    free nodes, and a failed sweep's NaN makes every family fail at once,
    until the buses start again."""
    chain = EarthedChain(load_at=(1, 0))
    fault = cy.CyPotentialRef()
    chain.buses[2].connect(fault, [(1, 0)])
    chain.load.update_powers(np.array([power]))
    sweep = ALL_SOLVERS["sweep"](network_of(chain.elements(fault)))
    if cmath.isnan(power):
        with pytest.raises(RuntimeError, match=r"^2 NaN value encountered"):
            sweep.solve_load_flow(100, 1e-9)
    else:
        assert sweep.solve_load_flow(100, 1e-9)[1] > 1e-9
    swept = chain.buses[1].get_potentials(4)
    chain.load.update_powers(np.array([30e3 + 8e3j]))
    fault.disconnect()
    fresh = EarthedChain(load_at=(1, 0))
    for name, code in (("newton", "1"), ("goldstein", "1"), ("sweep", "2")):
        solver, expected = ALL_SOLVERS[name](network_of(chain.elements())), ALL_SOLVERS[name](network_of(fresh.elements()))
        np.testing.assert_array_equal(chain.buses[1].get_potentials(4), swept)
        assert solver.get_variables().tolist() != expected.get_variables().tolist()
        if cmath.isnan(power):
            with pytest.raises(RuntimeError, match=rf"^{code} NaN value encountered at iteration [01]\. $"):
                solver.solve_load_flow(100, 1e-9)
        else:
            assert solver.solve_load_flow(100, 1e-9)[1] <= 1e-9 and expected.solve_load_flow(100, 1e-9)[1] <= 1e-9
            np.testing.assert_allclose(chain.state(), fresh.state(), rtol=1e-9, atol=1e-8)
    for node in chain.buses:
        node.initialize_potentials(np.append(SOURCE_VOLTAGES, 0j))
    fresh = EarthedChain(load_at=(1, 0))
    assert_every_family_as_fresh(chain.elements(), chain.state, fresh.elements(), fresh.state)

# The load's phase earthed through a ground and its reference, neither of
# which holds a potential of its own: however the earth was put together and
# joined, the phase starts where a fresh build starts once the earth went.

GROUND_JOINS = {
    "ground.connect": lambda chain, ground: ground.connect(chain.buses[1], [(0, 0)]),
    "line.connect_side": lambda chain, ground: chain.lines[0].connect_side(ground, [(0, 0)], False),
}


def phase_earth(chain, join, reference_first):
    ground, reference = cy.CyGround(), cy.CyPotentialRef()
    if reference_first:
        reference.connect(ground, [(0, 0)])
    GROUND_JOINS[join](chain, ground)
    if not reference_first:
        reference.connect(ground, [(0, 0)])
    return ground, reference


WHILE_THE_PHASE_IS_EARTHED = {
    "nothing": lambda chain, earth: None,
    "a solver built": lambda chain, earth: ALL_SOLVERS["newton"](network_of(chain.elements(*earth))),
    # Without the load, which has no solution at 0 V.
    "a solve": lambda chain, earth: solve_chain("newton", [e for e in chain.elements(*earth) if e is not chain.load]),
}


@pytest.mark.parametrize("remove", ["disconnect", "delete", "reference only"])
@pytest.mark.parametrize("meanwhile", WHILE_THE_PHASE_IS_EARTHED.values(), ids=WHILE_THE_PHASE_IS_EARTHED)
@pytest.mark.parametrize("reference_first", [False, True], ids=["reference joined last", "reference joined first"])
@pytest.mark.parametrize("join", GROUND_JOINS)
@pytest.mark.parametrize("before", BEFORE_THE_EARTH.values(), ids=BEFORE_THE_EARTH)
def test_a_phase_earthed_through_a_ground_starts_as_fresh_once_the_earth_went(before, join, reference_first,
                                                                              meanwhile, remove):
    chain = EarthedChain(load_at=(1, 0))
    _kept = before(chain)
    earth = phase_earth(chain, join, reference_first)
    during = meanwhile(chain, earth)
    fresh, left, fresh_left = EarthedChain(load_at=(1, 0)), (), ()
    if remove == "disconnect":
        for element in earth:
            element.disconnect()
    elif remove == "delete":
        del during, earth
        gc.collect()
        scribble_on_freed_memory()
    else:
        # The ground stays on the phase, listed: a fresh one joined by the bus.
        earth[1].disconnect()
        left, fresh_left = earth[:1], (cy.CyGround(),)
        fresh.buses[1].connect(fresh_left[0], [(0, 0)])
    assert_every_family_as_fresh(chain.elements(*left), chain.state, fresh.elements(*fresh_left), fresh.state)


def test_a_failed_newton_solve_writes_only_its_own_unknowns():
    chain = EarthedChain(load_at=(1, 0))
    start = ALL_SOLVERS["newton"](network_of(chain.elements())).get_variables().tolist()
    failed = failed_goldstein(chain)
    assert not np.isfinite(chain.buses[1].get_potentials(4)).all()
    with pytest.raises(RuntimeError, match=r"^1 NaN value encountered at iteration 0\. $"):
        failed.solve_load_flow(100, 1e-9)  # from where the failure stopped
    # A port moved off a node then takes the value it reads.
    chain.load.disconnect()
    assert not np.isfinite(ALL_SOLVERS["newton"](network_of([chain.load])).get_variables()).all()
    chain.put_load(1, 0)
    assert ALL_SOLVERS["newton"](network_of(chain.elements())).get_variables().tolist() == start
    assert np.isfinite(chain.buses[1].get_potentials(4)).all()
    failed.reset_inputs()
    assert failed.get_variables().tolist() == start
    fresh = EarthedChain(load_at=(1, 0))
    assert_every_family_as_fresh(chain.elements(), chain.state, fresh.elements(), fresh.state)


class DeltaFedSubstations:
    """A delta MV source with a delta reference; off its three-wire bus a
    Dyn11 and a YNyn0 transformer, each feeding a loaded four-wire LV bus.
    Earths may sit on the YNyn0's HV neutral, alone on a bus, and on either
    LV neutral."""

    MV = 20e3 / np.sqrt(3) * np.exp(-2j * np.pi / 3 * np.arange(3))

    def __init__(self, earths=(), join=EARTH_JOINS["bus absorbs the earth"]):
        self.source, self.reference = cy.CyDeltaVoltageSource(3, self.MV[:2] - self.MV[1:]), cy.CyDeltaPotentialRef(3)
        self.mv = cy.CyBus(3, self.MV)
        for element in (self.source, self.reference):
            self.mv.connect(element, [(k, k) for k in range(3)])
        lv = 400 / 20e3 * self.MV
        self.hv_neutral = bus(0)
        self.lv = [bus(*lv * np.exp(1j * np.pi / 6), 0), bus(*lv, 0)]
        self.transformers = [cy.CyThreePhaseTransformer(3, 4, "D", "y", 0.004 + 0.012j, 2e-6 - 8e-6j, 0.0115470, 11),
                             cy.CyThreePhaseTransformer(4, 4, "Y", "y", 0.004 + 0.012j, 2e-6 - 8e-6j, 0.02, 0)]
        self.loads = [cy.CyPowerLoad(4, np.array([60e3 + 15e3j, 30e3 + 5e3j, 10e3])),
                      cy.CyPowerLoad(4, np.array([20e3, 45e3 + 10e3j, 25e3 - 5e3j]))]
        for transformer, node, load in zip(self.transformers, self.lv, self.loads):
            transformer.connect_side(self.mv, [(k, k) for k in range(3)], True)
            transformer.connect_side(node, [(k, k) for k in range(4)], False)
            node.connect(load, [(k, k) for k in range(4)])
        self.transformers[1].connect_side(self.hv_neutral, [(3, 0)], True)
        self.neutrals = {"hv": (self.hv_neutral, 0), "lv1": (self.lv[0], 3), "lv2": (self.lv[1], 3)}
        self.earths = {}
        for where in earths:
            self.earth(where, join)

    def earth(self, where, join, earth=None):
        self.earths[where] = earth or cy.CyPotentialRef()
        join(*self.neutrals[where], self.earths[where])

    def elements(self):
        return [self.source, self.reference, self.mv, *self.transformers, self.hv_neutral, *self.lv, *self.loads,
                *self.earths.values()]

    def state(self):
        return np.concatenate([self.mv.get_potentials(3), self.hv_neutral.get_potentials(1)]
                              + [node.get_potentials(4) for node in self.lv]
                              + [t.get_currents(n) for t, n in zip(self.transformers, (7, 8))]
                              + [[self.reference.get_current()]])


@pytest.mark.parametrize("join", EARTH_JOINS.values(), ids=EARTH_JOINS)
def test_earths_that_come_and_go_on_transformer_neutrals(join):
    """Newton solves between the earths' comings and goings; every network
    built again is compared with a fresh build of its topology."""
    net = DeltaFedSubstations(("lv1", "lv2"), join)
    solve_chain("newton", net.elements())
    assert abs(net.hv_neutral.get_potentials(1)[0]) > 1e3  # floating

    def went(where, remove):
        solve_chain("newton", net.elements())
        earth = net.earths.pop(where)
        if remove == "disconnect":
            earth.disconnect()
        else:
            earth = None
            gc.collect()
        fresh = DeltaFedSubstations(net.earths)
        assert_every_family_as_fresh(net.elements(), net.state, fresh.elements(), fresh.state,
                                     ("newton", "goldstein"))
        return earth

    net.earth("hv", join)
    net.earth("hv", join, went("hv", "disconnect"))
    went("lv2", "delete")
    net.earth("lv2", join)
    went("hv", "delete")
    net.earth("hv", join)
    went("lv2", "disconnect")


@pytest.mark.parametrize("remove", ["disconnect", "delete"])
def test_a_ground_first_earth_on_a_delta_phase_leaves_no_trace(remove):
    net = DeltaFedSubstations(("lv1", "lv2"))
    solve_chain("newton", net.elements())
    ground, reference = cy.CyGround(), cy.CyPotentialRef()
    reference.connect(ground, [(0, 0)])
    ground.connect(net.mv, [(0, 0)])
    assert net.mv.get_port_potential(0) == 0
    built = ALL_SOLVERS["goldstein"](network_of(net.elements() + [ground, reference]))
    if remove == "disconnect":
        ground.disconnect()
        reference.disconnect()
    else:
        del built, ground, reference
        gc.collect()
    fresh = DeltaFedSubstations(("lv1", "lv2"))
    assert_every_family_as_fresh(net.elements(), net.state, fresh.elements(), fresh.state, ("newton", "goldstein"))



@pytest.mark.parametrize("earths", [("hv",), ("hv", "lv2")], ids=["hv", "hv and lv2"])
@pytest.mark.parametrize("name", ["newton", "goldstein"])
def test_an_lv_side_without_an_earth_is_singular_or_floats(name, earths):
    """The Dyn11's LV neutral unearthed: nothing fixes the common part of its
    potentials. Either the matrix is singular, or the solve converges to
    differences that an earthed neutral gives too."""
    net, earthed = DeltaFedSubstations(earths), DeltaFedSubstations(earths + ("lv1",))
    assert ALL_SOLVERS[name](network_of(earthed.elements())).solve_load_flow(50, 1e-9)[1] <= 1e-9
    try:
        error = ALL_SOLVERS[name](network_of(net.elements())).solve_load_flow(50, 1e-9)[1]
    except RuntimeError as failure:
        assert re.fullmatch(r"1 Decomposition failed, singular matrix at iteration \d+\. ", str(failure))
        return
    assert error <= 1e-9
    floating, reference = net.lv[0].get_potentials(4), earthed.lv[0].get_potentials(4)
    np.testing.assert_allclose(floating[:3] - floating[3], reference[:3] - reference[3], rtol=1e-9)
    np.testing.assert_allclose(net.loads[0].get_currents(4), earthed.loads[0].get_currents(4), rtol=1e-9)

def delta_loaded_bus(reference_calls):
    """A delta source, a delta reference and a delta power load on a three-wire bus."""
    mv = cy.CyBus(3, DeltaFedSubstations.MV)
    source = cy.CyDeltaVoltageSource(3, DeltaFedSubstations.MV[:2] - DeltaFedSubstations.MV[1:])
    reference, load = cy.CyDeltaPotentialRef(3), cy.CyDeltaPowerLoad(3, np.array([90e3 + 20e3j, 60e3, 75e3 + 5e3j]))
    mv.connect(source, [(k, k) for k in range(3)])
    if reference_calls:
        reference.connect(mv, [(k, k) for k in range(3)])
    else:
        mv.connect(reference, [(k, k) for k in range(3)])
    mv.connect(load, [(k, k) for k in range(3)])
    return [source, reference, mv, load], lambda: np.concatenate(
        [mv.get_potentials(3), load.get_currents(3), [reference.get_current()]])


def test_a_delta_reference_that_calls_the_join_starts_its_nodes_where_the_bus_does():
    elements, state = delta_loaded_bus(True)
    fresh, fresh_state = delta_loaded_bus(False)
    assert_every_family_as_fresh(elements, state, fresh, fresh_state)


def load_on_fixed_nodes():
    reference, load = cy.CyPotentialRef(), cy.CyPowerLoad(2, np.array([1000 + 100j]))
    reference.connect(load, [(0, 0), (0, 1)])
    return network_of([reference, load])


@pytest.mark.parametrize("make_solver, code", [(ALL_SOLVERS[name], code) for name, code in
                                               (("newton", 1), ("goldstein", 1), ("sweep", 2))],
                         ids=["newton", "goldstein", "sweep"])
def test_infinite_currents_on_fixed_nodes_are_a_failure(make_solver, code):
    with pytest.raises(RuntimeError, match=rf"^{code} NaN value encountered at iteration \d+\. $"):
        make_solver(load_on_fixed_nodes()).solve_load_flow(10, 1e-9)


def floating_load(potential):
    node, load = bus(potential, 0), cy.CyPowerLoad(2, np.array([1000 + 100j]))
    node.connect(load, [(0, 0), (1, 1)])
    return [node, load]


def test_a_solvers_diagnostics_follow_its_own_recording():
    elements = floating_load(0)
    first = cy.CyNewton(network_of(elements), False)
    at_zero, x = first.analyse_jacobian(), first.get_variables()
    assert at_zero == cy.CyNewton(network_of(floating_load(0)), False).analyse_jacobian()
    elements[0].initialize_potentials(np.array([230, 0], dtype=complex))
    second = cy.CyNewton(network_of(elements), False)
    first.set_variables(x)  # back where the bus's update moved it
    assert second.analyse_jacobian() == cy.CyNewton(network_of(floating_load(230)), False).analyse_jacobian()
    assert second.analyse_jacobian() != at_zero
    assert first.analyse_jacobian() == at_zero


def regulated_load_with_an_earthed_neutral_bus():
    """A source feeding a regulator, listed last, and a load on its output
    whose neutral terminal sits on a bus of its own, earthed by a reference
    that no network lists; a ground alone on its node names an empty column."""
    source, reference = cy.CyVoltageSource(2, np.array([230 + 0j])), cy.CyPotentialRef()
    source.connect(reference, [(1, 0)])
    regulator = cy.CySingleVoltageRegulator(0.05 + 0.1j, 1e-4 - 5e-4j, 230.0, 0.1, 1000.0, 0.0)
    regulator.connect_side(source, [(0, 0), (1, 1)], True)
    output, neutral = bus(230), bus(0)
    regulator.connect_side(output, [(0, 0)], False)
    load = cy.CyPowerLoad(2, np.array([5e3 + 1e3j]))
    output.connect(load, [(0, 0)])
    neutral.connect(load, [(0, 1)])
    earth = cy.CyPotentialRef()
    neutral.connect(earth, [(0, 0)])
    return [source, reference, output, load, neutral, cy.CyGround(), regulator], earth


def diagnostics(solver, prefix):
    solver.save_matrix(str(prefix))
    files = [prefix.with_name(prefix.name + suffix).read_text() for suffix in (".mtx", "_b.mtx")]
    return files, solver.analyse_jacobian(), solver.get_jacobian().tolist(), solver.get_residuals().tolist()


def market_matrix(text, n):
    matrix = np.zeros((n, n))
    for line in text.splitlines()[2:]:
        row, col, value = line.split()
        matrix[int(row) - 1, int(col) - 1] = float(value)
    return matrix


@pytest.mark.parametrize("remove", ["disconnect", "delete"])
@pytest.mark.parametrize("first", ["analyse", "save"])
def test_diagnostics_read_the_layout_their_tape_was_recorded_with(first, remove, tmp_path):
    elements, earth = regulated_load_with_an_earthed_neutral_bus()
    solver = cy.CyNewton(network_of(elements), False)
    if remove == "disconnect":
        earth.disconnect()
    else:
        del earth
        gc.collect()
    if first == "analyse":  # the first Jacobian after the earth went builds the pattern
        solver.analyse_jacobian()
    fresh, _kept_earth = regulated_load_with_an_earthed_neutral_bus()
    expected = diagnostics(cy.CyNewton(network_of(fresh), False), tmp_path / "fresh")
    got = diagnostics(solver, tmp_path / "kept")
    assert got == expected
    assert got[1] == ([5], [])
    n = solver.get_variables().size
    np.testing.assert_array_equal(market_matrix(got[0][0], n), solver.get_jacobian())


def test_random_topology_changes_match_fresh_builds():
    """Loads joined in either direction, disconnected, joined again, deleted;
    networks over some of them built and solved in turn. A solve is refused
    while a listed load is off the bus, and otherwise matches a fresh build."""
    rng = random.Random(2718)
    elements = two_wire_bus([])
    node = elements[0]
    loads = {}  # load: [power, on the bus]
    built = []  # (solver, its maker, listed loads), the last few
    for _ in range(200):
        step = rng.choice(["join", "join", "disconnect", "reconnect", "delete", "update", "build", "solve", "solve"])
        listed = {load for _, _, some in built for load in some}
        off = [load for load, (_, on) in loads.items() if not on]
        on = [load for load, (_, on) in loads.items() if on]
        if step == "join":
            power = complex(rng.uniform(100, 3000), rng.uniform(-500, 500))
            loads[unlisted_load(node, power, rng.choice(list(JOINS.values())))] = [power, True]
        elif step == "disconnect" and on:
            load = rng.choice(on)
            load.disconnect()
            loads[load][1] = False
        elif step == "reconnect" and off:
            load = rng.choice(off)
            rng.choice(list(JOINS.values()))(node, load)
            loads[load][1] = True
        elif step == "delete" and set(loads) - listed:
            del loads[rng.choice(sorted(set(loads) - listed, key=id))]
            gc.collect()
        elif step == "update" and loads:
            load = rng.choice(list(loads))
            loads[load][0] = complex(rng.uniform(100, 3000), rng.uniform(-500, 500))
            load.update_powers(np.array([loads[load][0]]))
        elif step == "build":
            some = rng.sample(on, rng.randint(0, len(on)))
            node.initialize_potentials(np.array([230, 0], dtype=complex))
            make_solver = rng.choice(list(ALL_SOLVERS.values()))
            built = built[-2:] + [(make_solver(network_of(elements + some)), make_solver, some)]
        elif step == "solve" and built:
            solver, make_solver, some = rng.choice(built)
            if any(not loads[load][1] for load in some):
                before = state(elements + some)
                with pytest.raises(RuntimeError, match=REBUILD):
                    solver.solve_load_flow(50, 1e-10)
                assert state(elements + some).tolist() == before.tolist()
            else:
                assert_solves_as_fresh(solver, elements + some, make_solver, [loads[load][0] for load in some])
