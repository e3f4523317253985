"""UNITARY against the NumPy reference: one to seven targets in random order, random
unitaries, controls, every kernel mode, both precisions; its messages, their order, and
that a refused UNITARY leaves the state unchanged."""

import numpy as np
import pytest

import velqa
from gate_helpers import DTYPES, MODES, assert_matches_reference, gate, tolerance
from reference import statevector as sv
from refusals import assert_refused_unchanged

N = 9


def unitary(targets, control=(), control_state=(), matrix=None, rng=None):
    if matrix is None:
        matrix = sv.random_unitary(1 << len(targets), rng)
    return gate("unitary", targets, control, control_state, matrix=matrix)


# One and two targets have their own dispatch in PairAuto: target on qubit 0 or not, which
# of the two is qubit 0, controlled or not.
SMALL_LAYOUTS = {
    "1q-target0": ([0], [], []),
    "1q-high": ([5], [], []),
    "1q-target0-controls": ([0], [3, 8], [1, 0]),
    "1q-high-control-below": ([4], [0], [1]),
    "1q-every-other-qubit": ([2], [0, 1, 3, 4, 5, 6, 7, 8], [1, 0, 1, 1, 0, 0, 1, 1]),
    "2q-high": ([3, 6], [], []),
    "2q-high-reversed": ([6, 3], [], []),
    "2q-adjacent-low": ([1, 2], [], []),
    "2q-q0-is-0": ([0, 4], [], []),
    "2q-q1-is-0": ([7, 0], [], []),
    "2q-high-controls": ([2, 5], [0, 8], [0, 1]),
    "2q-q0-is-0-control": ([0, 3], [5], [1]),
    "2q-q1-is-0-controls": ([6, 0], [1, 2], [1, 0]),
    "2q-every-other-qubit": ([8, 1], [0, 2, 3, 4, 5, 6, 7], [0, 1, 1, 0, 1, 0, 1]),
}


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("layout", SMALL_LAYOUTS, ids=str)
def test_one_and_two_targets_match_reference(layout, mode, dtype):
    targets, control, state = SMALL_LAYOUTS[layout]
    rng = np.random.default_rng(sum(map(ord, layout)))
    g = unitary(targets, control, state, rng=rng)
    assert_matches_reference(sv.random_state(N, rng), [g], mode, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("controls", [0, 1, 2])
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6, 7])
def test_random_targets_and_controls_match_reference(k, controls, mode, dtype):
    # Random target order and random control qubits and values, from a seed per case.
    rng = np.random.default_rng(1000 * k + 10 * controls + int(mode))
    qubits = [int(q) for q in rng.permutation(N)]
    control = qubits[k : k + controls]
    state = [int(v) for v in rng.integers(0, 2, size=controls)]
    g = unitary(qubits[:k], control, state, rng=rng)
    assert_matches_reference(sv.random_state(N, rng), [g], mode, dtype)


