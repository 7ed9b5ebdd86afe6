import cmath
import copy
import math
import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import SOURCE_VOLTAGES, Topology, node_current

Z2, YM = 0.02 + 0.06j, 1e-4 - 4e-4j
Z2_SUBSTATION, YM_SUBSTATION = 0.004 + 0.012j, 2e-6 - 8e-6j
E = 230 + 0j
UHV, ULV, SN = 20e3, 400.0, 250e3
BACKWARD_FORWARD = "2 No backward-forward method has been defined for transformers yet."


def single_phase(k=0.1 + 0.02j, y=0.3 - 0.1j):
    """Source E, single-phase transformer, admittance load y; both neutrals referenced."""
    topo = Topology()
    hv_ref, lv_ref = cy.CyPotentialRef(), cy.CyPotentialRef()
    source = cy.CyVoltageSource(2, np.array([E]))
    transformer = cy.CySingleTransformer(Z2, YM, k)
    lv = cy.CyBus(2, np.array([E * k, 0j]))
    load = cy.CyAdmittanceLoad(2, np.array([y]))
    topo.add(hv_ref, source, transformer, lv, load, lv_ref)
    topo.connect(source, hv_ref, [(1, 0)])
    topo.connect_side(transformer, source, [(0, 0), (1, 1)], True, 2)
    topo.connect_side(transformer, lv, [(0, 0), (1, 1)], False, 2)
    topo.connect(lv, load, [(0, 0), (1, 1)])
    topo.connect(lv, lv_ref, [(1, 0)])
    return topo, source, transformer, lv


def assert_kirchhoff(topo):
    """Every node but the referenced ones balances its currents."""
    for node in topo.nodes():
        if not any(isinstance(element, cy.CyPotentialRef) for element, _ in node):
            assert abs(node_current(node)) < 1e-6


def lv_closed_form(k, y, z2=Z2):
    return k * E / (1 + z2 * y)


@pytest.mark.parametrize("make_solver", [lambda n: cy.CyNewton(n, False), cy.CyBackwardForward],
                         ids=["newton", "backward-forward"])
def test_single_phase_solve_has_the_closed_form(make_solver):
    k, y = 0.1 + 0.02j, 0.3 - 0.1j
    topo, source, transformer, lv = single_phase(k, y)
    solver = make_solver(topo.network())
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    v2 = lv.get_potentials(2)
    assert v2[0] == pytest.approx(lv_closed_form(k, y), rel=1e-9)
    hv, lv_currents = transformer.get_side_currents(2, 2)
    assert lv_currents[0] == pytest.approx(-y * v2[0], rel=1e-9)
    assert hv[0] == pytest.approx(YM * E + np.conj(k) * y * v2[0], rel=1e-9)
    assert_kirchhoff(topo)

    # A bound update reaches the next solve.
    transformer.update_transformer_parameters(0.05 + 0.1j, YM, 0.2)
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert lv.get_port_potential(0) == pytest.approx(lv_closed_form(0.2, y, 0.05 + 0.1j), rel=1e-9)


def test_new_single_transformer_has_four_separate_nodes():
    transformer = cy.CySingleTransformer(z2=Z2, ym=YM, k=0.1)
    bus = cy.CyBus(1, np.array([5 + 1j]))
    transformer.connect_side(bus, [(0, 0)], True)
    assert transformer.get_potentials(4).tolist() == [5 + 1j, 0, 0, 0]
    assert transformer.get_side_potentials(2, 2)[1].tolist() == [0, 0]
    with pytest.raises(ValueError, match="n = 5"):
        transformer.get_potentials(5)


