import cmath
import gc
import math

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import (LENGTHS, SOURCE_VOLTAGES, UNBALANCED_POWERS, Topology, cable, network_of, node_current,
                     star_feeder)

SOLVERS = {
    "newton": lambda network: cy.CyNewton(network, False),
    "optimized newton": lambda network: cy.CyNewton(network, True),
    "backward-forward": cy.CyBackwardForward,
}


def single_phase(z, y, e=230 + 0j):
    """Source, cable (z on phase and neutral) and admittance load y."""
    topo = Topology()
    source, ref = cy.CyVoltageSource(2, np.array([e])), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(2, np.array([z, 0, 0, z]))
    far = cy.CyBus(2, np.array([e, 0j]))
    load = cy.CyAdmittanceLoad(2, np.array([y]))
    topo.add(ref, source, line, far, load)
    topo.connect(source, ref, [(1, 0)])
    topo.connect_side(line, source, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(line, far, [(0, 0), (1, 1)], False, 2)
    topo.connect(far, load, [(0, 0), (1, 1)])
    return topo, source, line, far, load


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS)
def test_closed_form(make_solver):
    z, y = 0.4 + 0.2j, 0.05 - 0.01j
    topo, source, line, far, load = single_phase(z, 0.2 + 0j)
    load.update_admittances(np.array([y, 7 + 0j]))
    solver = make_solver(topo.network())
    iterations, error = solver.solve_load_flow(50, 1e-10)
    assert type(iterations) is int and type(error) is float and error <= 1e-10
    expected = 230 / (1 + 2 * z * y)
    v = far.get_potentials(2)
    assert v[0] - v[1] == pytest.approx(expected, rel=1e-9)
    assert load.get_inner_currents(1)[0] == pytest.approx(y * expected, rel=1e-9)
    currents1, currents2 = line.get_side_currents(2, 2)
    assert currents1 == pytest.approx(-currents2, rel=1e-9)
    assert currents1[0] == pytest.approx(y * expected, rel=1e-9)


EVERY_SOLVER = {**SOLVERS, "goldstein": lambda network: cy.CyNewtonGoldstein(network, False, 0.1, 0.9, True)}


@pytest.mark.parametrize("make_solver", EVERY_SOLVER.values(), ids=EVERY_SOLVER)
def test_a_nan_tolerance_is_refused(make_solver):
    topo, *_ = single_phase(0.4 + 0.2j, 0.05 + 0j)
    solver = make_solver(topo.network())
    start = solver.get_variables()
    with pytest.raises(ValueError, match=r"^The tolerance must not be NaN$"):
        solver.solve_load_flow(50, float("nan"))
    assert solver.get_variables().tolist() == start.tolist()


def feeder_potentials(buses):
    return np.concatenate([b.get_potentials(4) for b in buses])


def test_unbalanced_feeder_satisfies_kirchhoff_and_the_load_powers():
    topo, reference, buses, loads = star_feeder(UNBALANCED_POWERS, LENGTHS)
    solver = cy.CyNewton(topo.network(), True)
    iterations, error = solver.solve_load_flow(20, 1e-9)
    assert 0 < iterations < 20 and error < 1e-9
    for node in topo.nodes():
        if any(element is reference for element, _ in node):
            assert reference.get_current() == pytest.approx(node_current(node), abs=1e-12)
        else:
            assert abs(node_current(node)) < 1e-6
    for bus, load, powers in zip(buses[1:], loads, UNBALANCED_POWERS):
        v = bus.get_potentials(4)
        currents = load.get_currents(4)
        assert currents[3] == pytest.approx(-currents[:3].sum())
        assert load.get_inner_currents(3) == pytest.approx(currents[:3])
        assert (v[:3] - v[3]) * np.conj(currents[:3]) == pytest.approx(np.array(powers), rel=1e-7)
        assert abs(v[3]) > 0.1
    drop = np.abs(buses[0].get_potentials(3)) - np.abs(buses[-1].get_potentials(3))
    assert np.all(drop > 0)


def test_newton_and_backward_forward_agree():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    network = topo.network()
    newton = cy.CyNewton(network, False)
    newton.solve_load_flow(20, 1e-10)
    by_newton = feeder_potentials(buses)
    sweep = cy.CyBackwardForward(network)
    iterations, error = sweep.solve_load_flow(200, 1e-10)
    assert iterations > 1 and error <= 1e-10
    assert feeder_potentials(buses) == pytest.approx(by_newton, abs=1e-7)


