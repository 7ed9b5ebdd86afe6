import gc
import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import LENGTHS, SOURCE_VOLTAGES, UNBALANCED_POWERS, Topology, node_current, star_feeder
from test_faults import scribble_on_freed_memory


def constant():
    return cy.CyControl("constant", 0, 0, 0, 0, 0, 0)


def q_u(u=230.0):
    return cy.CyControl("q_u", 0.9 * u, 0.95 * u, 1.05 * u, 1.1 * u, 50.0, 0.1)


def euclidean():
    return cy.CyProjection("euclidean", 100.0, 1e-4)


def fixed():
    """Both laws constant: the load draws its theoretical powers."""
    return cy.CyFlexibleParameter(constant(), constant(), euclidean(), 1.0, 0.0, 0.0)


def var(u=230.0, s_max=2e4):
    """Q follows the voltage between -3 kvar and 3 kvar."""
    return cy.CyFlexibleParameter(constant(), q_u(u), euclidean(), s_max, -3e3, 3e3)


def objects(*items):
    return np.array(items, dtype=object)


def test_settings_take_names_as_text_and_by_keyword():
    for name in ("constant", b"q_u", bytearray(b"p_max_u_production"), "p_max_u_consumption"):
        cy.CyControl(name, 0, 0, 0, 0, 0, 0)
    for name in ("euclidean", "keep_p", b"keep_q"):
        cy.CyProjection(name, 1, 1)
    control = cy.CyControl(t="q_u", u_min=1, u_down=2, u_up=3, u_max=4, alpha=5, epsilon=6)
    projection = cy.CyProjection(t="keep_p", alpha=1, epsilon=2)
    cy.CyFlexibleParameter(control_p=control, control_q=control, projection=projection, s_max=1, q_min=2, q_max=3)
    with pytest.raises(RuntimeError, match="^Constant is a bad control type name$"):
        cy.CyControl("Constant", 0, 0, 0, 0, 0, 0)
    with pytest.raises(RuntimeError, match="^keep_q  is a bad projection type name$"):
        cy.CyProjection("keep_q ", 0, 0)


def test_parameter_arguments_are_checked_numbers_first():
    control, projection = constant(), euclidean()
    with pytest.raises(TypeError, match="must be real number"):
        cy.CyFlexibleParameter(None, None, None, "1", 0, 0)
    wrong = [
        ((projection, control, projection), "control_p", "CyControl", "CyProjection"),
        ((control, 1.5, projection), "control_q", "CyControl", "float"),
        ((control, control, control), "projection", "CyProjection", "CyControl"),
        ((None, control, projection), "control_p", "CyControl", "NoneType"),
    ]
    for settings, name, expected, given in wrong:
        message = (rf"^Argument '{name}' has incorrect type "
                   rf"\(expected load_flow_engine.cy_engine.{expected}, got .*{given}\)$")
        with pytest.raises(TypeError, match=message):
            cy.CyFlexibleParameter(*settings, 1.0, 0.0, 0.0)


def test_compute_power():
    s_th = 3e4 + 2e4j
    assert fixed().compute_power(0.0, s_th) == s_th
    assert fixed().compute_power(x=1e6, s_th=s_th) == s_th

    parameter = var()
    assert parameter.compute_power(230.0, 2e3 + 1e3j) == pytest.approx(2e3 + 1e3j, rel=5e-2)
    assert parameter.compute_power(100.0, 2e3 + 1e3j) == pytest.approx(2e3 - 3e3j, rel=1e-6)
    parameter.update_parameters(2e4, -1e3, 3e3)
    assert parameter.compute_power(100.0, 2e3 + 1e3j) == pytest.approx(2e3 - 1e3j, rel=1e-6)

    law = cy.CyControl("q_u", 207.0, 218.5, 241.5, 253.0, 50.0, 0.1)
    kept = cy.CyFlexibleParameter(constant(), law, euclidean(), 2e4, -3e3, 3e3)
    before = kept.compute_power(220.0, 1e3)
    del law
    gc.collect()
    scribble_on_freed_memory()
    assert kept.compute_power(220.0, 1e3) == before

    bad_p = cy.CyFlexibleParameter(q_u(), constant(), euclidean(), 1.0, 0.0, 0.0)
    bad_q = cy.CyFlexibleParameter(constant(), cy.CyControl("p_max_u_consumption", 1, 1, 1, 1, 1, 1),
                                   euclidean(), 1.0, 0.0, 0.0)
    with pytest.raises(RuntimeError, match="^Bad control type for P$"):
        bad_p.compute_power(230.0, 1j)
    with pytest.raises(RuntimeError, match="^Bad control type for Q$"):
        bad_q.compute_power(230.0, 1j)


