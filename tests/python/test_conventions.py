import os
import re
import subprocess
import sys
import traceback

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy


class IntReturnsStr:
    def __int__(self):
        return "1"


class AsComplex:
    def __complex__(self):
        return 2 + 1j


def bus3():
    return cy.CyBus(3, np.array([1, 2, 3], dtype=complex))


def read_only(values):
    values.setflags(write=False)
    return values


def nan_sweep():
    # The far bus starts at zero volts: the power load's current is not finite.
    source, ref = cy.CyVoltageSource(2, np.array([230j])), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(2, np.array([1, 0, 0, 1], dtype=complex))
    load = cy.CyPowerLoad(2, np.array([1e3 + 0j]))
    line.connect_side(source, [(0, 0), (1, 1)], True)
    source.connect(ref, [(1, 0)])
    line.connect(load, [(2, 0), (3, 1)])
    elements = np.array([ref, source, line, load], dtype=object)
    network = cy.CyElectricalNetwork(elements, 4)
    return cy.CyBackwardForward(network).solve_load_flow(10, 1e-6)


def singular_newton():
    # A constant-current load fixes |J| alone: its Jacobian has no radial part.
    bus, load, ref = cy.CyBus(2, np.array([1 + 0j, 0j])), cy.CyCurrentLoad(2, np.array([1 + 0j])), cy.CyPotentialRef()
    bus.connect(load, [(0, 0), (1, 1)])
    bus.connect(ref, [(1, 0)])
    network = cy.CyElectricalNetwork(np.array([bus, load, ref], dtype=object), 3)
    return cy.CyNewton(network, False).solve_load_flow(5, 1e-9)


def bad_law_powers():
    # A "q_u" law for P fails at its first evaluation.
    q_u = cy.CyControl("q_u", 0.9, 0.95, 1.05, 1.1, 1.0, 1.0)
    constant = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    bad = cy.CyFlexibleParameter(q_u, constant, cy.CyProjection("euclidean", 1.0, 1e-3), 1.0, 0.0, 0.0)
    return cy.CyFlexibleLoad(2, np.ones(1, complex), np.array([bad], dtype=object)).get_powers(1)