def test_the_sweep_balances_only_the_currents_of_listed_elements():
    topo, _, _, far, load = single_phase(0.4 + 0.2j, 0.05 + 0j)
    alone = topo.network()
    cy.CyNewton(alone, False).solve_load_flow(20, 1e-10)
    by_newton = far.get_potentials(2)
    other = cy.CyPowerLoad(2, np.array([3e3 + 1e3j]))
    far.connect(other, [(0, 0), (1, 1)])
    with_other = cy.CyElectricalNetwork(np.array([*topo.elements, other], dtype=object), len(topo.elements) + 1)
    assert cy.CyBackwardForward(with_other).solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert abs(other.get_currents(2)[0]) > 10
    # The other load keeps its current, which the network without it must not count.
    assert cy.CyBackwardForward(alone).solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert far.get_potentials(2) == pytest.approx(by_newton, abs=1e-8)


def island_behind_an_open_switch():
    topo, source, *_ = single_phase(0.4 + 0.2j, 0.05 + 0j)
    switch, island = cy.CyOpenSwitch(2), cy.CyBus(2, np.array([230 + 0j, 0j]))
    load = cy.CyPowerLoad(2, np.array([2e3 + 1e3j]))
    topo.add(switch, island, load)
    topo.connect_side(switch, source, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(switch, island, [(0, 0), (1, 1)], False, 2)
    topo.connect(island, load, [(0, 0), (1, 1)])
    return topo, (6, 0)


def island_without_a_source():
    topo, *_ = single_phase(0.4 + 0.2j, 0.05 + 0j)
    start = np.array([230 + 0j, 0j])
    dead_end, line, far = cy.CyBus(2, start), cy.CySimplifiedLine(2, cable(0.5, 2)), cy.CyBus(2, start)
    load = cy.CyPowerLoad(2, np.array([8e3 + 2e3j]))
    topo.add(dead_end, line, far, load)
    topo.connect_side(line, dead_end, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(line, far, [(0, 0), (1, 1)], False, 2)
    topo.connect(far, load, [(0, 0), (1, 1)])
    return topo, (5, 0)


def star_load_with_its_neutral_on_nothing():
    topo, _, buses, loads = star_feeder(UNBALANCED_POWERS, LENGTHS)
    load = cy.CyPowerLoad(4, np.array(UNBALANCED_POWERS[0]))
    topo.add(load)
    topo.connect(buses[2], load, [(k, k) for k in range(3)])
    return topo, (len(topo.elements) - 1, 3)


def admittance_load_on_three_wires_with_its_neutral_floating():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    line, far = cy.CySimplifiedLine(3, cable(0.2, 3)), cy.CyBus(3, SOURCE_VOLTAGES)
    load = cy.CyAdmittanceLoad(4, np.array([0.05, 0.02 + 0.01j, 0.03]))
    topo.add(line, far, load)
    topo.connect_side(line, buses[1], [(k, k) for k in range(3)], True, 3)
    topo.connect_side(line, far, [(k, k) for k in range(3)], False, 3)
    topo.connect(far, load, [(k, k) for k in range(3)])
    return topo, (len(topo.elements) - 1, 3)


@pytest.mark.parametrize("make", [island_behind_an_open_switch, island_without_a_source,
                                  star_load_with_its_neutral_on_nothing,
                                  admittance_load_on_three_wires_with_its_neutral_floating])
def test_the_sweep_refuses_a_node_that_nothing_feeds(make):
    topo, (element, port) = make()
    message = (f"2 Nothing feeds the node at port {port} of element {element}: the backward-forward sweep needs every "
               "node fed from a fixed potential through sources, lines, switches, transformers or regulators")
    sweep = cy.CyBackwardForward(topo.network())
    # Only sweeps that settle look for such a node: stopped before, it returns.
    iterations, error = sweep.solve_load_flow(2, 1e-9)
    assert iterations == 2 and error > 1e-9
    with pytest.raises(RuntimeError) as refusal:
        sweep.solve_load_flow(100, 1e-9)
    assert str(refusal.value) == message


def test_two_earths_share_the_neutral_current():
    topo, reference, buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    far_earth = cy.CyPotentialRef()
    topo.add(far_earth)
    topo.connect(buses[-1], far_earth, [(3, 0)])
    cy.CyNewton(topo.network(), False).solve_load_flow(20, 1e-9)
    assert abs(far_earth.get_current()) > 1
    assert reference.get_current() == pytest.approx(-far_earth.get_current(), rel=1e-6)
    assert buses[-1].get_port_potential(3) == 0


def test_delta_network():
    topo = Topology()
    line_voltages = SOURCE_VOLTAGES * (1 - np.exp(-2j * np.pi / 3))
    source = cy.CyDeltaVoltageSource(3, line_voltages[:2].copy())
    reference = cy.CyDeltaPotentialRef(3)
    lines = [cy.CySimplifiedLine(3, cable(0.1, 3)) for _ in range(3)]
    far = [cy.CyBus(3, SOURCE_VOLTAGES) for _ in range(3)]
    powers, currents, admittances = np.array([5e3, 3e3 + 1e3j, 4e3]), np.array([10, 12, 8 - 1j]), np.array([0.02, 0.03, 0.01j])
    loads = [cy.CyDeltaPowerLoad(3, powers), cy.CyDeltaCurrentLoad(3, currents), cy.CyDeltaAdmittanceLoad(3, admittances)]
    topo.add(source, reference, *lines, *far, *loads)
    topo.connect(source, reference, [(k, k) for k in range(3)])
    for line, bus, load in zip(lines, far, loads):
        topo.connect_side(line, source, [(k, k) for k in range(3)], True, 3)
        topo.connect_side(line, bus, [(k, k) for k in range(3)], False, 3)
        topo.connect(bus, load, [(k, k) for k in range(3)])
    cy.CyNewton(topo.network(), False).solve_load_flow(20, 1e-9)

    v = source.get_potentials(3)
    assert v.sum() == pytest.approx(0, abs=1e-9)
    assert v[:2] - v[[1, 2]] == pytest.approx(line_voltages[:2])
    assert abs(reference.get_current()) < 1e-6
    branch_voltages = [b.get_potentials(3) - np.roll(b.get_potentials(3), -1) for b in far]
    inner = [load.get_inner_currents(3) for load in loads]
    assert branch_voltages[0] * np.conj(inner[0]) == pytest.approx(powers)
    assert np.abs(inner[1]) == pytest.approx(np.abs(currents))
    assert inner[2] == pytest.approx(admittances * branch_voltages[2])
    for node in topo.nodes():
        assert abs(node_current(node)) < 1e-6


def test_switches():
    topo = Topology()
    source, ref = cy.CyVoltageSource(2, np.array([100 + 0j])), cy.CyPotentialRef()
    closed, opened = cy.CySwitch(2), cy.CyOpenSwitch(2)
    after_closed, after_open = cy.CyBus(2, np.array([0j, 0j])), cy.CyBus(2, np.array([7j, 0j]))
    load, other = cy.CyAdmittanceLoad(2, np.array([0.5 + 0j])), cy.CyAdmittanceLoad(2, np.array([0.5 + 0j]))
    topo.add(ref, source, closed, opened, after_closed, after_open, load, other)
    topo.connect(source, ref, [(1, 0)])
    for switch, bus, bus_load in ((closed, after_closed, load), (opened, after_open, other)):
        topo.connect_side(switch, source, [(0, 0), (1, 1)], True, 2)
        topo.connect_side(switch, bus, [(0, 0), (1, 1)], False, 2)
        topo.connect(bus, bus_load, [(0, 0), (1, 1)])
    other_ref = cy.CyPotentialRef()
    topo.add(other_ref)
    topo.connect(after_open, other_ref, [(1, 0)])
    cy.CyNewton(topo.network(), False).solve_load_flow(10, 1e-10)
    assert after_closed.get_potentials(2) == pytest.approx([100, 0])
    assert closed.get_side_currents(2, 2)[0] == pytest.approx([50, -50])
    assert opened.get_currents(4).tolist() == [0, 0, 0, 0]
    assert after_open.get_potentials(2) == pytest.approx([0, 0], abs=1e-9)


def test_variables_reset_and_set():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    solver = cy.CyNewton(topo.network(), False)
    initial = solver.get_variables()
    assert initial.dtype == np.float64
    start = feeder_potentials(buses)
    solver.solve_load_flow(20, 1e-10)
    solved, solved_potentials = solver.get_variables(), feeder_potentials(buses)
    assert not np.allclose(solved, initial)

    solver.reset_inputs()
    assert solver.get_variables().tolist() == initial.tolist()
    assert feeder_potentials(buses).tolist() == start.tolist()

    solver.set_variables(np.append(solved, [1.0, 2.0]))
    assert solver.get_variables().tolist() == solved.tolist()
    assert feeder_potentials(buses).tolist() == solved_potentials.tolist()
    iterations, error = solver.solve_load_flow(20, 1e-9)
    assert iterations == 0 and error < 1e-9

    solver.reset_inputs()
    iterations, error = solver.solve_load_flow(0, 1e-9)
    assert iterations == 0 and error > 1
    assert cy.CyBackwardForward(topo.network()).solve_load_flow(0, 1e3)[0] == 1


def test_updates_between_solves():
    topo, _, buses, loads = star_feeder(UNBALANCED_POWERS, LENGTHS)
    network = topo.network()
    solver = cy.CyNewton(network, False)
    solver.solve_load_flow(20, 1e-9)
    before = feeder_potentials(buses)

    doubled = np.array(UNBALANCED_POWERS[2]) * 2
    loads[2].update_powers(np.append(doubled, 99j))
    iterations, _ = solver.solve_load_flow(20, 1e-9)
    assert iterations > 0
    v, currents = buses[3].get_potentials(4), loads[2].get_currents(3)
    assert (v[:3] - v[3]) * np.conj(currents) == pytest.approx(doubled, rel=1e-7)
    assert not np.allclose(feeder_potentials(buses), before)

    new_voltages = SOURCE_VOLTAGES * 1.05
    topo.elements[1].update_voltages(np.append(new_voltages, 1e6))
    solver.solve_load_flow(20, 1e-9)
    source_bus = buses[0].get_potentials(4)
    assert source_bus[:3] - source_bus[3] == pytest.approx(new_voltages)


def test_line_matrices_are_row_major_and_updated_in_place():
    z, y = np.array([0.4 + 0.2j, 0.1 + 0.3j, 0.05j, 0.3 + 0.1j]), 0.05 - 0.01j
    topo, _, line, far, load = single_phase(1 + 0j, y)
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-10)
    line.update_line_parameters(np.append(z, 7))
    solver.solve_load_flow(20, 1e-10)
    current = load.get_inner_currents(1)[0]
    assert current == pytest.approx(y * 230 / (1 + y * (z[0] - z[1] - z[2] + z[3])), rel=1e-9)
    assert far.get_potentials(2) == pytest.approx(np.array([230, 0]) - current * np.array([z[0] - z[1], z[2] - z[3]]))


def test_single_value_updates():
    ref, bus = cy.CyPotentialRef(), cy.CyBus(2, np.array([12 + 0j, 0j]))
    source = cy.CyVoltageSource(2, np.array([10 + 0j]))
    line = cy.CySimplifiedLine(1, np.array([1 + 0j]))
    load = cy.CyPowerLoad(2, np.array([20 + 0j]))
    current_load = cy.CyCurrentLoad(2, np.array([1 + 0j]))
    source.connect(ref, [(1, 0)])
    line.connect_side(source, [(0, 0)], True)
    line.connect_side(bus, [(0, 0)], False)
    bus.connect(ref, [(1, 0)])
    bus.connect(load, [(0, 0), (1, 1)])
    bus.connect(current_load, [(0, 0), (1, 1)])
    network = cy.CyElectricalNetwork(np.array([ref, source, line, bus, load, current_load], dtype=object), 6)
    solver = cy.CyNewton(network, False)

    def far_voltage():
        solver.solve_load_flow(20, 1e-10)
        return bus.get_port_potential(0)

    source.update_voltage(20 + 0j)
    line.update_single_line_parameters(2 + 0j)
    load.update_power(30 + 0j)
    current_load.update_current(2 + 0j)
    single = far_voltage()
    # With E = 20, z = 2, S = 30 and |I| = 2: V = 20 - 2 (30 / V + 2), so V = 10 (or 6).
    assert single == pytest.approx(10, rel=1e-9)
    source.update_voltages(np.array([20 + 0j]))
    line.update_line_parameters(np.array([2 + 0j]))
    load.update_powers(np.array([30 + 0j]))
    current_load.update_currents(np.array([2 + 0j]))
    assert far_voltage() == single
    assert abs(current_load.get_inner_currents(1)[0]) == pytest.approx(2)


def test_initialize_potentials_writes_the_bound_node():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    solver = cy.CyNewton(topo.network(), False)
    start = np.array([cmath.rect(225, -k * 2 * np.pi / 3) for k in range(3)] + [5j])
    buses[1].initialize_potentials(start)
    assert buses[1].get_potentials(4).tolist() == start.tolist()
    assert buses[0].get_port_potential(3) == 0
    buses[0].initialize_potentials(np.array([1, 2, 3, 4], dtype=complex))
    assert buses[0].get_port_potential(3) == 0
    solver.reset_inputs()
    assert buses[1].get_port_potential(3) == 0



# Where a solve starts: a solver just built binds the elements to its start,
# so what they read then is what their nodes store.

def started(topo, element, n):
    cy.CyNewton(topo.network(), False)
    return element.get_potentials(n).tolist()


def test_stored_potentials_are_written_by_buses_sweeps_and_splits_only():
    topo, _, _, far, load = single_phase(0.4 + 0.2j, 0.05 + 0j)
    assert started(topo, far, 2) == [230, 0]
    far.initialize_potentials(np.array([225 + 5j, 1j]))
    assert started(topo, far, 2) == [225 + 5j, 1j]
    newton = cy.CyNewton(topo.network(), False)
    assert newton.solve_load_flow(20, 1e-10)[1] <= 1e-10
    assert started(topo, far, 2) == [225 + 5j, 1j]
    assert cy.CyBackwardForward(topo.network()).solve_load_flow(50, 1e-10)[1] <= 1e-10
    swept = far.get_potentials(2).tolist()
    assert swept != [225 + 5j, 1j] and started(topo, far, 2) == swept
    # A split node stores what its port read: here Newton's solution.
    newton.solve_load_flow(20, 1e-10)
    solved = load.get_potentials(2).tolist()
    assert solved != swept
    load.disconnect()
    topo.elements.remove(load)
    assert started(topo, far, 2) == swept
    assert cy.CyNewton(network_of([load]), False).get_variables().tolist() == np.array(solved).view(float).tolist()


def far_power_load(power=1e3 + 0j):
    """A source, a line and a power load at its far end, on no bus."""
    source, ref = cy.CyVoltageSource(2, np.array([230 + 0j])), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(2, np.array([0.4 + 0.2j, 0, 0, 0.4 + 0.2j]))
    load = cy.CyPowerLoad(2, np.array([power]))
    source.connect(ref, [(1, 0)])
    line.connect_side(source, [(0, 0), (1, 1)], True)
    line.connect(load, [(2, 0), (3, 1)])
    return [ref, source, line, load], line, load


FAMILIES = {"newton": (SOLVERS["newton"], 1), "goldstein": (EVERY_SOLVER["goldstein"], 1),
            "sweep": (cy.CyBackwardForward, 2)}


def assert_solves_with_its_power(elements, load, power):
    for make_solver, _ in FAMILIES.values():
        assert make_solver(network_of(elements)).solve_load_flow(50, 1e-10)[1] <= 1e-10
        v = load.get_potentials(2)
        assert (v[0] - v[1]) * np.conj(load.get_inner_currents(1)[0]) == pytest.approx(power, rel=1e-9)


@pytest.mark.parametrize("family", FAMILIES.values(), ids=FAMILIES)
def test_a_node_without_a_bus_starts_from_0_volts(family):
    make_solver, code = family
    elements, line, load = far_power_load()
    with pytest.raises(RuntimeError, match=rf"^{code} NaN value encountered at iteration \d\. $"):
        make_solver(network_of(elements)).solve_load_flow(50, 1e-10)
    far = cy.CyBus(2, np.array([230 + 0j, 0j]))
    far.connect(line, [(0, 2), (1, 3)])
    assert_solves_with_its_power(elements + [far], load, 1e3)



def start_of(elements, element, n):
    cy.CyNewton(network_of(elements), False)
    return element.get_potentials(n).tolist()


JOINED_BUSES = {
    # The load's node survives the join: the bus's potentials go with its own.
    "absorbed by the load": (lambda bus, load: load.connect(bus, [(0, 0), (1, 1)]), [0, 0]),
    # The bus's node survives, and outlives the bus.
    "deleted": (lambda bus, load: bus.connect(load, [(0, 0), (1, 1)]), [230, 0]),
    "disconnected": (lambda bus, load: (bus.connect(load, [(0, 0), (1, 1)]), bus.disconnect()), [230, 0]),
}


@pytest.mark.parametrize("join, start", JOINED_BUSES.values(), ids=JOINED_BUSES)
def test_a_node_starts_from_the_record_that_survived_its_joins(join, start):
    elements, _, load = far_power_load()
    bus = cy.CyBus(2, np.array([230 + 0j, 0j]))
    join(bus, load)
    del bus
    gc.collect()
    assert start_of(elements, load, 2) == start
    if start[0]:
        assert_solves_with_its_power(elements, load, 1e3)
    else:
        with pytest.raises(RuntimeError, match=r"^1 NaN value encountered at iteration \d\. $"):
            cy.CyNewton(network_of(elements), False).solve_load_flow(50, 1e-10)


EARTH_JOINS = {
    # The earth's node holds the load's phase already: its record, 0 V, stays.
    "earth calls": (lambda earth, bus: earth.connect(bus, [(0, 0)]), [0, 0]),
    "bus calls": (lambda earth, bus: bus.connect(earth, [(0, 0)]), [230, 0]),
}


@pytest.mark.parametrize("join, start", EARTH_JOINS.values(), ids=EARTH_JOINS)
def test_an_earth_on_another_elements_port_keeps_that_record_as_the_caller(join, start):
    elements, _, load = far_power_load()
    earth, bus = cy.CyPotentialRef(), cy.CyBus(2, np.array([230 + 0j, 0j]))
    earth.connect(load, [(0, 0)])
    join(earth, bus)
    bus.connect(load, [(1, 1)])
    earth.disconnect()
    fresh_elements, _, fresh_load = far_power_load()
    fresh_bus = cy.CyBus(2, np.array([230 + 0j, 0j]))
    fresh_bus.connect(fresh_load, [(0, 0), (1, 1)])
    assert start_of(fresh_elements + [fresh_bus], fresh_load, 2) == [230, 0]
    assert start_of(elements + [bus], load, 2) == start
    if start[0]:
        assert_solves_with_its_power(elements + [bus], load, 1e3)
    else:
        with pytest.raises(RuntimeError, match=r"^1 NaN value encountered at iteration 0\. $"):
            cy.CyNewton(network_of(elements + [bus]), False).solve_load_flow(50, 1e-10)


@pytest.mark.parametrize("family", FAMILIES.values(), ids=FAMILIES)
def test_a_load_joined_as_the_caller_to_a_solved_bus_gives_the_node_its_record(family):
    make_solver, code = family
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:2], LENGTHS[:2])
    network, far = topo.network(), buses[-1]
    solver = make_solver(network)
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    solved = far.get_potentials(4)
    cy.CyPowerLoad(4, np.array([1e3 + 0j] * 3)).connect(far, [(k, k) for k in range(4)])
    assert far.get_potentials(4).tolist() == [0] * 4
    with pytest.raises(RuntimeError, match=rf"^{code} NaN value encountered at iteration {code - 1}\. $"):
        make_solver(network).solve_load_flow(100, 1e-10)
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    np.testing.assert_allclose(far.get_potentials(4), solved, rtol=1e-9)
    # Only a sweep stores what it solved, for the next build to start from.
    if code == 2:
        assert cy.CyNewton(network, False).solve_load_flow(100, 1e-10)[1] <= 1e-10
    else:
        with pytest.raises(RuntimeError, match=r"^1 NaN value encountered at iteration 0\. $"):
            cy.CyNewton(network, False).solve_load_flow(100, 1e-10)


