"""Checks of the NumPy reference simulator itself, on facts known without it."""

import math

import numpy as np
import pytest

from reference import statevector as sv


def basis(n, index):
    psi = np.zeros(1 << n, dtype=np.complex128)
    psi[index] = 1
    return psi


def test_controlled_x_flips_target_only_where_control_holds():
    # cx(control 0 -> target 2) on |001> gives |101>; on |000> nothing changes.
    x = sv.gate_matrix("cx")
    assert np.allclose(sv.apply_matrix(basis(3, 0b001), x, [2], [0], [1]), basis(3, 0b101))
    assert np.allclose(sv.apply_matrix(basis(3, 0b000), x, [2], [0], [1]), basis(3, 0b000))
    assert np.allclose(sv.apply_matrix(basis(3, 0b000), x, [2], [0], [0]), basis(3, 0b100))


def test_matrix_bit_order_follows_target_list():
    # A CNOT written with the control as matrix bit 0: flips targets[1] where targets[0] is 1.
    cnot = np.eye(4, dtype=complex)[[0, 3, 2, 1]]
    assert np.allclose(sv.apply_matrix(basis(3, 0b010), cnot, [1, 0]), basis(3, 0b011))
    assert np.allclose(sv.apply_matrix(basis(3, 0b001), cnot, [1, 0]), basis(3, 0b001))


def test_swap_and_global_phase():
    assert np.allclose(sv.apply_swap(basis(3, 0b001), 0, 2), basis(3, 0b100))
    assert np.allclose(sv.apply_swap(basis(3, 0b001), 0, 2, [1], [1]), basis(3, 0b001))
    psi = sv.apply_global_phase(np.ones(4, complex), math.pi, [0], [1])
    assert np.allclose(psi, [1, -1, 1, -1])


@pytest.mark.parametrize(
    "root, square",
    [("sqrtx", "x"), ("sqrty", "y"), ("s", "z")],
)
def test_square_roots(root, square):
    m = sv.gate_matrix(root)
    assert np.allclose(m @ m, sv.gate_matrix(square))


def test_known_matrices():
    r = 1 / math.sqrt(2)
    assert np.allclose(sv.gate_matrix("h"), [[r, r], [r, -r]])
    assert np.allclose(sv.gate_matrix("rx", [math.pi]), [[0, -1j], [-1j, 0]])
    assert np.allclose(sv.gate_matrix("u3", [math.pi / 2, 0, math.pi]), sv.gate_matrix("h"))
    assert np.allclose(sv.gate_matrix("t"), np.diag([1, np.exp(1j * math.pi / 4)]))
    u = sv.random_unitary(8, np.random.default_rng(1))
    assert np.allclose(u.conj().T @ u, np.eye(8))