@pytest.mark.parametrize("alpha", [1.0, 2.0, 10.0, 1000.0])
def test_keep_projections_leave_the_kept_power_on_the_disc(alpha):
    # |S| = 3162 VA < s_max = 5 kVA: the kept power is the one given, to the last bit.
    soft = (200, 210, 240, 250, 50, 1e-3)
    keep_p = cy.CyFlexibleParameter(constant(), cy.CyControl("q_u", *soft), cy.CyProjection("keep_p", alpha, 1e-3),
                                    5e3, -1e3, 1e3)
    keep_q = cy.CyFlexibleParameter(cy.CyControl("p_max_u_consumption", *soft), constant(),
                                    cy.CyProjection("keep_q", alpha, 1e-3), 5e3, -1e3, 1e3)
    for kept in (3e3, 100.0, -5e3):
        assert keep_p.compute_power(230.0, complex(kept, -1e3)).real == kept / 5e3 * 5e3
        assert keep_q.compute_power(230.0, complex(-1e3, kept)).imag == kept / 5e3 * 5e3
    assert keep_p.compute_power(230.0, 3e3 - 1e3j).real == 3e3


def wired(load, potentials):
    bus = cy.CyBus(len(potentials), np.array(potentials, dtype=complex))
    bus.connect(load, [(k, k) for k in range(len(potentials))])
    return bus


def test_loads_read_one_parameter_per_value():
    shared = fixed()
    star = cy.CyFlexibleLoad(4, np.array([1e3, 2e3j, 3e3 + 1e3j, 99]), objects(shared, shared, shared, "unread"))
    delta = cy.CyDeltaFlexibleLoad(n=3, powers=np.array([1e3, 2e3, 3e3], complex),
                                   parameters=objects(shared, shared, shared))
    bus = wired(star, [230, -115 - 199.2j, -115 + 199.2j, 1])
    bus.connect(delta, [(k, k) for k in range(3)])
    assert star.get_powers(3).tolist() == [1e3, 2e3j, 3e3 + 1e3j]
    assert delta.get_powers(3).tolist() == [1e3, 2e3, 3e3]
    assert star.get_currents(4).tolist() == [0, 0, 0, 0]

    star.update_powers(np.array([5e3, 6e3, 7e3, 8e3], complex))
    delta.update_powers(np.array([1e2, 2e2, 3e2], complex))
    assert star.get_powers(3).tolist() == [5e3, 6e3, 7e3]
    assert delta.get_powers(2).tolist() == [1e2, 2e2]
    single = cy.CyFlexibleLoad(2, np.array([1e3 + 0j]), objects(shared))
    wired(single, [230, 0])
    single.update_power(4e3 + 1e3j)
    assert single.get_powers(1).tolist() == [4e3 + 1e3j]

    empty = cy.CyFlexibleLoad(1, None, None)
    empty.update_powers(None)
    empty.update_power(1j)
    assert empty.get_powers(0).shape == (0,)


REFUSED = {
    "star powers short": (lambda p: cy.CyFlexibleLoad(4, np.ones(2, complex), objects(p, p, p)), ValueError,
                          r"powers holds 2 values, 3 are needed"),
    "star parameters short": (lambda p: cy.CyFlexibleLoad(4, np.ones(3, complex), objects(p, p)), ValueError,
                              r"parameters holds 2 values, 3 are needed"),
    "delta parameters None": (lambda p: cy.CyDeltaFlexibleLoad(2, np.ones(2, complex), None), ValueError,
                              r"parameters holds 0 values, 2 are needed"),
    "empty slot": (lambda p: cy.CyFlexibleLoad(3, np.ones(2, complex), np.empty(2, dtype=object)), TypeError,
                   r"parameters\[0\] is a NoneType, not a CyFlexibleParameter"),
    "not a parameter": (lambda p: cy.CyDeltaFlexibleLoad(2, np.ones(2, complex), objects(p, constant())), TypeError,
                        r"parameters\[1\] is a CyControl, not a CyFlexibleParameter"),
    "float array": (lambda p: cy.CyFlexibleLoad(2, np.ones(1, complex), np.ones(1)), ValueError,
                    r"Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'double'"),
    "no phase": (lambda p: cy.CyFlexibleLoad(0, None, None), RuntimeError, "vector"),
    "update short": (lambda p: cy.CyDeltaFlexibleLoad(2, np.ones(2, complex), objects(p, p)).update_powers(
        np.ones(1, complex)), ValueError, r"powers holds 1 values, 2 are needed"),
    "star powers beyond the load": (lambda p: cy.CyFlexibleLoad(3, np.ones(2, complex), objects(p, p)).get_powers(3),
                                    ValueError, "n = 3"),
    "delta powers beyond the load": (lambda p: cy.CyDeltaFlexibleLoad(2, np.ones(2, complex), objects(p, p))
                                     .get_powers(3), ValueError, "n = 3"),
    "delta inner currents beyond the load": (lambda p: cy.CyDeltaFlexibleLoad(2, np.ones(2, complex), objects(p, p))
                                             .get_inner_currents(3), ValueError, "size = 3"),
}


