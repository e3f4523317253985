"""SWAP against the NumPy reference in every dispatch case: each kernel mode, a target on
qubit 0 or not, either target order, no, one or several controls, both precisions."""

import numpy as np
import pytest

import velqa
from gate_helpers import DTYPES, MODES, gate, run_numpy
from reference import statevector as sv
from refusals import assert_refused_unchanged

N = 7

# (q0, q1, controls, control states). Without controls PairAuto uses swap_no_control or
# swap_target0_no_control; with them swap_control_scan (no target on qubit 0) or
# swap_target0_compact.
LAYOUTS = {
    "adjacent-low": (1, 2, [], []),
    "far-apart": (2, 5, [], []),
    "far-apart-reversed": (5, 2, [], []),
    "top-qubits": (N - 1, N - 2, [], []),
    "q0-is-0": (0, 3, [], []),
    "q1-is-0": (4, 0, [], []),
    "q0-is-0-adjacent": (0, 1, [], []),
    "q1-is-0-top": (N - 1, 0, [], []),
    "scan-control-on-0": (2, 5, [0], [1]),
    "scan-control-0-value": (5, 2, [3], [0]),
    "scan-controls-mixed": (1, 4, [0, 6, 2], [1, 0, 1]),
    "scan-controls-between": (6, 1, [3, 4, 5], [0, 1, 0]),
    "target0-control-1": (0, 3, [1], [1]),
    "target0-control-0": (3, 0, [6], [0]),
    "target0-controls-mixed": (0, 5, [4, 1, 6], [0, 1, 1]),
    "target0-every-other-qubit": (2, 0, [1, 3, 4, 5, 6], [1, 0, 1, 1, 0]),
    "scan-every-other-qubit": (3, 5, [0, 1, 2, 4, 6], [0, 1, 1, 0, 1]),
}


def assert_exact_swap(psi, gates, mode, dtype):
    # A SWAP only moves amplitudes: the result is an exact permutation of the input.
    start, out = run_numpy(psi, gates, mode, dtype)
    expected = sv.run_gate_list(start.astype(np.complex128), gates).astype(dtype)
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
def test_swap_matches_reference(layout, mode, dtype):
    q0, q1, control, state = LAYOUTS[layout]
    rng = np.random.default_rng(sum(map(ord, layout)))
    assert_exact_swap(sv.random_state(N, rng), [gate("swap", [q0, q1], control, state)], mode, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize(
    "n, q0, q1, control, state",
    [
        (2, 0, 1, [], []),  # one pair: amplitudes 1 and 2 trade places
        (2, 1, 0, [], []),
        (3, 1, 2, [0], [1]),  # control scan over two quadruples, one of them acts
        (3, 2, 0, [1], [0]),  # target-0 compact with a single pair
    ],
)
def test_smallest_states(n, q0, q1, control, state, mode, dtype):
    psi = np.arange(1, (1 << n) + 1) * (1 + 0.5j)
    assert_exact_swap(psi, [gate("swap", [q0, q1], control, state)], mode, dtype)


def test_two_qubit_swap_exchanges_amplitudes_one_and_two():
    psi = np.array([1, 2, 3, 4], dtype=np.complex128)
    velqa.run_circuit(2, psi, [gate("swap", [0, 1])])
    np.testing.assert_array_equal(psi, [1, 3, 2, 4])


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_swap_circuit_on_a_device_state(mode, dtype):
    # Several SWAPs of every shape in one call, on a state that stays on the device.
    rng = np.random.default_rng(11)
    psi = sv.random_state(N, rng).astype(dtype)
    gates = [gate("swap", [q0, q1], c, s) for q0, q1, c, s in LAYOUTS.values()]
    device = velqa.DeviceState.from_numpy(N, psi)
    velqa.run_circuit_device(device, gates, mode=mode)
    expected = sv.run_gate_list(psi.astype(np.complex128), gates).astype(dtype)
    np.testing.assert_array_equal(device.to_numpy(), expected)


@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize(
    "bad, message",
    [
        (gate("swap", [1, 2], [0, 3], [1]), "controls.size() != control_state.size()"),
        (gate("swap", [1, 2], [63], [1]), "control qubit index must be in [0, 62]"),
        (gate("swap", [1, 2], [-1], [0]), "control qubit index must be in [0, 62]"),
        (gate("swap", [1, 2], [0], [2]), "control_state must contain only 0/1"),
        # the control list is checked before the targets
        (gate("swap", [1, 1], [70], [1]), "control qubit index must be in [0, 62]"),
        (gate("swap", [1, 9], [0], [3]), "control_state must contain only 0/1"),
        (gate("swap", [3, 3], [0], [1]), "target qubits must be distinct"),
        (gate("swap", [2, 5], [5], [1]), "control qubit must not also be a target"),
        (gate("swap", [2, 5], [0, 0], [1, 1]), "control qubits must be distinct"),
        (gate("swap", [2, N]), "target qubit index must be in [0, n)"),
        (gate("swap", [2, 4], [N], [0]), "control qubit index must be in [0, n)"),
    ],
    ids=lambda v: "" if isinstance(v, dict) else v,
)
def test_refused_swap_leaves_the_state_unchanged(bad, message, mode):
    psi = sv.random_state(N, np.random.default_rng(3))
    device = velqa.DeviceState.from_numpy(N, psi)
    assert_refused_unchanged(lambda: velqa.run_circuit_device(device, [bad], mode=mode), message, device, psi)