def test_a_bus_that_calls_the_join_keeps_its_solved_node():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS[:2], LENGTHS[:2])
    network, far = topo.network(), buses[-1]
    solver = cy.CyNewton(network, False)
    solver.solve_load_flow(100, 1e-10)
    solved = far.get_potentials(4)
    far.connect(cy.CyPowerLoad(4, np.array([1e3 + 0j] * 3)), [(k, k) for k in range(4)])
    assert far.get_potentials(4).tolist() == solved.tolist()
    assert cy.CyNewton(network, False).solve_load_flow(100, 1e-10)[1] <= 1e-10


@pytest.mark.parametrize("family", ["newton", "goldstein"])
def test_a_nan_start_on_linear_equations_runs_out_its_iterations(family):
    """Buses, a source, a line and an admittance load: the Jacobian holds no
    NaN, so nothing raises, and only `error <= tolerance` tells failure."""
    topo, _, _, far, _ = single_phase(0.4 + 0.2j, 0.05 + 0j)
    far.initialize_potentials(np.array([complex("nan"), 0j]))
    iterations, error = EVERY_SOLVER[family](topo.network()).solve_load_flow(7, 1e-10)
    assert iterations == 7 and math.isnan(error)
    assert not error > 1e-10 and not error <= 1e-10

def far_bus_and_beyond():
    """The closed-form feeder with a power load on its far bus and, behind
    it, a second line to an admittance load on a node that no bus sits on."""
    topo, _, _, far, _ = single_phase(0.4 + 0.2j, 0.05 + 0j)
    load = cy.CyPowerLoad(2, np.array([1e3 + 0j]))
    far.connect(load, [(0, 0), (1, 1)])
    end_line = cy.CySimplifiedLine(2, np.array([0.1, 0, 0, 0.1], dtype=complex))
    end_load = cy.CyAdmittanceLoad(2, np.array([0.02 + 0j]))
    end_line.connect_side(far, [(0, 0), (1, 1)], True)
    end_line.connect(end_load, [(2, 0), (3, 1)])
    return topo.elements + [load, end_line, end_load], far, load, end_line


