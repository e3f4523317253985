"""The fusion engine: planned chunks and the PairAutoFusion mode against the reference
simulator, over option settings that force each executor, and the surface of the prepared
chunk (its checks, messages and repeated execution)."""

import re

import numpy as np
import pytest

import velqa
from gate_helpers import DTYPES, QuantumGate, angles, gate, tolerance
from reference import statevector as sv

DEFAULT = {}
OPTION_SETS = {
    "default": DEFAULT,
    "sparsesharemem-only": {"densemm_max_qubits": 0},
    "densemm-eager": {"densemm_gate_threshold_scale": 0.0},
    "no-swap-fusion": {"fuse_swap": False},
    "unpadded": {"pad_sparsesharemem": False},
    "few-gates": {"max_gates_per_group": 3},
    **{f"tile-{q}": {"sparsesharemem_qubits": q} for q in (1, 2, 3, 5, 7, 10)},
    "tile-4-densemm": {"sparsesharemem_qubits": 4, "densemm_gate_threshold_scale": 0.0},
}

ONE_QUBIT = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "rx", "ry", "rz", "p", "u"]
ANGLES = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3}


def exact(message):
    return "^" + re.escape(message) + "$"


def random_circuit(n, count, rng):
    """Single-target gates with controls of both values, SWAPs, one-target UNITARY gates and
    GLOBAL_PHASE barriers."""
    gates = []
    for _ in range(count):
        kind = rng.integers(0, 10)
        qubits = [int(q) for q in rng.permutation(n)]
        if kind == 0 and n >= 2:
            controls = qubits[2 : 2 + int(rng.integers(0, min(2, n - 2) + 1))]
            states = [int(s) for s in rng.integers(0, 2, size=len(controls))]
            gates.append(gate("swap", qubits[:2], controls, states))
        elif kind == 1:
            gates.append(gate("gp", [], parameter=angles(1, rng)))
        elif kind == 2:
            gates.append(gate("unitary", qubits[:1], matrix=sv.random_unitary(2, rng)))
        else:
            name = ONE_QUBIT[int(rng.integers(0, len(ONE_QUBIT)))]
            controls = qubits[1 : 1 + int(rng.integers(0, min(2, n - 1) + 1))]
            states = [int(s) for s in rng.integers(0, 2, size=len(controls))]
            gates.append(gate(name, qubits[:1], controls, states, angles(ANGLES.get(name, 0), rng)))
    return gates


def as_objects(gates):
    return [
        QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"], g.get("matrix"))
        for g in gates
    ]


def expected_after(psi, gates, dtype):
    return sv.run_gate_list(np.asarray(psi, dtype=dtype).astype(np.complex128), gates)


