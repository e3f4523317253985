"""Pauli strings, expectation values and marginal probabilities from their textbook
definitions, for the expectation-value tests. Shares no code with the modules under test.

Qubit q is bit q of an index (qubit 0 is the least significant bit). A Pauli string is
(letters, qubits): letters[m] in "IXYZ" (either case) acts on qubits[m].

How to call it::

    from reference import pauli

    pauli.expectation(psi, "XZY", [0, 3, 7])          # <psi|P|psi>, any n
    pauli.density_expectation(rho, "XZY", [0, 3, 5])  # Tr(rho P), dense P (small n)
    pauli.matrix_expectation(psi, m, targets)          # <psi|M|psi>, bit j of m's index = targets[j]
    pauli.marginal(weights, n, targets)                # entry r: bit j of r is the value of targets[j]
"""

from __future__ import annotations

from typing import Sequence

import numpy as np

from . import statevector as sv

MATRICES = {
    "I": np.eye(2, dtype=np.complex128),
    "X": np.array([[0, 1], [1, 0]], dtype=np.complex128),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=np.complex128),
    "Z": np.array([[1, 0], [0, -1]], dtype=np.complex128),
}


def apply_string(psi: np.ndarray, letters: str, qubits: Sequence[int]) -> np.ndarray:
    """P psi, one single-qubit matrix at a time."""
    out = np.asarray(psi, dtype=np.complex128)
    for letter, q in zip(letters, qubits):
        out = sv.apply_matrix(out, MATRICES[letter.upper()], [int(q)])
    return out


def expectation(psi: np.ndarray, letters: str, qubits: Sequence[int]) -> float:
    """<psi|P|psi> (not divided by the norm); real for a Hermitian P."""
    wide = np.asarray(psi, dtype=np.complex128)
    return float(np.vdot(wide, apply_string(wide, letters, qubits)).real)


def dense_string(n: int, letters: str, qubits: Sequence[int]) -> np.ndarray:
    """The 2**n x 2**n matrix of the string: the Kronecker product, qubit n-1 leftmost."""
    per_qubit = ["I"] * n
    for letter, q in zip(letters, qubits):
        per_qubit[int(q)] = letter.upper()
    out = np.eye(1, dtype=np.complex128)
    for q in reversed(range(n)):
        out = np.kron(out, MATRICES[per_qubit[q]])
    return out


def density_expectation(rho: np.ndarray, letters: str, qubits: Sequence[int]) -> float:
    n = int(rho.shape[0]).bit_length() - 1
    return float(np.trace(np.asarray(rho, dtype=np.complex128) @ dense_string(n, letters, qubits)).real)


def matrix_expectation(psi: np.ndarray, matrix: np.ndarray, targets: Sequence[int]) -> complex:
    wide = np.asarray(psi, dtype=np.complex128)
    return complex(np.vdot(wide, sv.apply_matrix(wide, matrix, targets)))


def marginal(weights: np.ndarray, n: int, positions: Sequence[int]) -> np.ndarray:
    """Sums of weights[i] by outcome; bit j of the outcome is bit positions[j] of i."""
    index = np.arange(1 << n, dtype=np.int64)
    outcome = np.zeros_like(index)
    for j, p in enumerate(positions):
        outcome |= ((index >> p) & 1) << j
    return np.bincount(outcome, weights=np.asarray(weights, dtype=np.float64), minlength=1 << len(positions))
