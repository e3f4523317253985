"""DistributedState under mpiexec with 1, 2 or 4 ranks: creation checks, scatter and gather,
random circuits of every gate kind in every mode against the NumPy reference and a single
DeviceState, measurement and sampling, the byte counters against the exchange model,
split messages, and errors that reach every rank.

Every test runs the same collective calls on every rank, in the same order, before any
assertion that could differ between ranks; results are compared on rank 0 after a gather."""

import ctypes
import math
import os

import numpy as np
import pytest
from mpi4py import MPI

import velqa
from distributed_helpers import (COMM, G, LOCAL_BITS, NCCL_BUILD, NO_NCCL, RANK, SIZE, TRANSPORTS, from_numpy,
                                 on_root, raised_on_every_rank, random_circuit, scatter, zero_state)
from gate_helpers import DTYPES, MODES, QuantumGate, gate, tolerance
from reference import statevector as sv


# --- creation ------------------------------------------------------------------------------


def test_properties_and_zero_state(transport):
    n = G + 3
    state = zero_state(n, "complex64")
    out = state.to_numpy()
    props = (state.n, state.num_state, state.dtype, state.rank, state.size, state.global_qubits, state.local_qubits,
             state.layout, state.transport)  # fmt: skip
    assert props == (n, 1 << n, "complex64", RANK, SIZE, G, 3, list(range(n)), transport)
    if RANK == 0:
        expected = np.zeros(1 << n, np.complex64)
        expected[0] = 1
        np.testing.assert_array_equal(out, expected)
    else:
        assert out is None


@pytest.mark.parametrize("n", [0, 63])
def test_qubit_count_out_of_range(n):
    outcomes = raised_on_every_rank(lambda: zero_state(n))
    assert outcomes == [("ValueError", "n must be in [1, 62]")] * SIZE


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
def test_more_ranks_than_the_state_allows():
    n = G  # 2**G ranks need at least G + 1 qubits
    outcomes = raised_on_every_rank(lambda: zero_state(n))
    message = (f"DistributedState of n = {n} qubits needs fewer than 2**{n} = {1 << n} ranks (at least one local "
               f"qubit per rank), got {SIZE}")  # fmt: skip
    assert outcomes == [("ValueError", message)] * SIZE


@pytest.mark.skipif(SIZE < 4, reason="needs four ranks for a communicator of three")
def test_rank_count_not_a_power_of_two():
    sub = COMM.Split(0 if RANK < 3 else 1, RANK)
    try:
        if RANK < 3:
            with pytest.raises(ValueError, match=r"^DistributedState needs a power-of-two number of ranks, got 3$"):
                zero_state(4, comm=sub)
        else:
            assert zero_state(4, comm=sub).size == 1
    finally:
        sub.Free()


@pytest.mark.parametrize(
    "name, message",
    [("nccl", NO_NCCL), ("tcp", "transport must be 'host', 'cuda_aware', 'auto' or 'nccl'")],
)
def test_transports_that_this_build_lacks_are_refused(name, message):
    if name in TRANSPORTS:
        pytest.skip(f"this build has transport {name!r}")
    outcomes = raised_on_every_rank(lambda: velqa.DistributedState.zero_state(G + 2, transport=name))
    assert outcomes == [("ValueError", message)] * SIZE


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
@pytest.mark.parametrize("nccl_ranks", ["first", "all but the first"])
def test_nccl_on_some_ranks_only_is_refused_on_every_rank(nccl_ranks):
    mine = "nccl" if (RANK == 0) == (nccl_ranks == "first") else "host"
    outcomes = raised_on_every_rank(lambda: velqa.DistributedState.zero_state(G + 2, transport=mine))
    if NCCL_BUILD:
        # No rank may start NCCL's collective set-up while another does not.
        assert outcomes == [("ValueError", "transport='nccl' must be chosen on every rank or on none")] * SIZE
    else:
        # The lowest refusing rank's message reaches the ranks that asked for another transport.
        first = 0 if nccl_ranks == "first" else 1
        expected = [NO_NCCL if r == first or (nccl_ranks != "first" and r > 0) else f"{NO_NCCL} (on rank {first})"
                    for r in range(SIZE)]  # fmt: skip
        assert outcomes == [("ValueError", m) for m in expected]


