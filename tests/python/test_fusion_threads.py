"""Fused execution from several Python threads: each thread's DenseMM cache serves its own
executions, the cache follows the current device, and planning proceeds while another
thread executes (both calls run without the interpreter lock)."""

import threading

import numpy as np
import pytest

import velqa
from gate_helpers import angles, gate
from reference import statevector as sv
from test_fusion import as_objects, expected_after, random_circuit

DENSE = {"densemm_gate_threshold_scale": 0.0}


def rotation_layers(n, layers, rng):
    gates = []
    for _ in range(layers):
        gates += [gate("ry", [q], parameter=angles(1, rng)) for q in range(n)]
        gates += [gate("z", [q + 1], [q], [1]) for q in range(0, n - 1, 2)]
    return gates


def run_in_threads(bodies):
    errors = []

    def guarded(body):
        try:
            body()
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(body,)) for body in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128], ids=lambda d: d.__name__)
def test_two_threads_executing_densemm_chunks_get_their_own_results(dtype):
    rng = np.random.default_rng(31)
    cases = []
    for n in (9, 7):  # different sizes, so shared scratch buffers would corrupt one of them
        psi = sv.random_state(n, rng)
        gates = random_circuit(n, 60, rng)
        cases.append((n, psi, gates, velqa.prepare_fusion_chunk_gates(n, as_objects(gates), **DENSE)))
    results = {}

    def body(index):
        n, psi, _, chunk = cases[index]
        for repeat in range(3):
            state = velqa.DeviceState.from_numpy(n, np.asarray(psi, dtype=dtype))
            velqa.execute_prepared_fusion_chunk(state, chunk)
            results[(index, repeat)] = state.to_numpy()

    run_in_threads([lambda i=i: body(i) for i in range(len(cases))])
    atol = 1e-5 if dtype == np.complex64 else 1e-12
    for (index, _), out in results.items():
        _, psi, gates, _ = cases[index]
        np.testing.assert_allclose(out, expected_after(psi, gates, dtype), rtol=0, atol=atol)


def test_densemm_cache_follows_the_current_device(monkeypatch):
    # The host stand-in emulates two devices here; a one-GPU machine refuses ordinal 1.
    monkeypatch.setenv("QUORRA_HOSTCUDA_DEVICES", "2")
    rng = np.random.default_rng(41)
    n = 6
    psi = sv.random_state(n, rng)
    gates = rotation_layers(n, 2, rng)
    chunk = velqa.prepare_fusion_chunk_gates(n, as_objects(gates), **DENSE)
    try:
        velqa.DeviceState.zero_state(1, device="cuda:1")
    except RuntimeError as error:
        assert str(error) == "CUDA error: invalid device ordinal"
        pytest.skip("one device only")
    expected = expected_after(psi, gates, np.complex128)
    for device in ("cuda:0", "cuda:1", "cuda:0", "cuda:1"):
        state = velqa.DeviceState.from_numpy(n, psi, device=device)
        velqa.execute_prepared_fusion_chunk(state, chunk)
        np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12, err_msg=device)
        # The fused runner mode on the same thread and device uses the same cache.
        state = velqa.DeviceState.from_numpy(n, psi, device=device)
        velqa.run_circuit_device(state, gates, mode=velqa.PairAutoFusion)
        np.testing.assert_allclose(
            state.to_numpy(), expected_after(psi, gates, np.complex128), atol=1e-12, err_msg=device
        )


def test_planning_proceeds_while_another_thread_executes():
    rng = np.random.default_rng(51)
    n = 14
    psi = sv.random_state(n, rng)
    # Many small groups keep the executing thread busy for a good while.
    gates = rotation_layers(n, 12, rng)
    chunk = velqa.prepare_fusion_chunk_gates(n, as_objects(gates), max_gates_per_group=2)
    state = velqa.DeviceState.from_numpy(n, psi)
    started = threading.Event()
    planned = []

    def execute():
        started.set()
        velqa.execute_prepared_fusion_chunk(state, chunk)

    worker = threading.Thread(target=execute)
    worker.start()
    started.wait()
    small = as_objects(rotation_layers(4, 1, rng))
    for _ in range(5):
        planned.append(velqa.prepare_fusion_chunk_gates(4, small))
    still_running = worker.is_alive()
    worker.join()
    assert still_running, "planning waited for the execution to finish"
    assert [c.gate_count for c in planned] == [len(small)] * 5
    np.testing.assert_allclose(state.to_numpy(), expected_after(psi, gates, np.complex128), atol=1e-11)
