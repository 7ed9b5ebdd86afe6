import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import LENGTHS, UNBALANCED_POWERS, node_current, star_feeder

Z2, YM, K = 0.02 + 0.01j, 1e-3 - 4e-3j, 1.0


def admittance(z2, ym, k):
    d = z2 + (1 + 1 / k**2) / ym
    o = -1 / (k * ym)
    return np.linalg.inv(np.full((3, 3), o) + np.eye(3) * (d - o))


def balanced_feeder(z2=Z2, ym=YM, k=K):
    """The unbalanced star feeder with a balancer beside its last load."""
    topo, reference, buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    balancer = cy.CyLoadBalancer(z2, ym, k)
    topo.add(balancer)
    topo.connect(buses[-1], balancer, [(i, i) for i in range(4)])
    return topo, reference, buses, balancer


def test_constructor_arguments():
    by_keyword = cy.CyLoadBalancer(k=2, ym=YM, z2=Z2)
    assert by_keyword.get_currents(4).tolist() == [0j] * 4
    assert cy.CyLoadBalancer(1, 2.5, 1).get_inner_currents(3).tolist() == [0j] * 3
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 3 positional arguments \(2 given\)"):
        cy.CyLoadBalancer(Z2, YM)
    with pytest.raises(TypeError, match="unexpected keyword argument 'n'"):
        cy.CyLoadBalancer(Z2, YM, K, n=4)
    with pytest.raises(TypeError):
        cy.CyLoadBalancer(Z2, YM, 1j)
    with pytest.raises(TypeError):
        cy.CyLoadBalancer("z", YM, K)


def test_refuses_pickling_and_sizes_past_its_ports():
    balancer = cy.CyLoadBalancer(Z2, YM, K)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(balancer)
    with pytest.raises(ValueError, match="size = 4 exceeds the 3 values"):
        balancer.get_inner_currents(4)
    with pytest.raises(ValueError, match="n = 5 exceeds the 4 values"):
        balancer.get_currents(5)
    with pytest.raises(IndexError):
        balancer.get_port_current(4)


def zero_sequence(bus):
    v = bus.get_potentials(4)
    return abs((v[:3] - v[3]).mean())


def test_newton_solve_draws_y_times_the_phase_voltages():
    plain, _, plain_buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    plain_solver = cy.CyNewton(plain.network(), False)
    assert plain_solver.solve_load_flow(20, 1e-9)[1] < 1e-9

    topo, reference, buses, balancer = balanced_feeder()
    solver = cy.CyNewton(topo.network(), False)
    iterations, error = solver.solve_load_flow(20, 1e-9)
    assert 0 < iterations < 20 and error < 1e-9
    for node in topo.nodes():
        if all(element is not reference for element, _ in node):
            assert abs(node_current(node)) < 1e-6

    v = buses[-1].get_potentials(4)
    currents = balancer.get_currents(4)
    assert currents[:3] == pytest.approx(admittance(Z2, YM, K) @ (v[:3] - v[3]), rel=1e-9)
    assert balancer.get_inner_currents(3).tolist() == currents[:3].tolist()
    assert currents[3] == pytest.approx(-currents[:3].sum(), abs=1e-9)
    # Its low zero-sequence impedance pulls the far neutral back among the phases.
    assert zero_sequence(buses[-1]) < 0.1 * zero_sequence(plain_buses[-1])


def test_sweep_agrees_with_newton():
    topo, _, buses, balancer = balanced_feeder(3 + 1j)
    network = topo.network()
    cy.CyNewton(network, False).solve_load_flow(20, 1e-10)
    by_newton = buses[-1].get_potentials(4), balancer.get_inner_currents(3)
    assert cy.CyBackwardForward(network).solve_load_flow(200, 1e-10)[1] <= 1e-10
    assert buses[-1].get_potentials(4) == pytest.approx(by_newton[0], rel=1e-9)
    assert balancer.get_inner_currents(3) == pytest.approx(by_newton[1], rel=1e-7)


@pytest.mark.parametrize("ym, k", [(0j, K), (YM, 0.0)], ids=["ym = 0", "k = 0"])
def test_degenerate_data_fail_the_solve(ym, k):
    network = balanced_feeder(ym=ym, k=k)[0].network()
    with pytest.raises(RuntimeError, match="^1 NaN value encountered"):
        cy.CyNewton(network, False).solve_load_flow(20, 1e-9)
    with pytest.raises(RuntimeError, match="^2 NaN value encountered"):
        cy.CyBackwardForward(network).solve_load_flow(20, 1e-9)
