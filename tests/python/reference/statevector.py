"""A small NumPy state-vector simulator: the reference the velqa tests compare against.

It is written from the textbook definitions of the gates and shares no code with the
module under test. Qubit q is bit q of the amplitude index (qubit 0 is the least
significant bit). Every function returns a new complex128 array and leaves its input alone.

How to call it::

    from reference import statevector as sv

    psi = sv.random_state(n, rng)                      # rng = numpy.random.default_rng(seed)
    psi = sv.apply_matrix(psi, sv.gate_matrix("h"), targets=[2], controls=[0], control_state=[1])
    psi = sv.apply_matrix(psi, m4, targets=[3, 1])     # bit j of the matrix index = value of targets[j]
    psi = sv.apply_swap(psi, 0, 3, controls=[5], control_state=[0])
    psi = sv.apply_global_phase(psi, theta, controls=[], control_state=[])
    psi = sv.run_gate_list(psi, gate_ir)               # a list of gate_ir dictionaries, any gate name
    u = sv.random_unitary(2 ** k, rng)

`gate_matrix(name, params)` takes every gate name and alias the module accepts ("cx", "u2",
"t_dag", ...), so tests can name a gate once and get both the record and its matrix.
"""

from __future__ import annotations

import math
from typing import Iterable, Sequence

import numpy as np

_I2 = np.eye(2, dtype=np.complex128)
_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
_Y = np.array([[0, -1j], [1j, 0]], dtype=np.complex128)
_Z = np.array([[1, 0], [0, -1]], dtype=np.complex128)


def _dag(m: np.ndarray) -> np.ndarray:
    return m.conj().T


def _rotation(pauli: np.ndarray, theta: float) -> np.ndarray:
    # exp(-i theta P / 2) for a Pauli matrix P (P squared is the identity).
    return math.cos(theta / 2) * _I2 - 1j * math.sin(theta / 2) * pauli


def _phase(theta: float) -> np.ndarray:
    return np.diag([1.0, np.exp(1j * theta)]).astype(np.complex128)


def _u(theta: float, phi: float, lam: float) -> np.ndarray:
    # The usual three-angle gate: RZ(phi) RY(theta) RZ(lam) up to the global phase
    # exp(i (phi + lam) / 2), which makes the top-left entry real.
    m = _rotation(_Z, phi) @ _rotation(_Y, theta) @ _rotation(_Z, lam)
    return np.exp(0.5j * (phi + lam)) * m


# sqrt(P) for a Pauli P: the principal square root (1 + i)/2 I + (1 - i)/2 P.
_SQRTX = 0.5 * (1 + 1j) * _I2 + 0.5 * (1 - 1j) * _X
_SQRTY = 0.5 * (1 + 1j) * _I2 + 0.5 * (1 - 1j) * _Y

_FIXED = {
    "x": _X,
    "y": _Y,
    "z": _Z,
    "h": (_X + _Z) / math.sqrt(2.0),
    "s": _phase(math.pi / 2),
    "s_dag": _phase(-math.pi / 2),
    "sqrtx": _SQRTX,
    "sqrtx_dag": _dag(_SQRTX),
    "sqrty": _SQRTY,
    "sqrty_dag": _dag(_SQRTY),
}

_ONE_ANGLE = {
    "rx": lambda t: _rotation(_X, t),
    "ry": lambda t: _rotation(_Y, t),
    "rz": lambda t: _rotation(_Z, t),
    "phase": _phase,
}

# Every accepted gate name and the canonical name it stands for. The "c"/"mc" forms add
# no control by themselves: controls come only from the record's control list.
ALIASES = {
    "x": "x", "cx": "x", "mcx": "x",
    "y": "y", "cy": "y", "mcy": "y",
    "z": "z", "cz": "z", "mcz": "z",
    "h": "h", "ch": "h", "mch": "h",
    "s": "s", "cs": "s", "mcs": "s",
    "s_dag": "s_dag",
    "sqrtx": "sqrtx", "sx": "sqrtx",
    "sqrtx_dag": "sqrtx_dag", "sxdg": "sqrtx_dag",
    "sqrty": "sqrty",
    "sqrty_dag": "sqrty_dag",
    "swap": "swap",
    "rx": "rx", "crx": "rx", "mcrx": "rx",
    "ry": "ry", "cry": "ry", "mcry": "ry",
    "rz": "rz", "crz": "rz", "mcrz": "rz",
    "phase": "phase", "p": "phase", "cp": "phase", "mcp": "phase",
    "t": "t", "ct": "t", "mct": "t", "t_dag": "t_dag",
    "gp": "global_phase", "global_phase": "global_phase", "gphase": "global_phase",
    "u": "u", "u1": "u", "u2": "u", "u3": "u",
    "unitary": "unitary",
}  # fmt: skip

# How many angles each canonical single-target gate takes.
PARAMETER_COUNT = {name: 0 for name in _FIXED}
PARAMETER_COUNT.update({"rx": 1, "ry": 1, "rz": 1, "phase": 1, "t": 0, "t_dag": 0, "u": 3, "global_phase": 1})


