"""Every state-vector path on a device that holds little more than the state: the dense
products (fused DenseMM groups, UNITARY on six or more targets) work through bounded scratch
chunks, so gates, fused runs, prepared chunks, measurement and sampling succeed with the
emulated device capped at 1.1 x the state plus a few MiB, agree with the reference, and the
stand-in's peak of device memory stays under the cap. Forced small chunks put the chunk
boundaries inside small states."""

import ctypes
import threading
import time

import numpy as np
import pytest

import velqa
from gate_helpers import DTYPES, QuantumGate, SINGLE_TARGET, angles, gate, tolerance
from reference import statevector as sv
from test_measure import bits, collapsed, outcome_probabilities, predicted_counts, predicted_draws

HOST_BUILD = velqa.DeviceState.zero_state(1).__dlpack_device__()[0] == 1
CHUNK_VARIABLE = "QUORRA_DENSEMM_CHUNK_BYTES"
# 4 MiB states: large enough that one more state-sized buffer breaks the cap.
QUBITS = {np.complex64: 19, np.complex128: 18}
SLACK = 3 << 20


def stand_in(name, restype):
    """A test-only function of the host stand-in linked into the module (host build)."""
    function = getattr(ctypes.CDLL(velqa.__file__), name)
    function.restype = restype
    return function


class DeviceCap:
    """Caps the emulated device at what is live now plus 1.1 x `state_bytes` plus SLACK, and
    reads the peak of device memory in use since it was set. Without the stand-in (a real
    GPU) nothing is capped and the results are still checked."""

    def __init__(self, monkeypatch, state_bytes):
        self.bound = int(1.1 * state_bytes) + SLACK
        self.state_bytes = state_bytes
        if HOST_BUILD:
            self.base = stand_in("_ZN8hostcuda15allocated_bytesEv", ctypes.c_size_t)()
            stand_in("_ZN8hostcuda26reset_peak_allocated_bytesEv", None)()
            monkeypatch.setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", str(self.base + self.bound))

    def peak_above_base(self):
        return stand_in("_ZN8hostcuda20peak_allocated_bytesEv", ctypes.c_size_t)() - self.base

    def check(self):
        if HOST_BUILD:
            # The cap is meaningful: a second state would not fit under it.
            assert 2 * self.state_bytes > self.bound
            assert self.state_bytes <= self.peak_above_base() <= self.bound


def in_fresh_thread(work):
    """Runs `work` on a new thread, whose DenseMM cache starts empty and is freed at its end.
    The thread's cache goes when the thread exits, which may be after join() returns; on the
    host build this waits until the stand-in holds no more than before, so the next test's
    measurements do not see those frees."""
    outcome = {}
    before = stand_in("_ZN8hostcuda15allocated_bytesEv", ctypes.c_size_t)() if HOST_BUILD else 0

    def body():
        try:
            outcome["value"] = work()
        except BaseException as error:  # re-raised on the calling thread
            outcome["error"] = error

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    deadline = time.monotonic() + 10
    while HOST_BUILD and stand_in("_ZN8hostcuda15allocated_bytesEv", ctypes.c_size_t)() > before:
        assert time.monotonic() < deadline, "the thread's device memory was not freed"
        time.sleep(0.001)
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


def dense_group(qubits, rng, layers=2):
    """Gates on exactly `qubits`: rotations and a CX chain, entangling all of them."""
    gates = []
    for _ in range(layers):
        gates += [gate("ry", [q], parameter=angles(1, rng)) for q in qubits]
        gates += [gate("x", [b], [a], [1]) for a, b in zip(qubits, qubits[1:])]
        gates += [gate("rz", [q], parameter=angles(1, rng)) for q in qubits]
    return gates


def generic_layers(qubits, rng, layers=8):
    gates = []
    for _ in range(layers):
        gates += [gate("u", [q], parameter=angles(3, rng)) for q in qubits]
        gates += [gate("x", [b], [a], [1]) for a, b in zip(qubits, qubits[1:])]
    return gates


def forced_densemm(k):
    """Planner options under which a group of k qubits runs as DenseMM and nothing wider."""
    return {
        "densemm_gate_threshold_scale": 0.0,
        "densemm_min_qubits": k,
        "densemm_max_qubits": k,
        "sparsesharemem_qubits": k,
        "pad_sparsesharemem": False,
    }


def run_device(psi, dtype, gates, mode):
    n = psi.size.bit_length() - 1
    state = velqa.DeviceState.from_numpy(n, np.asarray(psi, dtype=dtype))
    velqa.run_circuit_device(state, gates, mode=mode)
    return state.to_numpy()