def test_a_failed_sweep_leaves_its_values_until_the_buses_start_again():
    elements, far, load, end_line = far_bus_and_beyond()
    load.update_powers(np.array([complex("nan")]))
    with pytest.raises(RuntimeError, match=r"^2 NaN value encountered"):
        cy.CyBackwardForward(network_of(elements)).solve_load_flow(50, 1e-10)
    load.update_powers(np.array([1e3 + 0j]))
    fresh, _, fresh_load, _ = far_bus_and_beyond()
    assert_solves_with_its_power(fresh, fresh_load, 1e3)
    for _ in range(2):
        for make_solver, code in FAMILIES.values():
            with pytest.raises(RuntimeError, match=rf"^{code} NaN value encountered"):
                make_solver(network_of(elements)).solve_load_flow(50, 1e-10)
        far.initialize_potentials(np.array([230 + 0j, 0j]))
    end = cy.CyBus(2, np.array([230 + 0j, 0j]))
    end.connect(end_line, [(0, 2), (1, 3)])
    assert_solves_with_its_power(elements, load, 1e3)

def test_network_takes_its_first_items_in_order():
    z, y = 0.4 + 0.2j, 0.05 - 0.01j
    topo, _, _, far, _ = single_phase(z, y)
    items = np.array(topo.elements + ["ignored", None], dtype=object)
    network = cy.CyElectricalNetwork(items, len(topo.elements))
    solver = cy.CyNewton(network, False)
    # Free nodes in first-seen order: the source phase (0 V), then the far nodes.
    assert solver.get_variables()[:6].tolist() == [0, 0, 230, 0, 0, 0]
    solver.solve_load_flow(20, 1e-10)
    v = far.get_potentials(2)
    assert v[0] - v[1] == pytest.approx(230 / (1 + 2 * z * y), rel=1e-9)


def test_logging(capfd):
    cy.cy_set_logging_config("debug")
    try:
        cy.CyNewton(cy.CyElectricalNetwork(None, 0), True)
    finally:
        cy.cy_set_logging_config("warning")
    out = capfd.readouterr().out
    assert out.count("----- Tape evaluation -----") == 1
    assert out.count("----- Tape optimization -----") == 1
    assert " debug Number of tape operators: " in out
    cy.CyNewton(cy.CyElectricalNetwork(None, 0), False)
    assert capfd.readouterr().out == ""