def gate_matrix(name: str, params: Sequence[float] = ()) -> np.ndarray:
    """The 2x2 matrix (row = output, column = input) of a single-target gate name or alias."""
    canonical = ALIASES[name]
    if canonical in _FIXED:
        return _FIXED[canonical].copy()
    if canonical == "t":
        return _phase(math.pi / 4)
    if canonical == "t_dag":
        return _phase(-math.pi / 4)
    if canonical in _ONE_ANGLE:
        (theta,) = params
        return _ONE_ANGLE[canonical](float(theta))
    if canonical == "u":
        theta, phi, lam = params
        return _u(float(theta), float(phi), float(lam))
    raise ValueError(f"{name} has no 2x2 matrix")


def _masks(controls: Sequence[int], control_state: Sequence[int]) -> tuple[int, int]:
    assert len(controls) == len(control_state)
    assert len(set(controls)) == len(controls), "controls repeat"
    mask = value = 0
    for c, v in zip(controls, control_state):
        assert v in (0, 1)
        mask |= 1 << c
        value |= v << c
    return mask, value


def _num_qubits(psi: np.ndarray) -> int:
    n = int(psi.size).bit_length() - 1
    assert psi.ndim == 1 and psi.size == 1 << n
    return n


def apply_matrix(
    psi: np.ndarray,
    matrix: np.ndarray,
    targets: Sequence[int],
    controls: Sequence[int] = (),
    control_state: Sequence[int] = (),
) -> np.ndarray:
    """Apply a 2**k x 2**k matrix to k targets where the controls hold.

    Bit j of a row or column index of `matrix` is the value of qubit targets[j], so
    targets[0] is the least significant bit of the matrix index."""
    n = _num_qubits(psi)
    targets = [int(t) for t in targets]
    k = len(targets)
    matrix = np.asarray(matrix, dtype=np.complex128)
    assert matrix.shape == (1 << k, 1 << k)
    assert len(set(targets)) == k and all(0 <= t < n for t in targets)
    assert not set(targets) & set(controls) and all(0 <= c < n for c in controls)
    cmask, cvalue = _masks(controls, control_state)
    tmask = sum(1 << t for t in targets)

    index = np.arange(1 << n, dtype=np.int64)
    bases = index[((index & tmask) == 0) & ((index & cmask) == cvalue)]
    # offsets[l] sets the target bits to the local basis index l.
    offsets = np.array([sum(((l >> j) & 1) << t for j, t in enumerate(targets)) for l in range(1 << k)], np.int64)
    where = bases[:, None] + offsets[None, :]
    out = np.array(psi, dtype=np.complex128, copy=True)
    out[where] = out[where] @ matrix.T
    return out


def apply_swap(
    psi: np.ndarray, q0: int, q1: int, controls: Sequence[int] = (), control_state: Sequence[int] = ()
) -> np.ndarray:
    """Exchange qubits q0 and q1 where the controls hold (a permutation of amplitudes)."""
    n = _num_qubits(psi)
    assert q0 != q1 and 0 <= q0 < n and 0 <= q1 < n
    assert not {q0, q1} & set(controls)
    cmask, cvalue = _masks(controls, control_state)
    index = np.arange(1 << n, dtype=np.int64)
    b0 = (index >> q0) & 1
    b1 = (index >> q1) & 1
    swapped = index & ~((1 << q0) | (1 << q1)) | (b0 << q1) | (b1 << q0)
    source = np.where((index & cmask) == cvalue, swapped, index)
    return np.array(psi, dtype=np.complex128)[source]


def apply_global_phase(
    psi: np.ndarray, theta: float, controls: Sequence[int] = (), control_state: Sequence[int] = ()
) -> np.ndarray:
    """Multiply by exp(i theta) every amplitude whose index satisfies the controls."""
    n = _num_qubits(psi)
    cmask, cvalue = _masks(controls, control_state)
    index = np.arange(1 << n, dtype=np.int64)
    factor = np.where((index & cmask) == cvalue, np.exp(1j * theta), 1.0)
    return np.array(psi, dtype=np.complex128) * factor


def apply_gate(psi: np.ndarray, gate: dict) -> np.ndarray:
    """Apply one gate_ir dictionary ("id", "target", "control", "control_state", "parameter",
    and "matrix" for "unitary")."""
    name = ALIASES[gate["id"]]
    targets = list(gate["target"])
    controls = list(gate.get("control", []))
    states = list(gate.get("control_state", []))
    params = list(gate.get("parameter") or [])
    if name == "swap":
        return apply_swap(psi, targets[0], targets[1], controls, states)
    if name == "global_phase":
        return apply_global_phase(psi, params[0], controls, states)
    if name == "unitary":
        return apply_matrix(psi, np.asarray(gate["matrix"]), targets, controls, states)
    return apply_matrix(psi, gate_matrix(gate["id"], params), targets[:1], controls, states)


def run_gate_list(psi: np.ndarray, gates: Iterable[dict]) -> np.ndarray:
    for gate in gates:
        psi = apply_gate(psi, gate)
    return psi


def random_state(n: int, rng: np.random.Generator) -> np.ndarray:
    """A normalised complex128 state of n qubits with Gaussian amplitudes."""
    psi = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return psi / np.linalg.norm(psi)


def random_unitary(dim: int, rng: np.random.Generator) -> np.ndarray:
    """A Haar-random dim x dim unitary (QR of a complex Gaussian matrix, phases fixed)."""
    z = (rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))) / math.sqrt(2.0)
    q, r = np.linalg.qr(z)
    d = np.diag(r)
    return q * (d / np.abs(d))
