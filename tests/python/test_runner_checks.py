"""Argument checks of the circuit entry points: every message, the order of the checks, and
what a failure leaves behind (nothing launched, or the earlier gates applied)."""

import math
import re

import numpy as np
import pytest

import velqa
from gate_helpers import MODES, QuantumGate, gate
from reference import statevector as sv


def exact(message):
    return "^" + re.escape(message) + "$"


def fresh_state(n=3, dtype=np.complex128, seed=0):
    return sv.random_state(n, np.random.default_rng(seed)).astype(dtype)


def assert_refused_unchanged(gates, message, mode, n=3, error=ValueError, endian="little"):
    """The NumPy and the DeviceState entry point both refuse and leave the state as it was."""
    state = fresh_state(n)
    before = state.copy()
    with pytest.raises(error, match=exact(message)):
        velqa.run_circuit(n, state, gates, endian=endian, mode=mode)
    np.testing.assert_array_equal(state, before)
    device = velqa.DeviceState.from_numpy(n, before)
    with pytest.raises(error, match=exact(message)):
        velqa.run_circuit_device(device, gates, endian=endian, mode=mode)
    np.testing.assert_array_equal(device.to_numpy(), before)


# ---- parsing ----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["X", "Rx", "cnot", "t_DAG", ""])
def test_unknown_names(name):
    message = "Unsupported CUDA gate id: " + name
    assert_refused_unchanged([gate(name, [0])], message, velqa.PairAuto)
    with pytest.raises(ValueError, match=exact(message)):
        velqa.run_circuit_device_gates(velqa.DeviceState.zero_state(1), [QuantumGate(name, [0])])


def test_a_bad_record_anywhere_stops_the_call_before_any_gate():
    gates = [gate("h", [0]), gate("x", [1]), gate("nope", [0])]
    assert_refused_unchanged(gates, "Unsupported CUDA gate id: nope", velqa.PairAuto)


@pytest.mark.parametrize("key", ["id", "target", "control", "control_state", "parameter"])
def test_missing_key_is_the_python_key_error(key):
    g = gate("h", [0])
    del g[key]
    with pytest.raises(KeyError, match=key):
        velqa.run_circuit(1, fresh_state(1), [g])


@pytest.mark.parametrize("attribute", ["id", "target", "control", "control_state", "parameter"])
def test_missing_attribute_is_the_python_attribute_error(attribute):
    obj = QuantumGate("h", [0])
    delattr(obj, attribute)
    with pytest.raises(AttributeError, match=attribute):
        velqa.run_circuit_device_gates(velqa.DeviceState.zero_state(1), [obj])


def test_failing_iterator_propagates_and_nothing_runs():
    class Boom(Exception):
        pass

    def gates():
        yield QuantumGate("x", [0])
        raise Boom("iterator failed")

    state = velqa.DeviceState.zero_state(1)
    with pytest.raises(Boom, match="iterator failed"):
        velqa.run_circuit_device_gates(state, gates())
    np.testing.assert_array_equal(state.to_numpy(), [1, 0])


def test_elements_are_converted_with_dict():
    pairs = [("id", "x"), ("target", [0]), ("control", []), ("control_state", []), ("parameter", [])]
    state = np.array([1, 0], dtype=np.complex128)
    velqa.run_circuit(1, state, [pairs])
    np.testing.assert_array_equal(state, [0, 1])
    with pytest.raises(TypeError):
        velqa.run_circuit(1, state, [42])


def test_values_that_do_not_convert_are_refused_by_the_binding_library():
    with pytest.raises(RuntimeError, match="Unable to cast"):
        velqa.run_circuit(1, fresh_state(1), [gate("x", [0]) | {"target": "0"}])
    with pytest.raises(RuntimeError, match="Unable to cast"):
        velqa.run_circuit(1, fresh_state(1), [gate("x", [0]) | {"id": 3}])


def test_gate_ir_must_be_a_list():
    with pytest.raises(TypeError):
        velqa.run_circuit(1, fresh_state(1), (gate("x", [0]),))
    with pytest.raises(TypeError):
        velqa.run_circuit_device(velqa.DeviceState.zero_state(1), (gate("x", [0]),))


# ---- UNITARY records, as read ------------------------------------------------------------------