@pytest.mark.parametrize("call, exception, message", REFUSED.values(), ids=REFUSED)
def test_refused_arguments(call, exception, message):
    parameter = fixed()
    with pytest.raises(exception, match=message):
        call(parameter)


def test_bad_laws_surface_from_the_load_and_the_solver():
    bad = cy.CyFlexibleParameter(q_u(), constant(), euclidean(), 1.0, 0.0, 0.0)
    load = cy.CyDeltaFlexibleLoad(3, np.ones(3, complex), objects(bad, bad, bad))
    wired(load, list(SOURCE_VOLTAGES))
    for call in (lambda: load.get_powers(3), lambda: load.get_inner_currents(3)):
        with pytest.raises(RuntimeError, match="^Bad control type for P$"):
            call()
    with pytest.raises(RuntimeError, match="^Bad control type for P$"):
        cy.CyNewton(cy.CyElectricalNetwork(objects(load), 1), False)


def test_results_fit_the_load_whatever_size_is_asked():
    p = var(398.0)
    load = cy.CyDeltaFlexibleLoad(3, np.array([3e3 + 1e3j, 2e3, 1e3j]), objects(p, p, p))
    wired(load, list(SOURCE_VOLTAGES))
    powers, inner = load.get_powers(3), load.get_inner_currents(3)
    branch_voltages = SOURCE_VOLTAGES - np.roll(SOURCE_VOLTAGES, -1)
    assert branch_voltages * np.conj(inner) == pytest.approx(powers)
    assert load.get_powers(1).tolist() == powers[:1].tolist()
    assert load.get_inner_currents(2).tolist() == inner[:2].tolist()
    assert load.get_powers(3).tolist() == powers.tolist()


def flexible_feeder(parameter):
    return star_feeder(UNBALANCED_POWERS, LENGTHS,
                       load_class=lambda n, powers: cy.CyFlexibleLoad(n, powers, objects(parameter, parameter,
                                                                                         parameter)))


def feeder_potentials(buses):
    return np.concatenate([b.get_potentials(4) for b in buses])


def test_solves_hold_kirchhoff_and_the_laws():
    parameter = var(s_max=1.1e4)
    topo, _, buses, loads = flexible_feeder(parameter)
    network = topo.network()
    iterations, error = cy.CyNewton(network, True).solve_load_flow(20, 1e-9)
    assert 1 < iterations < 20 and error < 1e-9
    by_newton = feeder_potentials(buses)
    for node in topo.nodes():
        assert abs(node_current(node)) < 1e-6
    for bus, load, theoretical in zip(buses[1:], loads, UNBALANCED_POWERS):
        v, currents = bus.get_potentials(4), load.get_currents(4)
        powers = load.get_powers(3)
        assert (v[:3] - v[3]) * np.conj(currents[:3]) == pytest.approx(powers, rel=1e-7)
        expected = [parameter.compute_power(abs(u), s) for u, s in zip(v[:3] - v[3], theoretical)]
        assert powers == pytest.approx(expected, rel=1e-12)
    assert not np.allclose(loads[0].get_powers(3), UNBALANCED_POWERS[0])

    iterations, error = cy.CyBackwardForward(network).solve_load_flow(200, 1e-10)
    assert error <= 1e-10
    assert feeder_potentials(buses) == pytest.approx(by_newton, abs=1e-7)


def steep():
    """alpha = 1e4, both laws flat at the feeder's voltages (218 V to 227 V)."""
    consumption = cy.CyControl("p_max_u_consumption", 200.0, 210.0, 0.0, 0.0, 1e4, 1e-4)
    var_law = cy.CyControl("q_u", 200.0, 210.0, 240.0, 250.0, 1e4, 0.1)
    return cy.CyFlexibleParameter(consumption, var_law, euclidean(), 2e4, -3e3, 3e3)