def run_prepared(psi, dtype, gates, **options):
    n = psi.size.bit_length() - 1
    state = velqa.DeviceState.from_numpy(n, np.asarray(psi, dtype=dtype))
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate(**g) for g in gates], **options)
    velqa.execute_prepared_fusion_chunk(state, chunk)
    return state.to_numpy()


def expected(psi, dtype, gates):
    return sv.run_gate_list(np.asarray(psi, dtype=dtype).astype(np.complex128), gates)


def every_gate_kind(n, rng):
    """Each single-target kind with and without controls, SWAP, GLOBAL_PHASE."""
    gates = []
    for name, count in SINGLE_TARGET.items():
        q = [int(x) for x in rng.permutation(n)[:3]]
        gates.append(gate(name, [q[0]], parameter=angles(count, rng)))
        gates.append(gate(name, [q[0]], [q[1], q[2]], [1, 0], angles(count, rng)))
    gates.append(gate("swap", [0, n - 1]))
    gates.append(gate("swap", [2, 5], [n - 2], [1]))
    gates.append(gate("gp", [], parameter=[0.3]))
    return gates


def unitary_gate(k, n, rng, controlled):
    qubits = [int(x) for x in rng.permutation(n)]
    controls = qubits[k : k + 1] if controlled else []
    return gate("unitary", qubits[:k], controls, [1] * len(controls), matrix=sv.random_unitary(1 << k, rng))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("mode", [velqa.AllState, velqa.PairAuto], ids=str)
def test_every_gate_kind_at_the_limit(monkeypatch, dtype, mode):
    n = QUBITS[dtype]
    rng = np.random.default_rng(n + int(mode))
    psi = sv.random_state(n, rng)
    gates = every_gate_kind(n, rng)
    cap = DeviceCap(monkeypatch, (1 << n) * np.dtype(dtype).itemsize)
    out = run_device(psi, dtype, gates, mode)
    cap.check()
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("k", range(1, 9))
def test_unitary_at_the_limit(monkeypatch, dtype, k):
    n = QUBITS[dtype]
    rng = np.random.default_rng(100 + k)
    psi = sv.random_state(n, rng)
    gates = [unitary_gate(k, n, rng, controlled=False), unitary_gate(k, n, rng, controlled=True)]
    cap = DeviceCap(monkeypatch, (1 << n) * np.dtype(dtype).itemsize)
    out = run_device(psi, dtype, gates, velqa.PairAuto)
    cap.check()
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
def test_pair_auto_fusion_with_dense_groups_at_the_limit(monkeypatch, dtype):
    # Layers of generic gates on seven qubits: the default plan runs them as DenseMM groups,
    # whose two scratch buffers the fresh thread's cache allocates, so the peak shows they ran.
    n = QUBITS[dtype]
    rng = np.random.default_rng(7)
    psi = sv.random_state(n, rng)
    gates = generic_layers([0, 3, 5, 8, 11, 15, n - 1], rng)
    itemsize = np.dtype(dtype).itemsize
    cap = DeviceCap(monkeypatch, (1 << n) * itemsize)
    out = in_fresh_thread(lambda: run_device(psi, dtype, gates, velqa.PairAutoFusion))
    cap.check()
    if HOST_BUILD:
        assert cap.peak_above_base() >= cap.state_bytes + 2 * (1 << 16) * itemsize
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("k", [1, 4, 7])
def test_prepared_dense_chunks_at_the_limit(monkeypatch, dtype, k):
    n = QUBITS[dtype]
    rng = np.random.default_rng(30 + k)
    psi = sv.random_state(n, rng)
    qubits = sorted(int(q) for q in rng.permutation(n)[:k])
    gates = dense_group(qubits, rng) + dense_group(list(range(k)), rng)
    cap = DeviceCap(monkeypatch, (1 << n) * np.dtype(dtype).itemsize)
    out = in_fresh_thread(lambda: run_prepared(psi, dtype, gates, **forced_densemm(k)))
    cap.check()
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_measurement_and_sampling_at_the_limit(monkeypatch, dtype):
    n = QUBITS[np.dtype(dtype).type]
    rng = np.random.default_rng(12)
    host = sv.random_state(n, rng).astype(dtype)
    targets = [n - 1, 3, 0, 9]
    cap = DeviceCap(monkeypatch, (1 << n) * np.dtype(dtype).itemsize)
    state = velqa.DeviceState.from_numpy(n, host)
    probs = outcome_probabilities(host, n, targets, "little")
    counts, last = velqa.sample_measure_device(state, targets, 500, seed=5, collapse_last=False)
    draws = predicted_draws(probs, 500, 5)
    assert (counts, last) == (predicted_counts(draws, len(targets)), bits(draws[-1], len(targets)))
    result = velqa.measure_device(state, targets, seed=11)
    assert result == bits(predicted_draws(probs, 1, 11)[0], len(targets))
    after = state.to_numpy()
    cap.check()
    tol = {"rtol": 1e-5, "atol": 1e-6} if dtype == "complex64" else {"rtol": 1e-12, "atol": 1e-13}
    np.testing.assert_allclose(after, collapsed(host, n, targets, "little", result), **tol)