CASES = [
    # argument counts and keywords
    ("no argument", lambda: cy.CyBus(), TypeError, "__cinit__() takes exactly 2 positional arguments (0 given)"),
    ("keyword n only", lambda: cy.CyBus(n=1), TypeError, "__cinit__() takes exactly 2 positional arguments (1 given)"),
    ("extra keyword", lambda: cy.CyBus(1, None, x=2), TypeError, "__cinit__() got an unexpected keyword argument 'x'"),
    ("one argument too many", lambda: bus3().get_potentials(1, 2), TypeError,
     "get_potentials() takes exactly 1 positional argument (2 given)"),
    ("no argument expected", lambda: cy.CyPotentialRef().get_current(1), TypeError,
     "get_current() takes exactly 0 positional arguments (1 given)"),
    ("keyword given twice", lambda: bus3().get_potentials(2, n=2), TypeError,
     "get_potentials() got multiple values for keyword argument 'n'"),
    ("keyword not a string", lambda: bus3().get_potentials(**{1: 2}), TypeError, "keywords must be strings"),
    # self of another class, through the class
    ("regulator method on a bus", lambda: cy.CySingleVoltageRegulator.get_tap(bus3()), TypeError,
     "descriptor 'get_tap' for 'load_flow_engine.cy_engine.CySingleVoltageRegulator' objects doesn't apply to a "
     "'load_flow_engine.cy_engine.CyBus' object"),
    ("Newton method on a sweep",
     lambda: cy.CyAbstractNewton.get_jacobian(cy.CyBackwardForward(cy.CyElectricalNetwork(None, 0))), TypeError,
     "descriptor 'get_jacobian' for 'load_flow_engine.cy_engine.CyAbstractNewton' objects doesn't apply to a "
     "'load_flow_engine.cy_engine.CyBackwardForward' object"),
    ("reference method on a switch", lambda: cy.CyPotentialRef.get_current(cy.CySwitch(0)), TypeError,
     "descriptor 'get_current' for 'load_flow_engine.cy_engine.CyPotentialRef' objects doesn't apply to a "
     "'load_flow_engine.cy_engine.CySwitch' object"),
    ("load method on a bus", lambda: cy.CyPowerLoad.update_powers(bus3(), np.ones(2, complex)), TypeError,
     "descriptor 'update_powers' for 'load_flow_engine.cy_engine.CyPowerLoad' objects doesn't apply to a "
     "'load_flow_engine.cy_engine.CyBus' object"),
    # int
    ("str for int", lambda: bus3().get_potentials("a"), TypeError, "an integer is required"),
    ("int overflow", lambda: bus3().get_potentials(2**31), OverflowError, "value too large to convert to int"),
    ("int underflow", lambda: bus3().get_potentials(-(2**31) - 1), OverflowError, "value too large to convert to int"),
    ("__int__ returns str", lambda: bus3().get_potentials(IntReturnsStr()), TypeError, "__int__ returned non-int (type str)"),
    # double complex, double, bool, str
    ("str for complex", lambda: cy.CyPowerLoad(2, np.ones(1, complex)).update_power("x"), TypeError,
     "must be real number, not str"),
    ("str for double", lambda: cy.CyBackwardForward(cy.CyElectricalNetwork(None, 0)).solve_load_flow(1, "x"),
     TypeError, "must be real number, not str"),
    ("wrapper of another class", lambda: cy.CyNewton(bus3(), True), TypeError,
     "Argument 'network' has incorrect type (expected load_flow_engine.cy_engine.CyElectricalNetwork, "
     "got load_flow_engine.cy_engine.CyBus)"),
    ("int for wrapper", lambda: bus3().connect(3, []), TypeError,
     "Argument 'cy_element' has incorrect type (expected load_flow_engine.cy_engine.CyElement, got int)"),
    ("bytes for str", lambda: cy.cy_set_logging_config(b"info"), TypeError,
     "Argument 'severity' has incorrect type (expected str, got bytes)"),
    ("None for str", lambda: cy.cy_set_logging_config(None), TypeError,
     "Argument 'severity' has incorrect type (expected str, got NoneType)"),
    # index pairs
    ("three-item pair", lambda: bus3().connect(bus3(), [(0, 1, 2)]), ValueError, "too many values to unpack (expected 2)"),
    ("one-item pair", lambda: bus3().connect(bus3(), [(0,)]), ValueError, "need more than 1 value to unpack"),
    ("empty pair", lambda: bus3().connect(bus3(), [()]), ValueError, "need more than 0 values to unpack"),
    ("pairs not iterable", lambda: bus3().connect(bus3(), 5), TypeError, "'int' object is not iterable"),
    # buffers
    ("float64 for complex", lambda: bus3().initialize_potentials(np.zeros(3)), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    ("complex64 for complex", lambda: bus3().initialize_potentials(np.zeros(3, np.complex64)), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'complex float'"),
    ("int64 for int", lambda: bus3().connect_ports(np.zeros(2, np.int64)), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("complex for double", lambda: cy.CyBackwardForward(cy.CyElectricalNetwork(None, 0)).set_variables(np.zeros(1, complex)),
     ValueError, "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ("two dimensions", lambda: bus3().initialize_potentials(np.zeros((1, 3), complex)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("big-endian", lambda: bus3().initialize_potentials(np.zeros(3, ">c16")), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    ("not contiguous", lambda: bus3().initialize_potentials(np.zeros(6, complex)[::2]), ValueError,
     "ndarray is not C-contiguous"),
    ("read-only", lambda: bus3().initialize_potentials(read_only(np.zeros(3, complex))), ValueError,
     "buffer source array is read-only"),
    ("negative result size", lambda: bus3().get_potentials(-1), ValueError, "negative dimensions are not allowed"),
    # engine exceptions
    ("runtime_error keeps its trailing blank", nan_sweep, RuntimeError, "2 NaN value encountered at iteration 1. "),
    ("Newton failure", singular_newton, RuntimeError, "1 Decomposition failed, singular matrix at iteration 0. "),
    ("length_error", lambda: cy.CySwitch(-1), RuntimeError, "vector"),
    ("invalid_argument", lambda: cy.CyDeltaPotentialRef(0), ValueError,
     "A delta potential reference needs at least one port, got 0"),
    ("unknown severity", lambda: cy.cy_set_logging_config("warn"), RuntimeError, "Unknown severity string warn."),
]


@pytest.mark.parametrize("call, exception, message", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_conventions(call, exception, message):
    with pytest.raises(exception) as error:
        call()
    assert type(error.value) is exception
    if message is not None:
        assert str(error.value) == message


def test_accepted_conversions():
    bus = bus3()
    assert bus.get_potentials(2.9).shape == (2,)
    assert bus.get_potentials(True).tolist() == [1 + 0j]
    with pytest.warns(DeprecationWarning, match=re.escape("__int__ returned non-int (type IntSubclass)")):

        class IntSubclass(int):
            pass

        class ReturnsSubclass:
            def __int__(self):
                return IntSubclass(1)

        assert bus.get_port_potential(ReturnsSubclass()) == 2 + 0j

    # An admittance load on a 1 V source draws its admittance as current.
    load, ref = cy.CyAdmittanceLoad(2, np.zeros(1, complex)), cy.CyPotentialRef()
    one_volt = cy.CyVoltageSource(2, np.ones(1, complex))
    one_volt.connect(load, [(0, 0), (1, 1)])
    one_volt.connect(ref, [(1, 0)])
    sweep = cy.CyBackwardForward(cy.CyElectricalNetwork(np.array([one_volt, load, ref], dtype=object), 3))
    for value, expected in ((AsComplex(), 2 + 1j), (3, 3 + 0j), (2.5, 2.5 + 0j)):
        load.update_admittance(value)
        sweep.solve_load_flow(10, 0.0)
        assert load.get_inner_currents(1).tolist() == [expected]

    assert cy.CyCurrentLoad(n=2, currents=np.ones(1, complex)).get_currents(n=2).shape == (2,)
    for reference in (cy.CyGround(1, 2, key=3), cy.CyPotentialRef(1, 2, key=3)):
        assert reference.get_potentials(1).tolist() == [0j]
    with pytest.raises(IndexError):
        cy.CyGround(1, 2, key=3).get_port_current(1)

    line = cy.CySwitch(1)
    other = cy.CyBus(1, np.array([5j]))
    line.connect_side(other, [(0, 0)], None)
    assert line.get_side_potentials(1, 1)[1].tolist() == [5j]
    assert bus.get_potentials(0).dtype == np.complex128 and bus.get_potentials(0).shape == (0,)


def type_name(cls):
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


CLASSES = {name: value for name, value in vars(cy).items() if isinstance(value, type)}


@pytest.mark.parametrize("cls", CLASSES.values(), ids=CLASSES)
def test_methods_refuse_a_self_of_another_class(cls):
    network = cy.CyElectricalNetwork(None, 0)
    others = [object(), bus3(), cy.CySwitch(0), cy.CyControl("constant", 0, 0, 0, 0, 0, 0), network,
              cy.CyBackwardForward(network)]
    methods = [name for name, value in vars(cls).items() if callable(value) and name != "__new__"]
    assert methods
    for method in (getattr(cls, name) for name in methods):
        for other in (other for other in others if not isinstance(other, cls)):
            # Refused before the arguments are looked at.
            with pytest.raises(TypeError) as error:
                method(other)
            assert str(error.value) == (f"descriptor '{method.__name__}' for '{type_name(cls)}' objects doesn't "
                                        f"apply to a '{type_name(type(other))}' object")


def test_methods_through_a_base_class_take_its_subclasses():
    class NamedBus(cy.CyBus):
        pass

    bus = NamedBus(2, np.array([1 + 2j, 3j]))
    assert cy.CyElement.get_potentials(bus, 2).tolist() == [1 + 2j, 3j]
    assert cy.CyBus.get_potentials(bus, n=1).tolist() == [1 + 2j]


def entry_name(function, *args):
    # The traceback entry that the failing call added, just below this frame.
    try:
        function(*args)
    except Exception as error:
        return traceback.extract_tb(error.__traceback__)[1].name
    raise AssertionError(f"{function} did not fail")


def failing_pair():
    # Both fail on a line with the same number in their own family's source.
    bus = cy.CyBus(1, np.array([1j]))
    q_u = cy.CyControl("q_u", 200, 210, 240, 250, 50, 1e-3)
    parameter = cy.CyFlexibleParameter(q_u, q_u, cy.CyProjection("keep_p", 2.0, 1e-3), 5000, -1000, 1000)
    return {"load_flow_engine.cy_engine.CyElement.get_potentials": (bus.get_potentials, -1),
            "load_flow_engine.cy_engine.CyFlexibleParameter.compute_power":
                (parameter.compute_power, 230.0, 3e3 - 1e3j)}


def built():
    # One instance of every class or of a subclass of it.
    z = np.ones(1, complex)
    constant = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    parameter = cy.CyFlexibleParameter(constant, constant, cy.CyProjection("euclidean", 1.0, 1e-3), 1.0, 0.0, 0.0)
    parameters = np.array([parameter, parameter], dtype=object)
    network = cy.CyElectricalNetwork(None, 0)
    return [cy.CySwitch(1), cy.CyOpenSwitch(1), cy.CySimplifiedLine(1, z), cy.CyShuntLine(1, z, z), cy.CyBus(1, z),
            cy.CyPowerLoad(2, z), cy.CyDeltaPowerLoad(1, z), cy.CyAdmittanceLoad(2, z), cy.CyDeltaAdmittanceLoad(1, z),
            cy.CyCurrentLoad(2, z), cy.CyDeltaCurrentLoad(1, z), cy.CyLoadBalancer(1j, 0j, 1.0), constant,
            cy.CyProjection("keep_q", 1.0, 1e-3), parameter, cy.CyFlexibleLoad(2, z, parameters),
            cy.CyDeltaFlexibleLoad(1, z, parameters), cy.CyGround(), cy.CyPotentialRef(), cy.CyDeltaPotentialRef(1),
            cy.CyVoltageSource(2, z), cy.CyDeltaVoltageSource(1, z),
            cy.CyThreePhaseTransformer(3, 4, "D", "y", 1j, 0j, 0.1, 11), cy.CySingleTransformer(1j, 0j, 1 + 0j),
            cy.CyCenterTransformer(1j, 0j, 1.0), cy.CySingleVoltageRegulator(1j, 0j, 230.0, 0.1, 1.0, 0.0), network,
            cy.CyNewton(network, False), cy.CyNewtonGoldstein(network, False, 0.1, 0.9, False),
            cy.CyBackwardForward(network)]


BARE = (cy.CyElement, cy.CyBranch, cy.CyLoad, cy.CyTransformer, cy.CyAbstractSolver, cy.CyAbstractNewton)

# An argument of each declared type, for a call that fails past its arguments.
ARGUMENTS = {"int": lambda: 1, "bool": lambda: True, "double": lambda: 1.0, "double complex": lambda: 1j,
             "string": lambda: "x", "int[::1]": lambda: np.zeros(1, np.intc), "double[::1]": lambda: np.zeros(1),
             "CyElement": cy.CyElement, "": list}


def parameters(method):
    # From the signature line, e.g. "CyElement.connect(self, CyElement cy_element, connections)".
    return method.__doc__[method.__doc__.index("(") + 1:-1].split(", ")[1:]


def arguments(method):
    return [ARGUMENTS[parameter.rpartition(" ")[0]]() for parameter in parameters(method)]


def misnamed_entries():
    """(expected, found) for every failing call whose traceback entry names
    another function. After failures in the conversions of buffers, strings
    and index pairs, which fail inside Cython's own code: every constructor
    given no arguments, every method with parameters given too many, every
    method of the classes that can be built bare called on a bare object, the
    solvers given no network, and the failing pair in both orders."""
    bus = bus3()
    for function, *args in ((bus.initialize_potentials, read_only(np.zeros(3, complex))),
                            (cy.CyControl, 3, 0, 0, 0, 0, 0, 0), (bus.connect, bus3(), [(0, 1, 2)])):
        entry_name(function, *args)
    found = []
    instances = built()
    for cls in CLASSES.values():
        if cls not in (*BARE, cy.CyGround, cy.CyPotentialRef):  # which take any arguments
            found.append((f"load_flow_engine.cy_engine.{cls.__name__}.__cinit__", entry_name(cls)))
        instance = next(instance for instance in instances if isinstance(instance, cls))
        # Cython's own pickling refusals, all failing on the same lines of its own source, are left out.
        for name, method in vars(cls).items():
            if not callable(method) or name in ("__new__", "__reduce__", "__setstate__"):
                continue
            expected = f"load_flow_engine.cy_engine.{cls.__name__}.{name}"
            if parameters(method):
                found.append((expected, entry_name(method, instance, *range(20))))
            if cls in BARE:
                found.append((expected, entry_name(method, cls(), *arguments(method))))
    for cls, *args in ((cy.CyNewton, None, False), (cy.CyNewtonGoldstein, None, False, 0.1, 0.9, False),
                       (cy.CyBackwardForward, None)):
        found.append((f"load_flow_engine.cy_engine.{cls.__name__}.__cinit__", entry_name(cls, *args)))
    pair = failing_pair()
    for name in (*pair, *reversed(pair)):
        found.append((name, entry_name(*pair[name])))
    return [(expected, name) for expected, name in found if name != expected]


def in_fresh_process(script):
    # The module caches its traceback entries for the whole process.
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                          cwd=os.path.dirname(__file__)).stdout


def test_every_failing_method_names_itself():
    assert in_fresh_process("import test_conventions as t; print(t.misnamed_entries())").strip() == "[]"


@pytest.mark.parametrize("first", [0, 1], ids=["get_potentials first", "compute_power first"])
def test_a_failing_pair_names_itself_in_either_order(first):
    script = f"""
import test_conventions as t
pair = t.failing_pair()
names = list(pair)[{first}:] + list(pair)[:{first}]
print(*[name == t.entry_name(*pair[name]) for name in names + names])
"""
    out = in_fresh_process(script)
    assert out.split() == ["True"] * 4


def test_traceback_names_the_method():
    # In a fresh process: the module caches one traceback code object per
    # source line number, whichever function first raised there.
    script = """
import traceback
import test_conventions as t
for call in (t.nan_sweep, lambda: t.cy.CySwitch(-1), t.bad_law_powers):
    try:
        call()
    except RuntimeError as error:
        print(traceback.extract_tb(error.__traceback__)[-1].name)
"""
    out = in_fresh_process(script)
    assert out.split() == ["load_flow_engine.cy_engine.CyAbstractSolver.solve_load_flow",
                           "load_flow_engine.cy_engine.CySwitch.__cinit__",
                           "load_flow_engine.cy_engine.CyFlexibleLoad.get_powers"]