def library_cuda_support():
    """The MPI library's own answer, asked independently of velqa."""
    if hasattr(MPI, "Query_cuda_support"):
        return bool(MPI.Query_cuda_support())
    library = ctypes.CDLL(MPI.__file__)
    if not hasattr(library, "MPIX_Query_cuda_support"):
        return False
    library.MPIX_Query_cuda_support.restype = ctypes.c_int
    return library.MPIX_Query_cuda_support() != 0


def test_auto_transport_follows_the_library_probe():
    state = velqa.DistributedState.zero_state(G + 2, transport="auto")
    assert state.transport == ("cuda_aware" if library_cuda_support() else "host")


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
@pytest.mark.skipif("cuda_aware" not in TRANSPORTS, reason="the MPI library is not taken to be CUDA-aware")
def test_ranks_with_different_transports_pair_up():
    n = G + 3
    rng = np.random.default_rng(21)
    psi = on_root(sv.random_state(n, rng))
    gates = on_root(random_circuit(n, 20, rng, max_targets=3))
    mine = "host" if RANK % 2 else "cuda_aware"
    state = velqa.DistributedState.from_numpy(n, psi if RANK == 0 else None, transport=mine)
    assert state.transport == mine
    state._set_message_elements(3)
    velqa.run_circuit_device(state, gates)
    out = state.to_numpy()
    if RANK == 0:
        np.testing.assert_allclose(out, sv.run_gate_list(psi, gates), rtol=0, atol=1e-11)


def test_comm_is_duplicated_and_user_comm_accepted():
    user = COMM.Dup()
    state = zero_state(G + 2, comm=user)
    user.Free()  # the state keeps its own duplicate
    velqa.run_circuit_device(state, [gate("h", [0])])
    out = state.to_numpy()
    if RANK == 0:
        np.testing.assert_allclose(np.abs(out[:2]), [math.sqrt(0.5)] * 2, atol=1e-12)


# --- scatter and gather ----------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("root_of", [lambda: 0, lambda: SIZE - 1])
def test_scatter_gather_round_trip(dtype, root_of):
    root = root_of()
    n = G + 4
    psi = on_root(sv.random_state(n, np.random.default_rng(3)))
    state = scatter(n, psi, dtype, root)
    assert state.dtype == np.dtype(dtype).name
    out = state.to_numpy(root=root)
    if RANK == root:
        np.testing.assert_array_equal(out, psi.astype(dtype))
    else:
        assert out is None


def test_scatter_checks_the_array_on_root():
    outcomes = raised_on_every_rank(
        lambda: from_numpy(G + 2, np.zeros(3, np.complex128) if RANK == 0 else None))
    assert outcomes[0] == ("ValueError", "state.size must equal 2**n")
    assert all(o == ("ValueError", "state.size must equal 2**n (on rank 0)") for o in outcomes[1:])


def test_root_outside_the_communicator_is_refused():
    message = f"root must be a rank of the communicator, in [0, {SIZE})"
    outcomes = raised_on_every_rank(
        lambda: from_numpy(G + 2, np.zeros(4 << G, complex), root=SIZE))
    assert outcomes == [("ValueError", message)] * SIZE
    state = zero_state(G + 2)
    assert raised_on_every_rank(lambda: state.to_numpy(root=-1)) == [("ValueError", message)] * SIZE


