"""A small NumPy density-matrix simulator: the reference the dravik tests compare against.

It is written from the textbook definitions and shares no code with the module under test
(nor with the state-vector reference). Qubit q is bit q of a row or column index (qubit 0 is
the least significant bit); a 2**k x 2**k operation matrix on `targets` reads bit j of its
row or column index as the value of targets[j]. Every function returns a new complex128
array and leaves its input alone.

How to call it::

    from reference import density as dm

    rho = dm.random_density(n, rng)                       # rng = numpy.random.default_rng(seed)
    rho = dm.apply_unitary(rho, dm.gate_matrix("rx", [0.3]), targets=[2], controls=[0], control_state=[1])
    rho = dm.apply_unitary(rho, u8, targets=[4, 0, 2])    # bit j of the matrix index = value of targets[j]
    rho = dm.apply_kraus(rho, [k0, k1], targets=[1])
    rho = dm.apply_kraus(rho, dm.channel_kraus("depolarizing", 0.2), targets=[3])
    probs = dm.outcome_probabilities(rho, targets, "little")
    bits = dm.predicted_outcome(rho, targets, "big", seed)  # the seeded draw, as a '0'/'1' string
    rho = dm.collapse(rho, targets, "big", bits)
"""

from __future__ import annotations

import math
from typing import Sequence

import numpy as np

from .mt19937_64 import MT19937_64

_I = np.eye(2, dtype=np.complex128)
_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
_Y = np.array([[0, -1j], [1j, 0]], dtype=np.complex128)
_Z = np.array([[1, 0], [0, -1]], dtype=np.complex128)


def _rot(pauli: np.ndarray, theta: float) -> np.ndarray:
    """exp(-i theta P / 2) = cos(theta/2) I - i sin(theta/2) P for a Pauli P."""
    return math.cos(theta / 2) * _I - 1j * math.sin(theta / 2) * pauli


def _phase(theta: float) -> np.ndarray:
    return np.array([[1, 0], [0, np.exp(1j * theta)]], dtype=np.complex128)


def _principal_sqrt(pauli: np.ndarray) -> np.ndarray:
    """The principal square root of a Pauli matrix: (1 + i)/2 I + (1 - i)/2 P."""
    return 0.5 * (1 + 1j) * _I + 0.5 * (1 - 1j) * pauli


def _u(theta: float, phi: float, lam: float) -> np.ndarray:
    """The three-angle gate RZ(phi) RY(theta) RZ(lam), its global phase chosen so that the
    top-left entry is real and non-negative for 0 <= theta <= pi."""
    return np.exp(0.5j * (phi + lam)) * (_rot(_Z, phi) @ _rot(_Y, theta) @ _rot(_Z, lam))


# name -> (parameter count, builder)
_TABLE = {
    "x": (0, lambda: _X),
    "y": (0, lambda: _Y),
    "z": (0, lambda: _Z),
    "-z": (0, lambda: -_Z),
    "h": (0, lambda: (_X + _Z) / math.sqrt(2)),
    "s": (0, lambda: _phase(math.pi / 2)),
    "s_dag": (0, lambda: _phase(-math.pi / 2)),
    "t": (0, lambda: _phase(math.pi / 4)),
    "t_dag": (0, lambda: _phase(-math.pi / 4)),
    "sqrtx": (0, lambda: _principal_sqrt(_X)),
    "sqrtx_dag": (0, lambda: _principal_sqrt(_X).conj().T),
    "sqrty": (0, lambda: _principal_sqrt(_Y)),
    "sqrty_dag": (0, lambda: _principal_sqrt(_Y).conj().T),
    "x2p": (0, lambda: _rot(_X, math.pi / 2)),
    "x2m": (0, lambda: _rot(_X, -math.pi / 2)),
    "y2p": (0, lambda: _rot(_Y, math.pi / 2)),
    "y2m": (0, lambda: _rot(_Y, -math.pi / 2)),
    "rx": (1, lambda t: _rot(_X, t)),
    "ry": (1, lambda t: _rot(_Y, t)),
    "rz": (1, lambda t: _rot(_Z, t)),
    "p": (1, _phase),
    "gp": (1, lambda t: np.exp(1j * t) * _I),
    "rxy": (2, lambda phi, theta: _rot(_Z, phi) @ _rot(_X, theta) @ _rot(_Z, -phi)),
    "u": (3, _u),
}