def test_data_sheet_tests_return_floats_with_their_closed_forms():
    single = cy.CySingleTransformer(Z2, YM, cmath.rect(ULV / UHV, 0.4))
    open_circuit = single.compute_open_circuit_parameters(UHV, ULV, SN)
    assert type(open_circuit) is tuple and all(type(v) is float for v in open_circuit)
    assert open_circuit == pytest.approx((YM.real * UHV**2, abs(YM) * UHV**2 / SN), rel=1e-9)
    losses, vsc = single.compute_short_circuit_parameters(uhv=UHV, ulv=ULV, sn=SN)
    assert vsc == abs(Z2) * SN / ULV**2
    assert losses == pytest.approx(YM.real * (vsc * UHV) ** 2 + Z2.real * (SN / ULV) ** 2, rel=1e-9)

    dyn = cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, ULV / (math.sqrt(3) * UHV), 11)
    assert dyn.compute_open_circuit_parameters(UHV, ULV, SN) == pytest.approx(
        (3 * YM.real * UHV**2, 3 * abs(YM) * UHV**2 / SN), rel=1e-9)


def test_center_transformer_ratio_is_real_until_updated():
    center = cy.CyCenterTransformer(Z2, 0j, 0.5)
    assert center.compute_open_circuit_parameters(240.0, 120.0, 1e3) == pytest.approx((0, 0), abs=1e-12)
    # Im k turns the LV test potentials only.
    center.update_transformer_parameters(Z2, 0j, 0.5 + 0.1j)
    assert center.compute_open_circuit_parameters(240.0, 120.0, 1e3)[1] > 1e-3


def dyn11_substation(z2=Z2_SUBSTATION, ym=YM_SUBSTATION, k=ULV / (math.sqrt(3) * UHV)):
    """20 kV star source, Dyn11 transformer, unbalanced 400 V star load."""
    topo = Topology()
    hv_ref, lv_ref = cy.CyPotentialRef(), cy.CyPotentialRef()
    source = cy.CyVoltageSource(4, SOURCE_VOLTAGES * (UHV / math.sqrt(3) / 230))
    transformer = cy.CyThreePhaseTransformer(3, 4, "D", "y", z2, ym, k, 11)
    lv_start = np.append(SOURCE_VOLTAGES * (ULV / math.sqrt(3) / 230) * cmath.rect(1, math.pi / 6), 0j)
    lv = cy.CyBus(4, lv_start)
    load = cy.CyPowerLoad(4, np.array([80e3 + 20e3j, 50e3 + 10e3j, 30e3 - 5e3j]))
    topo.add(hv_ref, source, transformer, lv, load, lv_ref)
    topo.connect(source, hv_ref, [(3, 0)])
    topo.connect_side(transformer, source, [(q, q) for q in range(3)], True, 3)
    topo.connect_side(transformer, lv, [(q, q) for q in range(4)], False, 3)
    topo.connect(lv, load, [(q, q) for q in range(4)])
    topo.connect(lv, lv_ref, [(3, 0)])
    return topo, source, transformer, lv, load


def test_three_phase_newton_solve():
    topo, source, transformer, lv, load = dyn11_substation()
    solver = cy.CyNewton(topo.network(), True)
    iterations, error = solver.solve_load_flow(20, 1e-9)
    assert 1 < iterations < 20 and error <= 1e-9
    assert_kirchhoff(topo)
    v = lv.get_potentials(4)
    powers = (v[:3] - v[3]) * np.conj(load.get_inner_currents(3))
    assert powers == pytest.approx([80e3 + 20e3j, 50e3 + 10e3j, 30e3 - 5e3j], rel=1e-9)
    lead = np.degrees(np.angle(v[:3] / source.get_potentials(3)))
    assert lead == pytest.approx([30, 30, 30], abs=3)
    hv, lv_currents = transformer.get_side_currents(3, 4)
    assert hv.sum() == pytest.approx(0, abs=1e-9)
    assert lv_currents.sum() == pytest.approx(0, abs=1e-9)

    with pytest.raises(RuntimeError) as failure:
        cy.CyBackwardForward(topo.network()).solve_load_flow(5, 1e-9)
    assert str(failure.value) == BACKWARD_FORWARD


