import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import LENGTHS, SOURCE_VOLTAGES, UNBALANCED_POWERS, Topology, cable, star_feeder


def potentials(buses):
    return np.concatenate([b.get_potentials(4) for b in buses])


def test_line_search_reaches_the_newton_solution():
    topo, _, buses, _ = star_feeder(UNBALANCED_POWERS, LENGTHS)
    network = topo.network()
    cy.CyNewton(network, True).solve_load_flow(20, 1e-10)
    expected = potentials(buses)

    for weighted in (False, True):
        solver = cy.CyNewtonGoldstein(network, True, 0.1, 0.9, weighted)
        iterations, error = solver.solve_load_flow(20, 1e-10)
        assert type(iterations) is int and type(error) is float
        assert error <= 1e-10
        assert potentials(buses) == pytest.approx(expected, abs=1e-8)


def test_update_params_changes_only_the_solves_that_follow():
    def line_search(m1, m2, weighted):
        topo, *_ = star_feeder(UNBALANCED_POWERS, LENGTHS)
        return cy.CyNewtonGoldstein(topo.network(), False, m1, m2, weighted)

    reference = line_search(0.1, 0.9, False)
    expected = reference.solve_load_flow(20, 1e-9)
    retuned = line_search(0.9, 0.1, True)
    retuned.update_params(0.1, 0.9, False)
    assert retuned.solve_load_flow(20, 1e-9) == expected
    assert retuned.get_variables().tolist() == reference.get_variables().tolist()

    # With m1 above m2 no step can be accepted: every search makes ten trials.
    retuned.update_params(0.9, 0.1, False)
    retuned.reset_inputs()
    assert retuned.solve_load_flow(20, 1e-9)[0] > expected[0]


def test_jacobian_rows_are_the_derivatives_of_the_residuals():
    topo, *_ = star_feeder(UNBALANCED_POWERS[:2], LENGTHS[:2])
    solver = cy.CyNewtonGoldstein(topo.network(), False, 0.1, 0.9, False)
    solver.solve_load_flow(1, 1e-9)
    x = solver.get_variables()
    n = x.size
    jacobian = solver.get_jacobian()
    assert jacobian.dtype == np.float64 and jacobian.shape == (n, n)

    residuals = solver.get_residuals()
    assert residuals.dtype == np.float64 and residuals.shape == (n,)
    for j in range(n):
        h = 1e-6 * (1 + abs(x[j]))
        step = np.zeros(n)
        step[j] = h
        solver.set_variables(x + step)
        up = solver.get_residuals()
        solver.set_variables(x - step)
        down = solver.get_residuals()
        assert jacobian[:, j] == pytest.approx((up - down) / (2 * h), rel=1e-5, abs=1e-5)
    solver.set_variables(x)
    assert solver.get_residuals().tolist() == residuals.tolist()


def test_parameter_updates_show_only_after_the_next_solve(tmp_path):
    topo, _, _, loads = star_feeder(UNBALANCED_POWERS, LENGTHS)
    solver = cy.CyNewton(topo.network(), False)
    residuals, jacobian = solver.get_residuals(), solver.get_jacobian()
    solver.save_matrix(str(tmp_path / "before"))

    loads[0].update_powers(np.array(UNBALANCED_POWERS[0]) * 3)
    assert solver.get_residuals().tolist() == residuals.tolist()
    assert solver.get_jacobian().tolist() == jacobian.tolist()
    solver.save_matrix(str(tmp_path / "updated"))
    for suffix in (".mtx", "_b.mtx"):
        assert (tmp_path / f"updated{suffix}").read_text() == (tmp_path / f"before{suffix}").read_text()

    solver.solve_load_flow(0, 1e-9)
    assert not np.array_equal(solver.get_residuals(), residuals)
    assert not np.array_equal(solver.get_jacobian(), jacobian)


def test_save_matrix_writes_both_files_and_names_one_it_cannot_open(tmp_path):
    topo, *_ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    solver = cy.CyNewtonGoldstein(topo.network(), False, 0.1, 0.9, False)
    n = solver.get_variables().size
    solver.save_matrix(str(tmp_path / "feeder"))
    jacobian_lines = (tmp_path / "feeder.mtx").read_text().splitlines()
    assert jacobian_lines[0] == "%%MatrixMarket matrix coordinate  real general"
    rows, cols, entries = map(int, jacobian_lines[1].split())
    assert (rows, cols, entries) == (n, n, len(jacobian_lines) - 2)
    residual_lines = (tmp_path / "feeder_b.mtx").read_text().splitlines()
    assert len(residual_lines) == n + 2
    assert [float(v) for v in residual_lines[2:]] == solver.get_residuals().tolist()

    missing = str(tmp_path / "missing" / "feeder")
    with pytest.raises(RuntimeError, match=f"{missing}.mtx"):
        solver.save_matrix(missing)


def test_save_matrix_refuses_a_prefix_with_a_nul(tmp_path):
    # A C file name ends at the NUL: both files would be one, cut short.
    topo, *_ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    solver = cy.CyNewton(topo.network(), False)
    for prefix in (f"{tmp_path}/feeder\0more", f"{tmp_path}/feeder\0".encode()):
        with pytest.raises(ValueError) as error:
            solver.save_matrix(prefix)
        assert str(error.value) == "The file prefix holds a NUL character"
    assert list(tmp_path.iterdir()) == []


def test_analyse_jacobian_names_floating_nodes_and_loads_on_dead_nodes():
    topo, *_ = star_feeder(UNBALANCED_POWERS[:2], LENGTHS[:2])
    solver = cy.CyNewton(topo.network(), False)
    assert solver.analyse_jacobian() == ([], [])

    floating = cy.CyGround()
    topo.add(floating)
    assert cy.CyNewton(topo.network(), False).analyse_jacobian() == ([len(topo.elements) - 1], [])

    # A bus whose phase a starts at the potential of its neutral.
    dead = Topology()
    reference, source = cy.CyPotentialRef(), cy.CyVoltageSource(4, SOURCE_VOLTAGES)
    head = cy.CyBus(4, np.append(SOURCE_VOLTAGES, 0j))
    line = cy.CySimplifiedLine(4, cable(0.1))
    far = cy.CyBus(4, np.array([0j, SOURCE_VOLTAGES[1], SOURCE_VOLTAGES[2], 0j]))
    load = cy.CyPowerLoad(4, np.array(UNBALANCED_POWERS[0]))
    dead.add(reference, source, head, line, far, load)
    dead.connect(head, source, [(k, k) for k in range(4)])
    dead.connect(head, reference, [(3, 0)])
    dead.connect_side(line, head, [(k, k) for k in range(4)], True, 4)
    dead.connect_side(line, far, [(k, k) for k in range(4)], False, 4)
    dead.connect(far, load, [(k, k) for k in range(4)])
    assert cy.CyNewton(dead.network(), False).analyse_jacobian() == ([], [5])


def test_line_search_solver_refuses_pickling():
    topo, *_ = star_feeder(UNBALANCED_POWERS[:1], LENGTHS[:1])
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(cy.CyNewtonGoldstein(topo.network(), False, 0.1, 0.9, False))
