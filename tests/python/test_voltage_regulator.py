import gc
import math
import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import Topology

Z2, YM = 0.05 + 0.1j, 1e-4 - 5e-4j
U_REF, U_RANGE = 230.0, 0.1
E = 230 + 0j


def regulator(u_ref=U_REF, alpha=1000.0, phi=0.0):
    return cy.CySingleVoltageRegulator(Z2, YM, u_ref, U_RANGE, alpha, phi)


def regulated_feeder(power, alpha=1000.0):
    """Source, a line on phase and neutral, the regulator, a power load on its output."""
    topo = Topology()
    source, ref = cy.CyVoltageSource(2, np.array([E])), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(2, np.array([0.2 + 0.1j, 0, 0, 0.2 + 0.1j]))
    middle = cy.CyBus(2, np.array([E, 0j]))
    reg = regulator(alpha=alpha)
    far = cy.CyBus(1, np.array([E]))
    load = cy.CyPowerLoad(2, np.array([power]))
    topo.add(ref, source, line, middle, reg, far, load)
    topo.connect(source, ref, [(1, 0)])
    topo.connect_side(line, source, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(line, middle, [(0, 0), (1, 1)], False, 2)
    topo.connect_side(reg, middle, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(reg, far, [(0, 0)], False, 2)
    topo.connect(far, load, [(0, 0)])
    topo.connect(reg, load, [(3, 1)])
    return topo, reg, load


def magnitudes(reg):
    v = reg.get_potentials(4)
    return abs(v[0] - v[1]), abs(v[2] - v[3])


def test_constructor_and_tap_law():
    reg = cy.CySingleVoltageRegulator(phi=0.0, alpha=8, u_range=0.1, u_ref=230, ym=0j, z2=Z2)
    assert reg.get_tap() == 1.0
    assert reg.compute_tap(230.0) == 1.0
    assert reg.compute_tap(240.0) < 1.0 < reg.compute_tap(220.0)
    assert all(0.9 <= reg.compute_tap(u) <= 1.1 for u in (0.0, 1e6, -1e6))
    assert type(reg.compute_tap(u_out=1.0)) is float
    assert reg.get_side_potentials(2, 2)[0].tolist() == [0j, 0j]
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 6 positional arguments \(5 given\)"):
        cy.CySingleVoltageRegulator(Z2, YM, U_REF, U_RANGE, 5.0)
    with pytest.raises(TypeError):
        cy.CySingleVoltageRegulator(Z2, YM, 1j, U_RANGE, 5.0, 0.0)
    with pytest.raises(TypeError, match=r"update_parameters\(\) takes exactly 3 positional arguments"):
        reg.update_parameters(Z2, YM)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(reg)
    with pytest.raises(ValueError, match="n2 = 3 exceeds the 2 values"):
        reg.get_side_currents(2, 3)


def test_neutrals_are_one_node_and_update_reestimates_the_tap():
    reg = regulator(u_ref=1.3)
    bus = cy.CyBus(2, np.array([1.0 + 0j, 0.25j]))
    bus.connect(reg, [(0, 0), (1, 1)])
    assert reg.get_port_potential(3) == 0.25j
    reg.update_parameters(Z2, YM, 1.05)
    assert reg.get_tap() == pytest.approx(1.05 / abs(1.0 - 0.25j))
    assert reg.get_port_potential(2) == pytest.approx(0.25j + reg.get_tap() * (1.0 - 0.25j))
    reg.update_parameters(Z2, YM, 2.0)
    assert reg.get_tap() == 1.1
    assert reg.compute_tap(2.0) == 1.0


def test_newton_holds_the_output_through_the_tap():
    topo, reg, load = regulated_feeder(5000 + 1000j)
    solver = cy.CyNewton(topo.network(), False)
    iterations, error = solver.solve_load_flow(30, 1e-9)
    assert 1 < iterations < 30 and error < 1e-9
    u_in, u_out = magnitudes(reg)
    tap = reg.get_tap()
    assert u_in < 0.97 * U_REF
    assert 1.0 < tap < 1.0 + U_RANGE
    assert tap == pytest.approx(reg.compute_tap(u_out), abs=1e-12)
    assert u_out == pytest.approx(U_REF, rel=2e-3)
    i1, i2 = reg.get_side_currents(2, 2)
    assert i1[1] == -i1[0] and i2[1] == -i2[0]
    assert i2[0] == pytest.approx(-load.get_port_current(0))
    # The analysis walks every element's unknowns: it must leave the solved tap alone.
    assert solver.analyse_jacobian() == ([], [])
    assert reg.get_tap() == tap

    load.update_powers(np.array([7000 + 1000j]))
    assert solver.solve_load_flow(30, 1e-9)[1] < 1e-9
    assert tap < reg.get_tap() < 1.09
    assert magnitudes(reg)[1] == pytest.approx(U_REF, rel=2e-3)

    reg.update_parameters(Z2, YM, 225.0)
    assert solver.solve_load_flow(30, 1e-9)[1] < 1e-9
    assert magnitudes(reg)[1] == pytest.approx(225.0, rel=2e-3)

    solver.reset_inputs()
    assert reg.get_tap() == pytest.approx(U_REF / abs(E), abs=1e-12)



def test_an_update_stores_the_output_estimate_the_next_build_starts_from():
    topo, reg, _ = regulated_feeder(5000 + 1000j)
    solver = cy.CyNewton(topo.network(), False)
    assert solver.solve_load_flow(30, 1e-9)[1] < 1e-9
    v = reg.get_potentials(4)
    cy.CyNewton(topo.network(), False)
    assert reg.get_port_potential(2) == E  # the solve stored nothing
    solver.solve_load_flow(30, 1e-9)
    reg.update_parameters(Z2, YM, 225.0)
    estimate = v[1] + reg.get_tap() * (v[0] - v[1])
    assert reg.get_tap() == pytest.approx(225.0 / abs(v[0] - v[1]), rel=1e-12)
    assert reg.get_port_potential(2) == pytest.approx(estimate, rel=1e-12)
    cy.CyNewton(topo.network(), False)
    assert reg.get_port_potential(2) == pytest.approx(estimate, rel=1e-12)

@pytest.mark.parametrize("iterations", [1, 30], ids=["unconverged", "converged"])
@pytest.mark.parametrize("solver_class", [cy.CyNewton, lambda network, optimize: cy.CyNewtonGoldstein(
    network, optimize, 0.1, 0.9, True)], ids=["newton", "goldstein"])
def test_a_network_built_again_starts_its_tap_from_the_last_newton_solve(solver_class, iterations):
    topo, reg, _ = regulated_feeder(5000 + 1000j)
    solver_class(topo.network(), False).solve_load_flow(iterations, 1e-9)
    u_in = magnitudes(reg)[0]
    assert u_in != abs(E)
    cy.CyNewton(topo.network(), False)
    assert reg.get_tap() == pytest.approx(U_REF / u_in, rel=1e-12)
    fresh, fresh_reg, _ = regulated_feeder(5000 + 1000j)
    cy.CyNewton(fresh.network(), False)
    assert fresh_reg.get_tap() == U_REF / abs(E) == 1.0


def join_as_at_construction(topo, reg, middle, far, load):
    topo.connect_side(reg, middle, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(reg, far, [(0, 0)], False, 2)
    topo.connect(reg, load, [(3, 1)])


def test_disconnect_keeps_the_neutrals_one_node():
    for joined, reached in ((1, 3), (3, 1)):
        reg = regulator()
        reg.connect_ports(np.array([0, 2], dtype=np.intc))  # a tie of the caller's: not kept
        for _ in range(2):
            reg.disconnect()
        node = cy.CyBus(1, np.array([7 + 0j]))
        node.connect(reg, [(0, joined)])
        assert reg.get_port_potential(reached) == 7
        phase = cy.CyBus(1, np.array([5 + 0j]))
        phase.connect(reg, [(0, 0)])
        assert reg.get_potentials(4).tolist() == [5, 7, 0, 7]


def test_disconnect_moves_the_neutrals_with_the_potential_they_read():
    reg = regulator()
    node = cy.CyBus(3, np.array([1 + 0j, 2j, 3 + 0j]))
    node.connect(reg, [(0, 0), (1, 1), (2, 2)])
    reg.disconnect()
    node.initialize_potentials(np.array([4 + 0j, 5 + 0j, 6 + 0j]))
    assert reg.get_potentials(4).tolist() == [1, 2j, 3, 2j]


NEWTON_FAMILY = {"newton": lambda network: cy.CyNewton(network, False),
                 "goldstein": lambda network: cy.CyNewtonGoldstein(network, False, 0.1, 0.9, True)}


@pytest.mark.parametrize("times", [1, 2])
@pytest.mark.parametrize("solved", [False, True], ids=["new", "solved"])
@pytest.mark.parametrize("make_solver", NEWTON_FAMILY.values(), ids=NEWTON_FAMILY)
def test_a_regulator_disconnected_and_joined_again_solves_as_a_fresh_one(make_solver, solved, times):
    # A twin never disconnected gives the start: after a solve, the tap
    # starts from that solve's input voltage.
    (topo, reg, load), (twin, *_) = regulated_feeder(5000 + 1000j), regulated_feeder(5000 + 1000j)
    if solved:
        for feeder in (topo, twin):
            make_solver(feeder.network()).solve_load_flow(30, 1e-10)
    undisturbed = make_solver(twin.network()).get_variables()
    middle, far = topo.elements[3], topo.elements[5]
    for _ in range(times):
        reg.disconnect()
    join_as_at_construction(topo, reg, middle, far, load)
    solver = make_solver(topo.network())
    fresh, fresh_reg, _ = regulated_feeder(5000 + 1000j)
    fresh_solver = make_solver(fresh.network())
    assert solver.get_variables().tolist() == undisturbed.tolist()
    if not solved:
        assert solver.get_variables().tolist() == fresh_solver.get_variables().tolist()
    result, fresh_result = solver.solve_load_flow(30, 1e-10), fresh_solver.solve_load_flow(30, 1e-10)
    assert result[1] <= 1e-10
    if not solved:
        assert result == fresh_result
    assert reg.get_tap() == pytest.approx(fresh_reg.get_tap(), abs=1e-12)
    np.testing.assert_allclose(reg.get_potentials(4), fresh_reg.get_potentials(4), rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(reg.get_currents(4), fresh_reg.get_currents(4), rtol=1e-9, atol=1e-9)


def test_sweep_agrees_with_newton():
    topo, reg, _ = regulated_feeder(5000 + 1000j, alpha=5.0)
    network = topo.network()
    assert cy.CyNewton(network, False).solve_load_flow(30, 1e-10)[1] < 1e-10
    tap, potentials = reg.get_tap(), reg.get_potentials(4)
    assert cy.CyBackwardForward(network).solve_load_flow(200, 1e-10)[1] <= 1e-10
    assert reg.get_tap() == pytest.approx(tap, abs=1e-9)
    assert reg.get_potentials(4) == pytest.approx(potentials, rel=1e-9)


def test_tap_outlives_the_solver_and_the_network():
    topo, reg, _ = regulated_feeder(5000 + 1000j)
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(30, 1e-9)
    tap = reg.get_tap()
    del solver, topo
    gc.collect()
    assert reg.get_tap() == tap
    reg.update_parameters(Z2, YM, 231.0)
    assert math.isfinite(reg.get_tap())