@pytest.mark.parametrize(
    "matrix, message",
    [
        (None, "UNITARY gate requires a matrix."),
        ("missing", "UNITARY gate requires a matrix."),
        (np.eye(4), "UNITARY matrix dimension must be 2**num_targets."),
        ([[1, 0, 0], [0, 1, 0]], "unitary matrix must be a non-empty square 2-D array."),
        (np.zeros((0, 0)), "unitary matrix must be a non-empty square 2-D array."),
        ([1, 0], "unitary matrix must be a non-empty square 2-D array."),
        ([[1, 0], [0]], "unitary matrix must be array-like."),
        ("abc", "unitary matrix must be array-like."),
    ],
    ids=["none", "missing", "4x4-on-one-target", "2x3", "empty", "1-D", "ragged", "text"],
)
def test_unitary_record_checks(matrix, message):
    g = gate("unitary", [0])
    if not (isinstance(matrix, str) and matrix == "missing"):
        g["matrix"] = matrix
    assert_refused_unchanged([gate("h", [1]), g], message, velqa.PairAuto)
    obj = QuantumGate("unitary", [0], matrix=None if isinstance(matrix, str) and matrix == "missing" else matrix)
    with pytest.raises(ValueError, match=exact(message)):
        velqa.run_circuit_device_gates(velqa.DeviceState.zero_state(2), [obj])


def test_gate_objects_read_a_matrix_only_for_unitary():
    class NoMatrix:
        id, target, control, control_state, parameter = "x", [0], [], [], []

    state = velqa.DeviceState.zero_state(1)
    velqa.run_circuit_device_gates(state, [NoMatrix()])
    np.testing.assert_array_equal(state.to_numpy(), [0, 1])


# ---- the NumPy entry point --------------------------------------------------------------------


def test_run_circuit_returns_the_same_array_and_h_on_one_qubit():
    state = np.array([1, 0], dtype=np.complex128)
    out = velqa.run_circuit(1, state, [gate("h", [0])])
    assert out is state
    np.testing.assert_allclose(state, [1 / math.sqrt(2)] * 2, atol=1e-15)


def test_empty_list_leaves_the_array_unchanged():
    state = fresh_state()
    before = state.copy()
    assert velqa.run_circuit(3, state, []) is state
    np.testing.assert_array_equal(state, before)


def test_read_only_array_is_refused_before_any_other_check():
    state = np.zeros((2, 2), dtype=np.float64)
    state.flags.writeable = False
    with pytest.raises(ValueError, match=exact("state array must be writable")):
        velqa.run_circuit(0, state, [gate("nope", [0])], endian="LITTLE", device="cpu")