def test_local_state_shares_the_slice():
    n = G + 3
    psi = on_root(sv.random_state(n, np.random.default_rng(4)))
    state = scatter(n, psi, np.complex128)
    local = state.local_state()
    assert (local.n, local.dtype) == (3, "complex128")
    np.testing.assert_array_equal(local.to_numpy(), psi[RANK * 8 : (RANK + 1) * 8])
    velqa.run_circuit_device(local, [gate("x", [0])])  # through the single-device path
    out = state.to_numpy()
    if RANK == 0:
        np.testing.assert_array_equal(out, sv.run_gate_list(psi, [gate("x", [0])]))


# --- circuits --------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("local_bits", LOCAL_BITS)
def test_random_circuits_match_reference_and_single_device(dtype, mode, local_bits):
    n = G + local_bits
    rng = np.random.default_rng(100 * local_bits + int(mode))
    psi = on_root(sv.random_state(n, rng))
    gates = on_root(random_circuit(n, 40, rng, max_targets=local_bits))
    state = scatter(n, psi, dtype)
    velqa.run_circuit_device(state, gates[:20], mode=mode)
    velqa.run_circuit_device(state, gates[20:], mode=mode)  # from the layout the first chunk left
    out = state.to_numpy()
    layout = state.layout
    assert sorted(layout) == list(range(n))
    if RANK == 0:
        expected = sv.run_gate_list(psi, gates)
        np.testing.assert_allclose(out, expected, rtol=0, atol=10 * tolerance(dtype))
        single = velqa.DeviceState.from_numpy(n, psi.astype(dtype))
        velqa.run_circuit_device(single, gates, mode=mode)
        np.testing.assert_allclose(out, single.to_numpy(), rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_larger_state_with_gate_objects_and_prepared_chunks(dtype):
    n = 9
    rng = np.random.default_rng(9)
    psi = on_root(sv.random_state(n, rng))
    gates = on_root(random_circuit(n, 60, rng, max_targets=3))
    objects = [QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"] or None,
                           g.get("matrix")) for g in gates]  # fmt: skip
    state = scatter(n, psi, dtype)
    velqa.run_circuit_device_gates(state, (g for g in objects[:30]), mode=velqa.PairAutoFusion)
    chunk = velqa.prepare_fusion_chunk_gates(n, objects[30:], sparsesharemem_qubits=4, densemm_max_qubits=3)
    velqa.execute_prepared_fusion_chunk(state, chunk)
    out = state.to_numpy()
    if RANK == 0:
        np.testing.assert_allclose(out, sv.run_gate_list(psi, gates), rtol=0, atol=10 * tolerance(dtype))


def test_gate_needing_more_local_qubits_than_a_slice_has_is_refused_before_running():
    n = G + 2
    rng = np.random.default_rng(5)
    state = zero_state(n)
    wide = gate("unitary", [0, 1, 2] if n > 2 else [0, 1], matrix=sv.random_unitary(8 if n > 2 else 4, rng))
    if n == 2:
        pytest.skip("a two-qubit state on one rank fits any gate")
    outcomes = raised_on_every_rank(lambda: velqa.run_circuit_device(state, [gate("x", [0]), wide]))
    assert outcomes == [("ValueError", "UNITARY gate mixes 3 qubits but a rank holds only 2 local qubits")] * SIZE
    out = state.to_numpy()  # nothing ran, not even the X before it
    if RANK == 0:
        assert out[0] == 1


@pytest.mark.parametrize(
    ("bad", "message"),
    [
        (gate("rx", [0], parameter=[]), "RX gate requires exactly one parameter."),
        (gate("unitary", [1], matrix=np.eye(4)), "UNITARY matrix dimension must be 2**num_targets."),
    ],
)
def test_dispatch_errors_come_after_the_gates_before_them(bad, message):
    n = G + 3
    gates = [gate("h", [n - 1]), gate("x", [0], [n - 1], [1]), bad, gate("x", [1])]
    state = zero_state(n)
    outcomes = raised_on_every_rank(lambda: velqa.run_circuit_device(state, gates))
    out = state.to_numpy()
    if RANK == 0:
        single = velqa.DeviceState.zero_state(n)
        with pytest.raises(ValueError) as raised:
            velqa.run_circuit_device(single, gates)
        assert str(raised.value) == message
        np.testing.assert_allclose(out, single.to_numpy(), atol=1e-12)
    assert outcomes == [("ValueError", message)] * SIZE