def chunk_bytes(columns, k, dtype):
    """The override that gives chunks of `columns` columns of 2^k amplitudes."""
    return str(2 * columns * (1 << k) * np.dtype(dtype).itemsize)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("k", range(1, 8))
@pytest.mark.parametrize("where", ["low", "high", "spread"])
def test_forced_small_chunks_cross_boundaries(monkeypatch, dtype, k, where):
    # Three columns a chunk (the last chunk partial unless the count divides), so every
    # boundary lies inside the state; active qubits lowest, highest and spread out.
    n = 10
    rng = np.random.default_rng(1000 * k + len(where))
    qubits = {
        "low": list(range(k)),
        "high": list(range(n - k, n)),
        "spread": sorted(int(q) for q in rng.permutation(n)[:k]),
    }[where]
    psi = sv.random_state(n, rng)
    gates = dense_group(qubits, rng)
    monkeypatch.setenv(CHUNK_VARIABLE, chunk_bytes(3, k, dtype))
    out = run_prepared(psi, dtype, gates, **forced_densemm(k))
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
@pytest.mark.parametrize("k", [6, 7])
@pytest.mark.parametrize("columns", [1, 3, 5])
def test_forced_small_chunks_for_wide_unitary(monkeypatch, dtype, k, columns):
    # Targets in an unsorted order and a control of each value: the product's own order of
    # the local bits and the fixed control bits both meet the chunk boundaries.
    n = 11
    rng = np.random.default_rng(50 * k + columns)
    psi = sv.random_state(n, rng)
    qubits = [int(q) for q in rng.permutation(n)]
    gates = [
        gate("unitary", qubits[:k], [qubits[k]], [1], matrix=sv.random_unitary(1 << k, rng)),
        gate("unitary", qubits[1 : k + 1][::-1], [qubits[0]], [0], matrix=sv.random_unitary(1 << k, rng)),
        gate("unitary", qubits[-k:], matrix=sv.random_unitary(1 << k, rng)),
    ]
    monkeypatch.setenv(CHUNK_VARIABLE, chunk_bytes(columns, k, dtype))
    out = run_device(psi, dtype, gates, velqa.PairAuto)
    np.testing.assert_allclose(out, expected(psi, dtype, gates), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.skipif(not HOST_BUILD, reason="the emulated device's memory limit belongs to the host stand-in")
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.__name__)
def test_scratch_out_of_memory_leaves_the_state_unchanged(monkeypatch, dtype):
    # Room for the state and a little more, not for the dense product's chunk buffers.
    n = 12
    itemsize = np.dtype(dtype).itemsize
    rng = np.random.default_rng(4)
    psi = np.asarray(sv.random_state(n, rng), dtype=dtype)
    state = velqa.DeviceState.from_numpy(n, psi)
    base = stand_in("_ZN8hostcuda15allocated_bytesEv", ctypes.c_size_t)()
    monkeypatch.setenv(CHUNK_VARIABLE, str(2 * (1 << n) * itemsize))  # chunks of the whole state
    monkeypatch.setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", str(base + (1 << 16)))
    wide = gate("unitary", [1, 3, 5, 7, 9, 11], matrix=sv.random_unitary(64, rng))
    with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
        velqa.run_circuit_device(state, [wide], mode=velqa.PairAuto)
    np.testing.assert_array_equal(state.to_numpy(), psi)

    def fused():
        chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate(**g) for g in dense_group([0, 4, 8], rng)],
                                                 **forced_densemm(3))
        velqa.execute_prepared_fusion_chunk(state, chunk)

    with pytest.raises(RuntimeError, match="^cudaMalloc cached DenseMM (transpose|GEMM) buffer: out of memory$"):
        in_fresh_thread(fused)
    np.testing.assert_array_equal(state.to_numpy(), psi)
    # With room again the same calls succeed.
    monkeypatch.delenv("QUORRA_HOSTCUDA_MEMORY_LIMIT")
    velqa.run_circuit_device(state, [wide], mode=velqa.PairAuto)
    np.testing.assert_allclose(state.to_numpy(), expected(psi, dtype, [wide]), rtol=0, atol=10 * tolerance(dtype))
