# distutils: language = c++
# Without binding the methods are method descriptors: called through a class,
# they refuse a self of another class instead of reading it as their own.
# cython: language_level=3, embedsignature=True, c_string_encoding=utf8, binding=False

cimport cython
from libcpp.string cimport string
from libcpp.utility cimport move, pair
from libcpp.vector cimport vector

cimport numpy as cnp

from load_flow_engine.abstract_solver cimport AbstractSolver
from load_flow_engine.backward_forward cimport BackwardForward
from load_flow_engine.bus cimport Bus, Ground
from load_flow_engine.eigen cimport VectorXd
from load_flow_engine.electrical_network cimport ElectricalNetwork
from load_flow_engine.element cimport Branch, Element, Port
from load_flow_engine.flexible_loads cimport Control, DeltaFlexibleLoad, FlexibleLoad, FlexibleParameter, Projection
from load_flow_engine.lines cimport ShuntLine, SimplifiedLine
from load_flow_engine.load_balancer cimport LoadBalancer
from load_flow_engine.loads cimport (AdmittanceLoad, CurrentLoad, DeltaAdmittanceLoad, DeltaCurrentLoad,
                                     DeltaPowerLoad, LoadBase, PowerLoad, ValueRecords)
from load_flow_engine.logging cimport CppadErrorScope, set_logging_config
from load_flow_engine.newton cimport AbstractNewton, Newton
from load_flow_engine.newton_goldstein cimport NewtonGoldstein
from load_flow_engine.potential_ref cimport DeltaPotentialRef, PotentialRef
from load_flow_engine.sources cimport DeltaVoltageSource, VoltageSource
from load_flow_engine.switches cimport OpenSwitch, Switch
from load_flow_engine.transformers cimport CenterTransformer, SingleTransformer, ThreePhaseTransformer, TransformerBase
from load_flow_engine.voltage_regulator cimport SingleVoltageRegulator

import numpy as np

cnp.import_array()

# Classes in their registration order, one file per family.
include "arguments.pxi"
include "elements.pxi"
include "lines.pxi"
include "loads.pxi"
include "load_balancer.pxi"
include "flexible_loads.pxi"
include "references.pxi"
include "sources.pxi"
include "transformers.pxi"
include "voltage_regulator.pxi"
include "solvers.pxi"

# Cython leaves helpers of its own in the module namespace: the module shows
# only its classes, cy_set_logging_config, np and __test__.
for _helper in ("__pyx_unpickle_Enum", "__reduce_cython__", "__setstate_cython__"):
    globals().pop(_helper, None)
del _helper