ALIASES = {
    "cx": "x", "cnot": "x", "mcx": "x",
    "cy": "y", "mcy": "y",
    "cz": "z", "mcz": "z",
    "ch": "h", "mch": "h",
    "cs": "s", "mcs": "s",
    "cp": "p", "mcp": "p",
    "crx": "rx", "mcrx": "rx",
    "cry": "ry", "mcry": "ry",
    "crz": "rz", "mcrz": "rz",
    "gphase": "gp", "global_phase": "gp",
    "xyarb": "rxy",
}  # fmt: skip

# The single-target operation names of the table (before aliases).
SINGLE_TARGET_NAMES = tuple(_TABLE)


def parameter_count(name: str) -> int:
    return _TABLE[ALIASES.get(name, name)][0]


def gate_matrix(name: str, params: Sequence[float] = ()) -> np.ndarray:
    """The 2x2 matrix of a named operation or alias; "swap" gives its 4x4 matrix."""
    name = ALIASES.get(name, name)
    if name == "swap":
        return np.eye(4, dtype=np.complex128)[[0, 2, 1, 3]]
    count, build = _TABLE[name]
    assert len(params) == count, (name, params)
    return np.asarray(build(*[float(p) for p in params]), dtype=np.complex128)


def _size(rho: np.ndarray) -> int:
    n = rho.shape[0].bit_length() - 1
    assert rho.shape == (1 << n, 1 << n)
    return n


def controlled_unitary(
    n: int, matrix: np.ndarray, targets: Sequence[int], controls: Sequence[int] = (), control_state: Sequence[int] = ()
) -> np.ndarray:
    """The full 2**n x 2**n matrix of `matrix` on `targets`, applied only on basis states
    whose controls hold (identity elsewhere)."""
    targets = [int(t) for t in targets]
    k = len(targets)
    matrix = np.asarray(matrix, dtype=np.complex128)
    assert matrix.shape == (1 << k, 1 << k)
    assert len(set(targets)) == k and all(0 <= t < n for t in targets)
    assert len(controls) == len(control_state) and not set(targets) & set(controls)
    full = np.zeros((1 << n, 1 << n), dtype=np.complex128)
    for col in range(1 << n):
        if any(((col >> c) & 1) != v for c, v in zip(controls, control_state)):
            full[col, col] = 1
            continue
        local_in = sum(((col >> t) & 1) << j for j, t in enumerate(targets))
        base = col & ~sum(1 << t for t in targets)
        for local_out in range(1 << k):
            row = base | sum(((local_out >> j) & 1) << t for j, t in enumerate(targets))
            full[row, col] += matrix[local_out, local_in]
    return full


def _apply_left(
    rho: np.ndarray, matrix: np.ndarray, targets: Sequence[int], controls: Sequence[int], control_state: Sequence[int]
) -> np.ndarray:
    """U a for the controlled matrix U of `controlled_unitary`, without building U: row r
    of the result (controls holding) is sum_i matrix[local(r), i] a[r with local index i]."""
    n = _size(rho)
    targets = [int(t) for t in targets]
    matrix = np.asarray(matrix, dtype=np.complex128)
    assert matrix.shape == (1 << len(targets), 1 << len(targets))
    index = np.arange(1 << n)
    on = np.ones(1 << n, dtype=bool)
    for c, v in zip(controls, control_state):
        on &= ((index >> c) & 1) == v
    local = sum(((index >> t) & 1) << j for j, t in enumerate(targets))
    base = index & ~sum(1 << t for t in targets)
    out = np.where(on[:, None], 0, rho).astype(np.complex128)
    rows = index[on]
    for i in range(1 << len(targets)):
        source = base[rows] | sum(((i >> j) & 1) << t for j, t in enumerate(targets))
        out[rows] += matrix[local[rows], i][:, None] * rho[source]
    return out


def apply_unitary(
    rho: np.ndarray,
    matrix: np.ndarray,
    targets: Sequence[int],
    controls: Sequence[int] = (),
    control_state: Sequence[int] = (),
) -> np.ndarray:
    """rho -> U rho U^dagger with U the controlled matrix on the targets."""
    rho = np.asarray(rho, dtype=np.complex128)
    left = _apply_left(rho, matrix, targets, controls, control_state)  # U rho
    return _apply_left(left.conj().T, matrix, targets, controls, control_state).conj().T  # (U (U rho)^dagger)^dagger


def apply_kraus(rho: np.ndarray, kraus: Sequence[np.ndarray], targets: Sequence[int]) -> np.ndarray:
    """rho -> sum_m K_m rho K_m^dagger."""
    rho = np.asarray(rho, dtype=np.complex128)
    return sum(apply_unitary(rho, k, targets) for k in kraus)