# Three to five targets run in tiles of up to 2^11 amplitudes; at 13 qubits a state spans
# several tiles. The layouts put targets and controls among the low bits a tile spans first,
# or leave the low bits free.
TILED_LAYOUTS = {
    "low-targets": ([0, 1, 2], [], []),
    "high-targets-reversed": ([12, 9, 10, 11], [], []),
    "scattered-controls-low": ([7, 0, 11, 4, 2], [1, 3], [1, 0]),
    "controls-fill-low-bits": ([12, 5, 8], [0, 1, 2, 3, 4], [1, 1, 0, 1, 0]),
    "five-high-control-high": ([8, 9, 10, 11, 6], [12], [1]),
}


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("layout", TILED_LAYOUTS, ids=str)
def test_three_to_five_targets_across_many_tiles(layout, dtype):
    targets, control, state = TILED_LAYOUTS[layout]
    rng = np.random.default_rng(sum(map(ord, layout)))
    g = unitary(targets, control, state, rng=rng)
    assert_matches_reference(sv.random_state(13, rng), [g], velqa.PairAuto, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_unitary_circuit_on_a_device_state(mode, dtype):
    # Every strategy in one call, mixed with other gates, on a state that stays on the device.
    rng = np.random.default_rng(5)
    gates = [
        unitary([3], rng=rng),
        gate("h", [0]),
        unitary([0, 7], [2], [1], rng=rng),
        unitary([5, 1, 6], rng=rng),
        gate("swap", [2, 6], [0], [1]),
        unitary([8, 0, 4, 2], [1], [0], rng=rng),
        unitary([1, 3, 5, 7, 0], rng=rng),
        unitary([6, 2, 8, 0, 4, 1], [3], [1], rng=rng),
        unitary([7, 6, 5, 4, 3, 2, 1], rng=rng),
    ]
    psi = sv.random_state(N, rng).astype(dtype)
    device = velqa.DeviceState.from_numpy(N, psi)
    velqa.run_circuit_device(device, gates, mode=mode)
    expected = sv.run_gate_list(psi.astype(np.complex128), gates)
    np.testing.assert_allclose(device.to_numpy(), expected, rtol=0, atol=4 * tolerance(dtype))


def basis(n, index):
    psi = np.zeros(1 << n, dtype=np.complex128)
    psi[index] = 1
    return psi


@pytest.mark.parametrize("mode", MODES, ids=str)
def test_matrix_bit_order_follows_the_target_list(mode):
    # CNOT with rows and columns ordered by value of q0 + 2 * value of q1, control = q0:
    # with targets [1, 3] it flips qubit 3 exactly where qubit 1 is 1.
    cnot = np.eye(4)[[0, 3, 2, 1]]
    g = gate("unitary", [1, 3], matrix=cnot)
    for index, expected in [(0b0000, 0b0000), (0b0010, 0b1010), (0b1010, 0b0010), (0b1000, 0b1000)]:
        psi = basis(4, index)
        velqa.run_circuit(4, psi, [g], mode=mode)
        np.testing.assert_array_equal(psi, basis(4, expected))


# ---- messages, their order, and the state after a refusal --------------------------------------

REFUSED = [
    # no targets: the record's 1x1 matrix passes the parser, the launcher refuses it
    (gate("unitary", [], matrix=[[1]]), "UNITARY gate requires at least one target."),
    (gate("unitary", [], [0], [1], matrix=[[1]]), "UNITARY gate requires at least one target."),
    # the matrix dimension is checked before the controls and the targets
    (gate("unitary", [0], matrix=np.eye(4)), "UNITARY matrix dimension must be 2**num_targets."),
    (gate("unitary", [70], [0, 1], [1], matrix=np.eye(4)), "UNITARY matrix dimension must be 2**num_targets."),
    (gate("unitary", [0, 1, 2], matrix=np.eye(4)), "UNITARY matrix dimension must be 2**num_targets."),
    # the controls before the targets
    (gate("unitary", [63], [0, 1], [1], matrix=np.eye(2)), "controls.size() != control_state.size()"),
    (gate("unitary", [-1], [63], [1], matrix=np.eye(2)), "control qubit index must be in [0, 62]"),
    (gate("unitary", [63], [0], [2], matrix=np.eye(2)), "control_state must contain only 0/1"),
    (gate("unitary", [63], matrix=np.eye(2)), "target qubit index must be in [0, 62]"),
    (gate("unitary", [1, -1], matrix=np.eye(4)), "target qubit index must be in [0, 62]"),
    (gate("unitary", [0, 1, 2, 3, 4, 5, 63], matrix=np.eye(128)), "target qubit index must be in [0, 62]"),
    # inside [0, 62] but not what the kernels can take
    (gate("unitary", [2, N], matrix=np.eye(4)), "target qubit index must be in [0, n)"),
    (gate("unitary", [4, 1, 4], matrix=np.eye(8)), "target qubits must be distinct"),
    (gate("unitary", [0, 1, 2, 3, 4, 5, 0], matrix=np.eye(128)), "target qubits must be distinct"),
    (gate("unitary", [0, 1, 2], [N], [1], matrix=np.eye(8)), "control qubit index must be in [0, n)"),
    (gate("unitary", [0, 1, 2, 3, 4, 5], [6, 6], [0, 0], matrix=np.eye(64)), "control qubits must be distinct"),
    (gate("unitary", [3, 5, 7], [5], [1], matrix=np.eye(8)), "control qubit must not also be a target"),
]


@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("bad, message", REFUSED, ids=[m for _, m in REFUSED])
def test_refused_unitary_leaves_the_state_unchanged(bad, message, mode):
    psi = sv.random_state(N, np.random.default_rng(9))
    device = velqa.DeviceState.from_numpy(N, psi)
    assert_refused_unchanged(lambda: velqa.run_circuit_device(device, [bad], mode=mode), message, device, psi)

    array = psi.astype(np.complex64)
    before = array.copy()
    with pytest.raises(ValueError) as info:
        velqa.run_circuit(N, array, [bad], mode=mode)
    assert str(info.value) == message
    np.testing.assert_array_equal(array, before)