def run_prepared(psi, gates, dtype, **options):
    n = psi.size.bit_length() - 1
    state = velqa.DeviceState.from_numpy(n, np.asarray(psi, dtype=dtype))
    chunk = velqa.prepare_fusion_chunk_gates(n, as_objects(gates), **options)
    velqa.execute_prepared_fusion_chunk(state, chunk)
    return state.to_numpy()


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("n", [1, 2, 4, 7, 11, 14])
@pytest.mark.parametrize("options", OPTION_SETS.values(), ids=OPTION_SETS.keys())
def test_prepared_chunk_matches_reference(options, n, dtype):
    rng = np.random.default_rng(1000 * n + len(options))
    psi = sv.random_state(n, rng)
    gates = random_circuit(n, 30 if n > 10 else 60, rng)
    out = run_prepared(psi, gates, dtype, **options)
    np.testing.assert_allclose(out, expected_after(psi, gates, dtype), rtol=0, atol=5 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("n", [1, 3, 6, 9, 12])
def test_pair_auto_fusion_mode_matches_reference_and_the_prepared_chunk(n, dtype):
    rng = np.random.default_rng(77 + n)
    psi = sv.random_state(n, rng)
    gates = random_circuit(n, 80, rng)
    state = np.asarray(psi, dtype=dtype).copy()
    velqa.run_circuit(n, state, gates, mode=velqa.PairAutoFusion)
    np.testing.assert_allclose(state, expected_after(psi, gates, dtype), rtol=0, atol=5 * tolerance(dtype))
    # Same plan, same kernels: the two fused paths agree to the last bit.
    np.testing.assert_array_equal(state, run_prepared(psi, gates, dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
def test_every_gate_kind_fused_equals_its_matrix(dtype):
    # Each gate name next to an H on another qubit, so every kind's shortcut runs in a group.
    rng = np.random.default_rng(5)
    psi = sv.random_state(4, rng)
    for name in ONE_QUBIT:
        for controls, states in [((), ()), ((2,), (1,)), ((3, 2), (0, 1))]:
            gates = [
                gate("h", [1]),
                gate(name, [0], controls, states, angles(ANGLES.get(name, 0), rng)),
                gate(name, [1], parameter=angles(ANGLES.get(name, 0), rng)),
            ]
            for options in (DEFAULT, {"densemm_gate_threshold_scale": 0.0}):
                out = run_prepared(psi, gates, dtype, **options)
                expected = expected_after(psi, gates, dtype)
                np.testing.assert_allclose(out, expected, rtol=0, atol=tolerance(dtype), err_msg=f"{name} {options}")


def test_densemm_groups_at_the_size_limits():
    # k = n - 1 (two columns) and k = 1 with n = 2, both forced onto DenseMM.
    rng = np.random.default_rng(9)
    for n, qubits in [(5, [0, 1, 2, 3]), (5, [4, 1, 3, 2]), (2, [1])]:
        psi = sv.random_state(n, rng)
        gates = [gate("ry", [q], parameter=angles(1, rng)) for q in qubits] + [gate("h", [qubits[0]])]
        out = run_prepared(psi, gates, np.complex128, densemm_gate_threshold_scale=0.0)
        np.testing.assert_allclose(out, expected_after(psi, gates, np.complex128), rtol=0, atol=1e-12)


def test_executing_a_chunk_twice_applies_it_twice():
    rng = np.random.default_rng(3)
    psi = sv.random_state(6, rng)
    gates = random_circuit(6, 40, rng)
    state = velqa.DeviceState.from_numpy(6, psi)
    chunk = velqa.prepare_fusion_chunk_gates(6, as_objects(gates))
    velqa.execute_prepared_fusion_chunk(state, chunk)
    velqa.execute_prepared_fusion_chunk(state, chunk)
    np.testing.assert_allclose(state.to_numpy(), expected_after(psi, gates + gates, np.complex128), atol=1e-12)


def test_empty_chunk_leaves_the_state_alone():
    state = velqa.DeviceState.zero_state(3)
    chunk = velqa.prepare_fusion_chunk_gates(3, [])
    assert (chunk.n, chunk.gate_count) == (3, 0)
    velqa.execute_prepared_fusion_chunk(state, chunk)
    np.testing.assert_array_equal(state.to_numpy(), np.eye(8)[0])


def test_chunk_properties_are_read_only_and_there_is_no_constructor():
    chunk = velqa.prepare_fusion_chunk_gates(5, as_objects([gate("h", [0]), gate("x", [4], [0], [1])]))
    assert (chunk.n, chunk.gate_count) == (5, 2)
    with pytest.raises(AttributeError):
        chunk.n = 4
    with pytest.raises(TypeError, match="No constructor defined"):
        velqa.PreparedFusionChunk()


@pytest.mark.parametrize("n", [0, 63, -1])
def test_qubit_count_is_checked_before_the_gates_are_read(n):
    with pytest.raises(ValueError, match=exact("n must be in [1, 62]")):
        velqa.prepare_fusion_chunk_gates(n, [object(), 3])


def test_parse_errors_of_gate_objects_reach_the_caller():
    with pytest.raises(ValueError, match=exact("Unsupported CUDA gate id: nope")):
        velqa.prepare_fusion_chunk_gates(2, [QuantumGate("nope", [0])])


@pytest.mark.parametrize("planned, actual", [(10, 11), (3, 4), (4, 3)])
def test_chunk_for_another_qubit_count_is_refused_and_the_state_unchanged(planned, actual):
    rng = np.random.default_rng(planned)
    psi = sv.random_state(actual, rng)
    state = velqa.DeviceState.from_numpy(actual, psi)
    chunk = velqa.prepare_fusion_chunk_gates(planned, as_objects([gate("h", [0]), gate("x", [1])]))
    with pytest.raises(ValueError, match=exact("DeviceState qubit count does not match prepared fusion chunk")):
        velqa.execute_prepared_fusion_chunk(state, chunk)
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_oversized_sparsesharemem_group_fails_after_the_earlier_groups():
    # Groups: X alone, the barrier alone, then 11 H gates padded to an 11-qubit tile.
    n = 11
    rng = np.random.default_rng(11)
    psi = sv.random_state(n, rng)
    gates = [gate("x", [0]), gate("gp", [], parameter=[0.4])] + [gate("h", [q]) for q in range(n)]
    state = velqa.DeviceState.from_numpy(n, psi)
    chunk = velqa.prepare_fusion_chunk_gates(n, as_objects(gates), sparsesharemem_qubits=12)
    with pytest.raises(ValueError, match=exact("SparseShareMem active qubits must be in [1, 10]")):
        velqa.execute_prepared_fusion_chunk(state, chunk)
    np.testing.assert_allclose(state.to_numpy(), expected_after(psi, gates[:2], np.complex128), atol=1e-13)


@pytest.mark.parametrize(
    "bad, message",
    [
        (gate("h", [5]), "target qubit index must be in [0, n)"),
        (gate("x", [0], [7], [1]), "control qubit index must be in [0, n)"),
        (gate("x", [1], [1], [1]), "control qubit must not also be a target"),
        (gate("swap", [0, 9]), "target qubit index must be in [0, n)"),
    ],
)
@pytest.mark.parametrize("entry", ["prepared", "mode"])
def test_gates_outside_the_state_are_refused_before_anything_runs(bad, message, entry):
    rng = np.random.default_rng(4)
    psi = sv.random_state(4, rng)
    gates = [gate("h", [0]), gate("h", [2]), gate("rx", [3], parameter=[0.2]), bad, gate("h", [3])]
    state = velqa.DeviceState.from_numpy(4, psi)
    with pytest.raises(ValueError, match=exact(message)):
        if entry == "prepared":
            velqa.execute_prepared_fusion_chunk(state, velqa.prepare_fusion_chunk_gates(4, as_objects(gates)))
        else:
            velqa.run_circuit_device(state, gates, mode=velqa.PairAutoFusion)
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_parameter_count_error_comes_after_the_gates_before_it():
    rng = np.random.default_rng(8)
    psi = sv.random_state(3, rng)
    gates = [gate("h", [0]), gate("x", [1], [0], [1]), gate("rx", [2]), gate("h", [2])]
    for entry in ("prepared", "mode"):
        state = velqa.DeviceState.from_numpy(3, psi)
        with pytest.raises(ValueError, match=exact("RX gate requires exactly one parameter.")):
            if entry == "prepared":
                velqa.execute_prepared_fusion_chunk(state, velqa.prepare_fusion_chunk_gates(3, as_objects(gates)))
            else:
                velqa.run_circuit_device(state, gates, mode=velqa.PairAutoFusion)
        np.testing.assert_allclose(state.to_numpy(), expected_after(psi, gates[:2], np.complex128), atol=1e-13)


def test_single_precision_state_runs_rounded_records():
    rng = np.random.default_rng(21)
    psi = sv.random_state(8, rng)
    gates = random_circuit(8, 50, rng)
    out = run_prepared(psi, gates, np.complex64)
    assert out.dtype == np.complex64
    np.testing.assert_allclose(out, expected_after(psi, gates, np.complex64), rtol=0, atol=5 * tolerance(np.complex64))