def test_record_errors_match_the_single_device_messages():
    n = G + 2
    state = zero_state(n)
    for gates, message in [
        ([gate("x", [n])], None),
        ([gate("cx", [0], [1], [])], None),
        ([{"id": "nope", "target": [0]}], None),
    ]:
        outcomes = raised_on_every_rank(lambda: velqa.run_circuit_device(state, gates))
        single = velqa.DeviceState.zero_state(n)
        try:
            velqa.run_circuit_device(single, gates)
        except Exception as error:  # noqa: BLE001
            message = (type(error).__name__, str(error))
        assert outcomes == [message] * SIZE
    outcomes = raised_on_every_rank(lambda: velqa.run_circuit_device(state, [], endian="LITTLE"))
    assert outcomes == [("ValueError", "endian must be 'little' or 'big'")] * SIZE


def test_prepared_chunk_of_another_size_is_refused():
    state = zero_state(G + 2)
    chunk = velqa.prepare_fusion_chunk_gates(G + 3, [QuantumGate("h", [0])])
    with pytest.raises(ValueError, match="^DeviceState qubit count does not match prepared fusion chunk$"):
        velqa.execute_prepared_fusion_chunk(state, chunk)


# --- measurement and sampling ----------------------------------------------------------------


def prepared(n, dtype, seed):
    rng = np.random.default_rng(seed)
    psi = on_root(sv.random_state(n, rng))
    gates = on_root(random_circuit(n, 25, rng, max_targets=2))
    state = scatter(n, psi, dtype)
    velqa.run_circuit_device(state, gates)  # leaves a permuted layout behind
    return state, sv.run_gate_list(psi, gates) if RANK == 0 else None


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_measure_device_collapses_like_a_single_device(dtype, endian):
    n = G + 3
    state, psi = prepared(n, dtype, 21)
    targets = [n - 1, 0] if G else [2, 0]  # a global and a local qubit where there are ranks
    before = state.to_numpy()
    bits = velqa.measure_device(state, targets, endian=endian, seed=77)
    after = state.to_numpy()
    all_bits = COMM.allgather(bits)
    assert all_bits == [all_bits[0]] * SIZE
    if RANK == 0:
        single = velqa.DeviceState.from_numpy(n, before)
        assert bits == velqa.measure_device(single, targets, endian=endian, seed=77)
        np.testing.assert_allclose(after, single.to_numpy(), rtol=0, atol=10 * tolerance(dtype))
        assert abs(np.linalg.norm(after) - 1) < 10 * tolerance(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("collapse_last", [False, True])
def test_sampling_gives_the_single_device_shots(dtype, collapse_last):
    # Equal to a single DeviceState on every rank count, hence equal across rank counts. A
    # draw could differ only where it falls within a rounding error of a running sum, which
    # these seeds and states do not produce.
    n = G + 4
    state, _ = prepared(n, dtype, 31)
    before = state.to_numpy()
    cases = [[0], [n - 1], [n - 1, 1, 0], list(range(n)), [n - 2, 1]]
    results = [velqa.sample_measure_device(state, t, 500, seed=2024 + i, collapse_last=False)
               for i, t in enumerate(cases)]  # fmt: skip
    last = velqa.sample_measure_device(state, [1, n - 1], 300, seed=5, collapse_last=collapse_last)
    after = state.to_numpy()
    gathered = COMM.allgather((results, last))
    assert gathered == [gathered[0]] * SIZE
    if RANK == 0:
        single = velqa.DeviceState.from_numpy(n, before)
        for i, t in enumerate(cases):
            assert results[i] == velqa.sample_measure_device(single, t, 500, seed=2024 + i, collapse_last=False)
        assert last == velqa.sample_measure_device(single, [1, n - 1], 300, seed=5, collapse_last=collapse_last)
        np.testing.assert_allclose(after, single.to_numpy(), rtol=0, atol=10 * tolerance(dtype))


def test_measurement_errors_on_every_rank():
    n = G + 2
    state = zero_state(n)
    cases = [
        (lambda: velqa.measure_device(state, [n]), ("ValueError", "measure target index out of range")),
        (lambda: velqa.measure_device(state, [0, 0]), ("ValueError", "duplicate measure target index")),
        (lambda: velqa.sample_measure_device(state, [0], 0), ("ValueError", "shots must be positive")),
        (lambda: velqa.measure_device(state, [0], endian="Big"), ("ValueError", "endian must be 'little' or 'big'")),
    ]
    for call, expected in cases:
        assert raised_on_every_rank(call) == [expected] * SIZE
    zero = from_numpy(n, np.zeros(1 << n, np.complex128) if RANK == 0 else None)
    outcomes = raised_on_every_rank(lambda: velqa.measure_device(zero, [0], seed=1))
    assert outcomes == [("RuntimeError", "Quantum state has zero or invalid norm.")] * SIZE


# --- the exchange model ------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("message_elements", [None, 1, 3])
def test_byte_and_message_counters_follow_the_model(dtype, message_elements):
    n = G + 4
    local = 1 << 4
    size_of = np.dtype(dtype).itemsize
    psi = on_root(sv.random_state(n, np.random.default_rng(8)))
    state = scatter(n, psi, dtype)
    # The scatter: rank 0 sends every other rank its slice.
    stats = state.comm_stats
    assert (stats["bytes_sent"], stats["bytes_received"]) == (
        ((SIZE - 1) * local * size_of, 0) if RANK == 0 else (0, local * size_of))
    if message_elements:
        state._set_message_elements(message_elements)
    state.reset_comm_stats()
    # Diagonal gates and controls on global qubits move nothing, nor does an uncontrolled SWAP.
    free = [gate("z", [n - 1]), gate("rz", [n - 1], parameter=[0.3]), gate("x", [0], [n - 1], [1]),
            gate("swap", [0, n - 1])]  # fmt: skip
    velqa.run_circuit_device(state, free)
    assert state.comm_stats["bytes_sent"] == 0
    # One H on each global qubit: one batched round of G swaps, 2**G - 1 blocks of
    # 2**(4 - G) amplitudes sent and received per rank, each in messages of at most
    # message_elements amplitudes.
    on_global = [state.layout[bit] for bit in range(4, n)]
    velqa.run_circuit_device(state, [gate("h", [q]) for q in on_global])
    block = local >> G
    blocks = (1 << G) - 1
    messages = blocks * math.ceil(block / min(message_elements or block, block))
    assert state.comm_stats == {
        "bytes_sent": blocks * block * size_of,
        "bytes_received": blocks * block * size_of,
        "messages_sent": messages,
        "messages_received": messages,
        "swap_rounds": 1 if G else 0,
        "bit_swaps": G,
    }
    out = state.to_numpy()
    if RANK == 0:
        expected = sv.run_gate_list(psi.astype(dtype).astype(np.complex128), free + [gate("h", [q]) for q in on_global])
        np.testing.assert_allclose(out, expected, rtol=0, atol=10 * tolerance(dtype))


@pytest.mark.parametrize("message_elements", [1, 5])
def test_tiny_messages_give_the_same_state(message_elements):
    n = G + 4
    rng = np.random.default_rng(12)
    psi = on_root(sv.random_state(n, rng))
    gates = on_root(random_circuit(n, 30, rng, max_targets=3))
    state = scatter(n, psi, np.complex128)
    state._set_message_elements(message_elements)
    state.reset_comm_stats()
    velqa.run_circuit_device(state, gates)
    out = state.to_numpy()  # gathered in tiny messages too
    if RANK == 0:
        np.testing.assert_allclose(out, sv.run_gate_list(psi, gates), rtol=0, atol=1e-11)
    stats = state.comm_stats
    assert stats["messages_sent"] * message_elements * 16 >= stats["bytes_sent"]
    if G:
        assert stats["messages_sent"] > stats["swap_rounds"]


def test_naive_baseline_moves_more_and_ends_in_the_same_state():
    n = G + 4
    rng = np.random.default_rng(13)
    psi = on_root(sv.random_state(n, rng))
    # A global qubit worked on again and again: one round kept, two rounds a gate naive.
    layer = [gate("h", [q]) for q in range(n)]
    gates = on_root(layer + [gate("rx", [n - 1], parameter=[0.3]), gate("ry", [0], parameter=[0.2])] * 4 + layer)
    kept = scatter(n, psi, np.complex128)
    naive = scatter(n, psi, np.complex128)
    naive._set_swap_back(True)
    kept.reset_comm_stats()
    naive.reset_comm_stats()
    velqa.run_circuit_device(kept, gates)
    velqa.run_circuit_device(naive, gates)
    kept_bytes, naive_bytes = kept.comm_stats["bytes_sent"], naive.comm_stats["bytes_sent"]
    assert naive.layout == list(range(n))
    a, b = kept.to_numpy(), naive.to_numpy()
    if RANK == 0:
        np.testing.assert_allclose(a, b, atol=1e-12)
        np.testing.assert_allclose(a, sv.run_gate_list(psi, gates), atol=1e-12)
    if G:
        assert naive_bytes >= 4 * kept_bytes > 0


# --- failures that must reach every rank --------------------------------------------------------


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
def test_mismatched_gate_lists_are_refused_on_every_rank():
    n = G + 2
    state = zero_state(n)
    mine = [gate("h", [0])] if RANK == 0 else [gate("h", [1])]
    outcomes = raised_on_every_rank(lambda: velqa.run_circuit_device(state, mine))
    for kind, message in outcomes:
        assert kind == "ValueError"
        assert message.startswith("gate list differs between ranks (rank 0 and rank 1)")
    fewer = [QuantumGate("h", [0])] if RANK == 0 else []
    assert {o[0] for o in raised_on_every_rank(lambda: velqa.run_circuit_device_gates(state, fewer))} == {"ValueError"}
    outcomes = raised_on_every_rank(lambda: velqa.sample_measure_device(state, [RANK % n], 4, seed=1))
    assert {o[0] for o in outcomes} == {"ValueError"}
    out = state.to_numpy()  # nothing ran
    if RANK == 0:
        assert out[0] == 1


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
def test_failure_on_one_rank_raises_on_every_rank():
    n = G + 4
    last = SIZE - 1

    def with_memory_limit(call):
        if RANK == last:
            os.environ["QUORRA_HOSTCUDA_MEMORY_LIMIT"] = "64"
        try:
            return raised_on_every_rank(call)
        finally:
            os.environ.pop("QUORRA_HOSTCUDA_MEMORY_LIMIT", None)

    outcomes = with_memory_limit(lambda: zero_state(n))
    assert outcomes[last] == ("RuntimeError", "CUDA error: out of memory")
    assert all(o == ("RuntimeError", f"CUDA error: out of memory (on rank {last})") for o in outcomes[:last])
    # Fails where the exchange buffer is allocated, before any exchange starts.
    state = zero_state(n)
    outcomes = with_memory_limit(lambda: velqa.run_circuit_device(state, [gate("h", [n - 1])]))
    assert [o[0] for o in outcomes] == ["RuntimeError"] * SIZE
    assert outcomes[0][1].endswith(f"(on rank {last})")
    velqa.run_circuit_device(state, [gate("h", [n - 1])])  # still usable afterwards
    out = state.to_numpy()
    if RANK == 0:
        np.testing.assert_allclose(np.abs(out[[0, 1 << (n - 1)]]), [math.sqrt(0.5)] * 2, atol=1e-12)