def test_steep_laws_solve_as_constant_powers():
    reference, _, reference_buses, _ = flexible_feeder(fixed())
    cy.CyNewton(reference.network(), False).solve_load_flow(20, 1e-10)
    for solver in (lambda network: cy.CyNewton(network, True), cy.CyBackwardForward):
        topo, _, buses, loads = flexible_feeder(steep())
        iterations, error = solver(topo.network()).solve_load_flow(200, 1e-10)
        assert error < 1e-10
        assert feeder_potentials(buses) == pytest.approx(feeder_potentials(reference_buses), abs=1e-7)
        for load, theoretical in zip(loads, UNBALANCED_POWERS):
            assert load.get_powers(3) == pytest.approx(theoretical, rel=1e-9)


def test_limit_updates_reach_the_next_solve():
    parameter = var()
    topo, _, buses, _ = flexible_feeder(parameter)
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-10)
    before = feeder_potentials(buses)
    parameter.update_parameters(9e3, -500.0, 500.0)
    assert solver.solve_load_flow(20, 1e-10)[1] < 1e-10
    updated = feeder_potentials(buses)
    assert not np.allclose(updated, before)

    fresh = var()
    fresh.update_parameters(9e3, -500.0, 500.0)
    fresh_topo, _, fresh_buses, _ = flexible_feeder(fresh)
    cy.CyNewton(fresh_topo.network(), False).solve_load_flow(20, 1e-10)
    assert feeder_potentials(fresh_buses) == pytest.approx(updated, abs=1e-8)


def load_without_its_parameters():
    """A solved delta load whose parameters the caller keeps no reference to."""
    source, reference = cy.CyDeltaVoltageSource(3, np.array([400 + 0j, -200 - 346.41j])), cy.CyDeltaPotentialRef(3)
    load = cy.CyDeltaFlexibleLoad(3, np.array([3e3 + 1e3j, 2e3, 1e3j]), objects(var(398.0), var(398.0), var(398.0)))
    topo = Topology()
    node = cy.CyBus(3, SOURCE_VOLTAGES)
    topo.add(source, reference, node, load)
    for element in (source, reference, load):
        topo.connect(node, element, [(k, k) for k in range(3)])
    network = topo.network()
    solver = cy.CyNewton(network, False)
    return load, network, solver


def test_a_load_keeps_its_parameters():
    load, network, solver = load_without_its_parameters()
    gc.collect()
    scribble_on_freed_memory()
    solver.solve_load_flow(20, 1e-9)
    branch_voltages = load.get_potentials(3) - np.roll(load.get_potentials(3), -1)
    assert branch_voltages * np.conj(load.get_inner_currents(3)) == pytest.approx(load.get_powers(3))
    assert not np.allclose(load.get_powers(3), [3e3 + 1e3j, 2e3, 1e3j])


def parameter_of_a_dropped_network():
    parameter = var(s_max=3e3)
    topo, _, _, _ = flexible_feeder(parameter)
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-9)
    parameter.update_parameters(2e3, -1e3, 1e3)
    return parameter


def test_a_parameter_outlives_its_network():
    parameter = parameter_of_a_dropped_network()
    gc.collect()
    scribble_on_freed_memory()
    expected = var(s_max=2e3)
    expected.update_parameters(2e3, -1e3, 1e3)
    assert parameter.compute_power(200.0, 1e3) == expected.compute_power(200.0, 1e3)
    parameter.update_parameters(5e3, -2e3, 2e3)
    assert parameter.compute_power(100.0, 1e3) == pytest.approx(1e3 - 2e3j, rel=1e-6)


def test_unreachable_flexible_networks_are_collected():
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(20):
        parameter_of_a_dropped_network()
        load_without_its_parameters()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


@pytest.mark.parametrize("make", [
    constant,
    euclidean,
    fixed,
    lambda: cy.CyFlexibleLoad(2, np.ones(1, complex), objects(fixed())),
    lambda: cy.CyDeltaFlexibleLoad(1, np.ones(1, complex), objects(fixed())),
], ids=["CyControl", "CyProjection", "CyFlexibleParameter", "CyFlexibleLoad", "CyDeltaFlexibleLoad"])
def test_pickling_is_refused(make):
    obj = make()
    for refuse in (pickle.dumps, lambda o: o.__reduce__(), lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            refuse(obj)