def channel_kraus(name: str, p: float) -> list[np.ndarray]:
    """The textbook Kraus matrices of a built-in single-qubit channel with probability p."""
    p0 = np.array([[1, 0], [0, 0]], dtype=np.complex128)
    p1 = np.array([[0, 0], [0, 1]], dtype=np.complex128)
    if name == "bit_flip":
        return [math.sqrt(1 - p) * _I, math.sqrt(p) * _X]
    if name == "phase_flip":
        return [math.sqrt(1 - p) * _I, math.sqrt(p) * _Z]
    if name == "depolarizing":
        return [math.sqrt(1 - 3 * p / 4) * _I] + [math.sqrt(p / 4) * m for m in (_X, _Y, _Z)]
    if name == "amplitude_damping":
        return [np.array([[1, 0], [0, math.sqrt(1 - p)]], dtype=np.complex128),
                np.array([[0, math.sqrt(p)], [0, 0]], dtype=np.complex128)]  # fmt: skip
    if name == "phase_damping":
        return [math.sqrt(1 - p) * _I, math.sqrt(p) * p0, math.sqrt(p) * p1]
    raise ValueError(f"unknown channel {name!r}")


CHANNEL_NAMES = ("bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping")


def random_kraus(dim: int, count: int, rng: np.random.Generator, trace_preserving: bool = True) -> list[np.ndarray]:
    """`count` Kraus matrices of side `dim`: the blocks of a random isometry (sum K^dagger K = I)
    when trace_preserving, otherwise independent Gaussian matrices."""
    z = rng.normal(size=(count * dim, dim)) + 1j * rng.normal(size=(count * dim, dim))
    if trace_preserving:
        z, _ = np.linalg.qr(z)
    else:
        z = z / math.sqrt(count * dim)
    return [z[i * dim : (i + 1) * dim] for i in range(count)]


def random_density(n: int, rng: np.random.Generator) -> np.ndarray:
    """A full-rank density matrix (Hermitian, positive, trace 1) with Gaussian factors."""
    a = rng.normal(size=(1 << n, 1 << n)) + 1j * rng.normal(size=(1 << n, 1 << n))
    rho = a @ a.conj().T
    return rho / np.trace(rho).real


def random_unitary(dim: int, rng: np.random.Generator) -> np.ndarray:
    """A Haar-random unitary: QR of a complex Gaussian matrix with the phases of R removed."""
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def _positions(n: int, targets: Sequence[int], endian: str) -> list[int]:
    assert endian in ("little", "big")
    return [t if endian == "little" else n - 1 - t for t in targets]


def _outcome_of(index: int, positions: Sequence[int]) -> int:
    """targets[0] is the most significant bit of the outcome."""
    outcome = 0
    for p in positions:
        outcome = (outcome << 1) | ((index >> p) & 1)
    return outcome


def outcome_probabilities(rho: np.ndarray, targets: Sequence[int], endian: str) -> np.ndarray:
    n = _size(rho)
    positions = _positions(n, targets, endian)
    table = np.zeros(1 << len(targets))
    for i in range(1 << n):
        table[_outcome_of(i, positions)] += float(np.real(rho[i, i]))
    return table


def predicted_outcome(rho: np.ndarray, targets: Sequence[int], endian: str, seed: int) -> str:
    """The seeded draw: u = (x >> 11) 2**-53 hi, hi the next double above the total; the
    first outcome whose running sum reaches u."""
    table = outcome_probabilities(rho, targets, endian)
    total = float(sum(table))
    assert math.isfinite(total) and total > 0
    high = math.nextafter(total, math.inf)
    u = (MT19937_64(seed).next_u64() >> 11) * 2.0**-53 * high
    running = 0.0
    outcome = len(table) - 1
    for index, p in enumerate(table):
        running += p
        if running >= u:
            outcome = index
            break
    return format(outcome, f"0{len(targets)}b")


def collapse(rho: np.ndarray, targets: Sequence[int], endian: str, bits: str) -> np.ndarray:
    """P rho P / p with P the projector onto the outcome and p its probability."""
    n = _size(rho)
    positions = _positions(n, targets, endian)
    outcome = int(bits, 2)
    keep = np.array([_outcome_of(i, positions) == outcome for i in range(1 << n)])
    p = outcome_probabilities(rho, targets, endian)[outcome]
    out = np.where(keep[:, None] & keep[None, :], np.asarray(rho, dtype=np.complex128), 0)
    return out / p
