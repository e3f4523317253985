"""Helpers shared by the gate and runner tests: gate records, gate objects and a runner
that compares with the reference simulator."""

import numpy as np

import velqa
from reference import statevector as sv

MODES = [velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion]
DTYPES = [np.complex64, np.complex128]

# Canonical names of the single-target gates with the number of angles each takes.
SINGLE_TARGET = {
    "x": 0, "y": 0, "z": 0, "h": 0, "s": 0, "s_dag": 0, "sqrtx": 0, "sqrtx_dag": 0, "sqrty": 0,
    "sqrty_dag": 0, "rx": 1, "ry": 1, "rz": 1, "phase": 1, "u": 3,
}  # fmt: skip


def gate(name, target, control=(), control_state=(), parameter=(), **extra):
    record = {
        "id": name,
        "target": list(target),
        "control": list(control),
        "control_state": list(control_state),
        "parameter": list(parameter),
    }
    record.update(extra)
    return record


class QuantumGate:
    """A stand-in for the scripting layer's gate objects: plain attributes."""

    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = list(control_state)
        self.parameter = parameter
        self.matrix = matrix


def angles(count, rng):
    return [float(a) for a in rng.uniform(-np.pi, np.pi, size=count)]


def tolerance(dtype):
    return 3e-6 if dtype == np.complex64 else 1e-12


def run_numpy(psi, gates, mode, dtype):
    """run_circuit on a copy of psi in the given dtype; returns (input as run, result)."""
    state = np.array(psi, dtype=dtype)
    start = state.copy()
    n = state.size.bit_length() - 1
    out = velqa.run_circuit(n, state, gates, mode=mode)
    assert out is state
    return start, out


def assert_matches_reference(psi, gates, mode, dtype):
    start, out = run_numpy(psi, gates, mode, dtype)
    expected = sv.run_gate_list(start.astype(np.complex128), gates)
    np.testing.assert_allclose(out, expected, rtol=0, atol=tolerance(dtype))