@pytest.mark.parametrize(
    "n, state, endian, device, message",
    [
        (2, np.zeros((2, 2), np.complex128), "bad", "cpu", "state must be a 1-D contiguous numpy array"),
        (2, np.zeros(8, np.complex128)[::2], "bad", "cpu", "state must be C-contiguous"),
        (0, np.zeros(1, np.float64), "bad", "cpu", "n must be in [1, 62]"),
        (2, np.zeros(3, np.float64), "bad", "cpu", "state.size must equal 2**n"),
        (2, np.zeros(4, np.float64), "LITTLE", "cpu", "endian must be 'little' or 'big'"),
        (2, np.zeros(4, np.float64), "big", "cpu", "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        (2, np.zeros(4, np.float64), "big", "cuda", "dtype must be 'complex64' or 'complex128', got: float64"),
    ],
    ids=["2-D", "strided", "n", "size", "endian", "device", "dtype"],
)
def test_run_circuit_check_order(n, state, endian, device, message):
    with pytest.raises(ValueError, match=exact(message)):
        velqa.run_circuit(n, state, [gate("nope", [0])], endian=endian, device=device)


def test_record_errors_leave_the_callers_array_unchanged():
    state = fresh_state()
    before = state.copy()
    with pytest.raises(ValueError, match=exact("RX gate requires exactly one parameter.")):
        velqa.run_circuit(3, state, [gate("h", [0]), gate("rx", [1])])
    np.testing.assert_array_equal(state, before)


def test_entry_point_signatures_and_docstrings():
    state = velqa.DeviceState.zero_state(1)
    velqa.run_circuit_device(state=state, gate_ir=[], endian="big", mode=velqa.Pair)
    velqa.run_circuit_device_gates(state=state, gates=[], endian="big", mode=velqa.Pair)
    array = np.zeros(2, np.complex64)
    velqa.run_circuit(n=1, state=array, gate_ir=[], endian="big", device="cuda:0", mode=velqa.AllState,
                      use_pinned_host=True)  # fmt: skip
    docs = {
        velqa.run_circuit_device: "Run a gate_ir chunk on an existing CUDA DeviceState.",
        velqa.run_circuit_device_gates: "Run a QuantumGate object chunk on an existing CUDA DeviceState.",
        velqa.run_circuit: "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.",
    }
    for function, text in docs.items():
        assert function.__doc__.rstrip().endswith(text)
    assert "endian: str = 'little'" in velqa.run_circuit.__doc__
    assert "device: str = 'cuda:0'" in velqa.run_circuit.__doc__
    assert "use_pinned_host: bool = False" in velqa.run_circuit.__doc__
    assert "PairAuto" in velqa.run_circuit_device.__doc__.split("\n")[0]
    names = [name for name in vars(velqa) if name.startswith("run_circuit")]
    assert names == ["run_circuit_device", "run_circuit_device_gates", "run_circuit"]


def test_pinned_host_copies_and_complex64():
    state = np.array([1, 0, 0, 0], dtype=np.complex64)
    velqa.run_circuit(2, state, [gate("x", [1])], use_pinned_host=True)
    np.testing.assert_array_equal(state, [0, 0, 1, 0])


# ---- endian and modes -------------------------------------------------------------------------


@pytest.mark.parametrize("endian", ["LITTLE", "Big", "", "native"])
def test_endian_texts(endian):
    assert_refused_unchanged([gate("x", [0])], "endian must be 'little' or 'big'", velqa.PairAuto, endian=endian)
    device = velqa.DeviceState.zero_state(1)
    with pytest.raises(ValueError, match=exact("endian must be 'little' or 'big'")):
        velqa.run_circuit_device_gates(device, [QuantumGate("nope", [0])], endian=endian)


def test_endian_is_checked_before_the_records_are_read():
    with pytest.raises(ValueError, match=exact("endian must be 'little' or 'big'")):
        velqa.run_circuit_device(velqa.DeviceState.zero_state(1), [gate("nope", [0])], endian="x")


# ---- counts: the earlier gates stay applied -----------------------------------------------------


@pytest.mark.parametrize(
    "bad, message",
    [
        (gate("rx", [0]), "RX gate requires exactly one parameter."),
        (gate("ry", [0], parameter=[1, 2]), "RY gate requires exactly one parameter."),
        (gate("crz", [0]), "RZ gate requires exactly one parameter."),
        (gate("p", [0]), "PHASE gate requires exactly one parameter."),
        (gate("gp", []), "GLOBAL_PHASE gate requires exactly one parameter."),
        (gate("u", [0], parameter=[0.1, 0.2]), "U gate requires exactly three parameters."),
        (gate("u1", [0], parameter=[0.1]), "U gate requires exactly three parameters."),
        (gate("swap", [0]), "SWAP gate requires exactly two parameters."),
        (gate("swap", [0, 1, 2]), "SWAP gate requires exactly two parameters."),
    ],
    ids=lambda v: v["id"] if isinstance(v, dict) else "",
)
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_count_check_of_the_third_gate_leaves_the_first_two_applied(bad, message, mode):
    # The bad index on the fourth gate is never reached: nothing after the failing gate runs.
    first = [gate("h", [0]), gate("x", [2], [0], [1])]
    gates = first + [bad, gate("x", [7])]
    psi = fresh_state()
    device = velqa.DeviceState.from_numpy(3, psi)
    with pytest.raises(ValueError, match=exact(message)):
        velqa.run_circuit_device(device, gates, mode=mode)
    np.testing.assert_allclose(device.to_numpy(), sv.run_gate_list(psi, first), atol=1e-12)


# ---- control lists and qubit indices -------------------------------------------------------------

BAD_RECORDS = [
    (gate("x", [0], [1, 2], [1]), "controls.size() != control_state.size()"),
    (gate("x", [0], [63], [1]), "control qubit index must be in [0, 62]"),
    (gate("x", [0], [-1], [1]), "control qubit index must be in [0, 62]"),
    (gate("x", [0], [1], [2]), "control_state must contain only 0/1"),
    (gate("h", [63]), "target qubit index must be in [0, 62]"),
    (gate("h", [-1]), "target qubit index must be in [0, 62]"),
    (gate("h", [2**32 + 1]), "target qubit index must be in [0, 62]"),
    # control-list checks come before the target's
    (gate("h", [63], [64], [1]), "control qubit index must be in [0, 62]"),
    (gate("h", [63], [1], [5]), "control_state must contain only 0/1"),
    (gate("h", [-5], [0, 1], [1]), "controls.size() != control_state.size()"),
    # indices inside [0, 62] that the state does not have, and qubits used twice
    (gate("h", [3]), "target qubit index must be in [0, n)"),
    (gate("rx", [62], parameter=[0.1]), "target qubit index must be in [0, n)"),
    (gate("z", [0], [3], [1]), "control qubit index must be in [0, n)"),
    (gate("gp", [], [5], [0], [0.1]), "control qubit index must be in [0, n)"),
    (gate("z", [1], [1], [1]), "control qubit must not also be a target"),
    (gate("z", [1], [0, 0], [1, 1]), "control qubits must be distinct"),
    (gate("gp", [], [2, 2], [1, 0], [0.1]), "control qubits must be distinct"),
    (gate("x", []), "X gate requires a target qubit."),
    (gate("u3", [], parameter=[1, 2, 3]), "U gate requires a target qubit."),
    (gate("sxdg", []), "SQRTXDAG gate requires a target qubit."),
    (gate("swap", [1, 1]), "target qubits must be distinct"),
    (gate("swap", [0, 3]), "target qubit index must be in [0, n)"),
    (gate("swap", [0, 1], [1], [0]), "control qubit must not also be a target"),
    (gate("swap", [0, 63]), "target qubit index must be in [0, 62]"),
    (gate("unitary", [1, 1], matrix=np.eye(4)), "target qubits must be distinct"),
    (gate("unitary", [0, 5], matrix=np.eye(4)), "target qubit index must be in [0, n)"),
    (gate("unitary", [0], [0], [1], matrix=np.eye(2)), "control qubit must not also be a target"),
    (gate("unitary", [70], [70], [1], matrix=np.eye(2)), "control qubit index must be in [0, 62]"),
]


@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("bad, message", BAD_RECORDS, ids=[m for _, m in BAD_RECORDS])
def test_bad_qubits_are_refused_before_any_gate_runs(bad, message, mode):
    assert_refused_unchanged([gate("h", [0]), gate("y", [1], [2], [0]), bad], message, mode)


@pytest.mark.parametrize("mode", MODES, ids=str)
def test_gate_objects_are_checked_the_same_way(mode):
    device = velqa.DeviceState.from_numpy(3, fresh_state())
    before = device.to_numpy()
    with pytest.raises(ValueError, match=exact("target qubit index must be in [0, n)")):
        velqa.run_circuit_device_gates(device, [QuantumGate("h", [0]), QuantumGate("h", [3])], mode=mode)
    np.testing.assert_array_equal(device.to_numpy(), before)


def test_a_count_failure_before_a_bad_index_is_reported_with_the_earlier_gates_applied():
    psi = fresh_state()
    device = velqa.DeviceState.from_numpy(3, psi)
    with pytest.raises(ValueError, match=exact("U gate requires exactly three parameters.")):
        velqa.run_circuit_device(device, [gate("x", [0]), gate("u", [1]), gate("x", [9])])
    np.testing.assert_allclose(device.to_numpy(), sv.run_gate_list(psi, [gate("x", [0])]), atol=1e-15)


def test_a_bad_index_before_a_count_failure_is_reported_with_nothing_applied():
    assert_refused_unchanged([gate("x", [0]), gate("x", [9]), gate("u", [1])],
                             "target qubit index must be in [0, n)", velqa.PairAuto)  # fmt: skip


def test_control_below_n_with_the_highest_qubit():
    # Controls on every other qubit of the state: exactly one pair changes.
    n = 4
    psi = fresh_state(n)
    g = gate("x", [1], [0, 2, 3], [1, 0, 1])
    for mode in MODES:
        out = velqa.run_circuit(n, psi.copy(), [g], mode=mode)
        changed = np.flatnonzero(out != psi)
        np.testing.assert_array_equal(changed, [0b1001, 0b1011])
