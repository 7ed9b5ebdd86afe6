"""A low-voltage feeder solved by Newton-Raphson.

A 230/400 V source with its neutral earthed feeds three buses in a row
through four-conductor cables (three phases and the neutral). Each bus
carries an unbalanced star load, so the neutral carries current and the
phase-to-neutral voltages differ from phase to phase.

Run it with ``python -m load_flow_engine.example``.
"""

import cmath

import numpy as np

from load_flow_engine.cy_engine import (
    CyBus,
    CyElectricalNetwork,
    CyNewton,
    CyPotentialRef,
    CyPowerLoad,
    CySimplifiedLine,
    CyVoltageSource,
)

PHASES = ("a", "b", "c")
NOMINAL_VOLTAGE = 230.0  # phase to neutral, V
SOURCE_VOLTAGES = np.array([cmath.rect(NOMINAL_VOLTAGE, -k * 2 * cmath.pi / 3) for k in range(3)])

# Per-kilometre impedances of a four-conductor cable (ohm/km).
SELF_IMPEDANCE = 0.32 + 0.08j
MUTUAL_IMPEDANCE = 0.03 + 0.06j

# Cable lengths (km) from the source to bus 1, bus 1 to bus 2, bus 2 to bus 3.
SECTION_LENGTHS = (0.20, 0.15, 0.10)

# Star loads (VA) per phase at buses 1, 2 and 3.
LOAD_POWERS = (
    (12e3 + 3e3j, 6e3 + 1e3j, 9e3 + 2e3j),
    (4e3 + 1e3j, 10e3 + 4e3j, 2e3),
    (7e3 + 2e3j, 1e3, 5e3 + 1.5e3j),
)


def cable_impedance(length):
    """Row-major 4 x 4 series impedance matrix of a cable section."""
    z = np.full((4, 4), MUTUAL_IMPEDANCE * length, dtype=np.complex128)
    np.fill_diagonal(z, SELF_IMPEDANCE * length)
    return z.ravel()


def build_feeder():
    """Returns the network elements in a solvable order and the named buses."""
    initial = np.append(SOURCE_VOLTAGES, 0j)
    source = CyVoltageSource(4, SOURCE_VOLTAGES)
    earth = CyPotentialRef()
    source_bus = CyBus(4, initial)
    source_bus.connect(source, [(k, k) for k in range(4)])
    source_bus.connect(earth, [(3, 0)])

    elements = [earth, source, source_bus]
    buses = [("source", source_bus)]
    loads = []
    upstream = source_bus
    for number, (length, powers) in enumerate(zip(SECTION_LENGTHS, LOAD_POWERS), start=1):
        bus = CyBus(4, initial)
        line = CySimplifiedLine(4, cable_impedance(length))
        line.connect_side(upstream, [(k, k) for k in range(4)], True)
        line.connect_side(bus, [(k, k) for k in range(4)], False)
        load = CyPowerLoad(4, np.array(powers, dtype=np.complex128))
        bus.connect(load, [(k, k) for k in range(4)])
        elements += [line, bus]
        loads.append(load)
        buses.append((f"bus {number}", bus))
        upstream = bus
    return elements + loads, buses


def phase_to_neutral(bus):
    potentials = bus.get_potentials(4)
    return potentials[:3] - potentials[3]


def main():
    elements, buses = build_feeder()
    network = CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    solver = CyNewton(network, True)
    iterations, error = solver.solve_load_flow(20, 1e-8)

    header = f"{'bus':<8}" + "".join(f"{'V' + p + 'n (V)':>12}{'angle (deg)':>13}" for p in PHASES)
    print(header)
    print("-" * len(header))
    for name, bus in buses:
        cells = "".join(f"{abs(v):12.2f}{np.degrees(cmath.phase(v)):13.2f}" for v in phase_to_neutral(bus))
        print(f"{name:<8}{cells}")
    print()
    print(f"Newton-Raphson converged in {iterations} iterations, final error {error:.3e}")


if __name__ == "__main__":
    main()