def test_data_sheet_tests_leave_the_solved_network_alone():
    topo, _, transformer, _, _ = dyn11_substation()
    solver = cy.CyNewton(topo.network(), False)
    solver.solve_load_flow(20, 1e-10)
    before = (transformer.get_potentials(7), transformer.get_currents(7), solver.get_variables())
    transformer.compute_open_circuit_parameters(UHV, ULV, SN)
    transformer.compute_short_circuit_parameters(UHV, ULV, SN)
    after = (transformer.get_potentials(7), transformer.get_currents(7), solver.get_variables())
    for old, new in zip(before, after):
        assert new.tolist() == old.tolist()
    # The LV neutral is referenced; the results do not depend on it.
    loose = cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2_SUBSTATION, YM_SUBSTATION, ULV / (math.sqrt(3) * UHV), 11)
    assert (transformer.compute_open_circuit_parameters(UHV, ULV, SN)
            == loose.compute_open_circuit_parameters(UHV, ULV, SN))


def test_winding_texts_and_port_counts():
    for whv in ("D", b"D", bytearray(b"D")):
        cy.CyThreePhaseTransformer(3, 3, whv, "d", Z2, YM, 0.02, 0)
    refused = [
        ((4, 4, "Z", "y"), "Bad HV winding: Z"),
        ((4, 4, "Yn", "z"), "Bad HV winding: Yn"),
        ((4, 4, "é", "q"), "Bad HV winding: é"),
        ((3, 4, "D", "Y"), "Bad LV winding: Y"),
        ((3, 4, "D", ""), "Bad LV winding: "),
    ]
    for (n1, n2, whv, wlv), message in refused:
        with pytest.raises(RuntimeError) as failure:
            cy.CyThreePhaseTransformer(n1, n2, whv, wlv, Z2, YM, 0.02, 1)
        assert str(failure.value) == message
    with pytest.raises(TypeError):
        cy.CyThreePhaseTransformer(3, 4, "D", 1, Z2, YM, 0.02, 11)
    # Maps built for one port count would read past another.
    with pytest.raises(ValueError, match="A Y HV winding needs 4 ports, got 3"):
        cy.CyThreePhaseTransformer(3, 3, "Y", "d", Z2, YM, 0.02, 1)
    with pytest.raises(ValueError, match="A z LV winding needs 4 ports, got 3"):
        cy.CyThreePhaseTransformer(3, 3, "D", "z", Z2, YM, 0.02, 0)


def test_arguments():
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 3 positional arguments \(2 given\)"):
        cy.CySingleTransformer(Z2, YM)
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 8 positional arguments \(7 given\)"):
        cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, 0.02)
    with pytest.raises(TypeError):
        cy.CyCenterTransformer(Z2, YM, 1j)
    with pytest.raises(TypeError, match="unexpected keyword argument 'ratio'"):
        cy.CySingleTransformer(Z2, YM, ratio=0.1)
    assert (cy.CyTransformer.compute_short_circuit_parameters.__doc__
            == "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)")


class Bare(cy.CyTransformer):
    pass


@pytest.mark.parametrize("transformer", [cy.CyTransformer(), cy.CyTransformer(1, 2), Bare()],
                         ids=["bare", "arguments ignored", "subclass"])
def test_abstract_transformer_methods_raise(transformer):
    calls = [
        lambda: transformer.update_transformer_parameters(Z2, YM, 0.1),
        lambda: transformer.compute_open_circuit_parameters(UHV, ULV, SN),
        lambda: transformer.compute_short_circuit_parameters(UHV, ULV, SN),
    ]
    for call in calls:
        with pytest.raises(RuntimeError, match="^self: a bare "):
            call()


def test_pickling_is_refused():
    made = [
        (cy.CyTransformer(), "self.element cannot be converted to a Python object for pickling"),
        (cy.CySingleTransformer(Z2, YM, 0.1), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyCenterTransformer(Z2, YM, 0.5), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, 0.02, 11),
         "no default __reduce__ due to non-trivial __cinit__"),
    ]
    for obj, message in made:
        for refuse in (pickle.dumps, copy.copy):
            with pytest.raises(TypeError) as error:
                refuse(obj)
            assert str(error.value) == message
