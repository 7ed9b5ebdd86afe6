import copy
import importlib
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy

BASES = {
    "CyElement": object,
    "CyBranch": cy.CyElement,
    "CySwitch": cy.CyBranch,
    "CyOpenSwitch": cy.CyBranch,
    "CySimplifiedLine": cy.CyBranch,
    "CyShuntLine": cy.CyBranch,
    "CyBus": cy.CyElement,
    "CyLoad": cy.CyElement,
    "CyPowerLoad": cy.CyLoad,
    "CyDeltaPowerLoad": cy.CyLoad,
    "CyAdmittanceLoad": cy.CyLoad,
    "CyDeltaAdmittanceLoad": cy.CyLoad,
    "CyCurrentLoad": cy.CyLoad,
    "CyDeltaCurrentLoad": cy.CyLoad,
    "CyLoadBalancer": cy.CyLoad,
    "CyControl": object,
    "CyProjection": object,
    "CyFlexibleParameter": object,
    "CyFlexibleLoad": cy.CyLoad,
    "CyDeltaFlexibleLoad": cy.CyLoad,
    "CyGround": cy.CyElement,
    "CyPotentialRef": cy.CyElement,
    "CyDeltaPotentialRef": cy.CyElement,
    "CyVoltageSource": cy.CyElement,
    "CyDeltaVoltageSource": cy.CyElement,
    "CyTransformer": cy.CyBranch,
    "CyThreePhaseTransformer": cy.CyTransformer,
    "CySingleTransformer": cy.CyTransformer,
    "CyCenterTransformer": cy.CyTransformer,
    "CySingleVoltageRegulator": cy.CyBranch,
    "CyElectricalNetwork": object,
    "CyAbstractSolver": object,
    "CyAbstractNewton": cy.CyAbstractSolver,
    "CyNewton": cy.CyAbstractNewton,
    "CyNewtonGoldstein": cy.CyAbstractNewton,
    "CyBackwardForward": cy.CyAbstractSolver,
}


def test_import_twice_gives_the_same_module():
    assert importlib.import_module("load_flow_engine.cy_engine") is cy
    assert sys.modules["load_flow_engine.cy_engine"] is cy
    assert cy.np is np
    assert cy.__test__ == {}
    for internal in ("array", "Enum", "memoryview", "_memoryviewslice"):
        assert not hasattr(cy, internal)


def test_module_attributes_in_registration_order():
    names = [name for name in vars(cy) if not name.startswith("__")]
    # The classes are entered in the order they are readied.
    assert names == [*BASES, "np", "cy_set_logging_config"]
    assert {name for name in vars(cy) if name.startswith("__")} <= {
        "__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__path__",
        "__spec__", "__test__",
    }


def test_second_interpreter_is_refused():
    script = textwrap.dedent(
        """
        import warnings
        warnings.simplefilter("ignore")
        import load_flow_engine.cy_engine
        import _xxsubinterpreters as interpreters
        other = interpreters.create()
        try:
            interpreters.run_string(other, "import load_flow_engine.cy_engine")
        except interpreters.RunFailedError as error:
            print(error)
        """
    )
    pytest.importorskip("_xxsubinterpreters")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out


@pytest.mark.parametrize("name", BASES)
def test_classes(name):
    cls = getattr(cy, name)
    assert cls.__bases__ == (BASES[name],)
    assert f"{cls.__module__}.{cls.__qualname__}" == f"load_flow_engine.cy_engine.{name}"
    assert repr(cls) == f"<class 'load_flow_engine.cy_engine.{name}'>"
    assert cls.__doc__ is None
    for attribute, value in vars(cls).items():
        if callable(value) and not attribute.startswith("__"):
            assert value.__doc__.startswith(f"{name}.{attribute}(self")


def test_method_resolution_order():
    assert cy.CyBus.__mro__ == (cy.CyBus, cy.CyElement, object)
    assert cy.CyNewton.__mro__ == (cy.CyNewton, cy.CyAbstractNewton, cy.CyAbstractSolver, object)
    assert cy.cy_set_logging_config.__doc__ == "cy_set_logging_config(str severity)"


def made():
    network = cy.CyElectricalNetwork(None, 0)
    return [
        (cy.CyElement(), "self.element cannot be converted to a Python object for pickling"),
        (cy.CyBranch(), "self.element cannot be converted to a Python object for pickling"),
        (cy.CyLoad(), "self.element cannot be converted to a Python object for pickling"),
        (cy.CyAbstractSolver(), "self.solver cannot be converted to a Python object for pickling"),
        (cy.CyAbstractNewton(), "self.solver cannot be converted to a Python object for pickling"),
        (cy.CyBus(0, None), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CySwitch(1), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyPowerLoad(2, np.ones(1, complex)), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyGround(), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyVoltageSource(1, None), "no default __reduce__ due to non-trivial __cinit__"),
        (network, "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyNewton(network, False), "no default __reduce__ due to non-trivial __cinit__"),
        (cy.CyBackwardForward(network), "no default __reduce__ due to non-trivial __cinit__"),
    ]


@pytest.mark.parametrize(
    "refuse",
    [
        lambda obj: obj.__reduce__(),
        lambda obj: obj.__setstate__(None),
        lambda obj: obj.__reduce_ex__(2),
        pickle.dumps,
        copy.copy,
        copy.deepcopy,
    ],
    ids=["__reduce__", "__setstate__", "__reduce_ex__", "dumps", "copy", "deepcopy"],
)
def test_pickling_is_refused(refuse):
    for obj, message in made():
        with pytest.raises(TypeError) as error:
            refuse(obj)
        assert str(error.value) == message, type(obj).__name__


def test_subclasses_run_the_wrapper_constructor():
    class NamedBus(cy.CyBus):
        def __init__(self, n, potentials):
            self.name = "bus"

    bus = NamedBus(2, np.array([1 + 2j, 3j]))
    assert bus.name == "bus"
    assert bus.get_potentials(2).tolist() == [1 + 2j, 3j]
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 2 positional arguments \(3 given\)"):
        NamedBus(2, None, "extra")

    class Referenced(cy.CyPotentialRef):
        def __init__(self, label):
            self.label = label

    assert Referenced("earth").get_current() == 0j


# The reference under docs/: every class has its own section, and every
# example runs, page by page in one namespace, so that none drifts from the
# module.

DOCS = Path(__file__).resolve().parents[2] / "docs"
PAGES = sorted(DOCS.glob("*.md"))
EXAMPLE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def test_the_reference_has_a_section_for_every_class():
    headings = {name for page in PAGES for name in re.findall(r"^## `(\w+)`", page.read_text(), re.M)}
    assert set(BASES) | {"cy_set_logging_config"} <= headings


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_the_reference_examples_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples may write files
    text = page.read_text()
    namespace = {"__name__": f"docs.{page.stem}"}
    examples = list(EXAMPLE.finditer(text))
    for example in examples:
        # Padded so that a traceback gives the line in the page.
        line = text.count("\n", 0, example.start(1))
        exec(compile("\n" * line + example.group(1), str(page), "exec"), namespace)
    assert examples or page.name == "README.md"
