"""Expectation values and probabilities of a DistributedState under mpiexec with 1, 2 or 4
ranks, against the NumPy reference on the gathered state: Pauli strings whose flipped qubits
are local, global or both (after circuits that permute the layout), Hamiltonians, dense
matrices on global targets, marginal probabilities; the same bits on every rank and every
call, the exchange traffic against its model, and refusals raised on every rank."""

import numpy as np
import pytest

import velqa
from distributed_helpers import COMM, G, LOCAL_BITS, RANK, SIZE, on_root, raised_on_every_rank, random_circuit, scatter
from gate_helpers import DTYPES, tolerance
from reference import pauli
from reference import statevector as sv


def random_strings(n, rng, count, flip_sets):
    """Strings of every letter; each flips one of `flip_sets` (X or Y there, I or Z elsewhere),
    so several strings share a flip mask and some flip only global or only local qubits."""
    strings = []
    for _ in range(count):
        flips = flip_sets[rng.integers(len(flip_sets))]
        others = [int(q) for q in rng.permutation(n) if q not in flips][: rng.integers(0, n - len(flips) + 1)]
        qubits = [int(q) for q in rng.permutation(list(flips) + others)]
        letters = "".join(rng.choice(list("XYxy")) if q in flips else rng.choice(list("IZiz")) for q in qubits)
        strings.append((letters, qubits))
    return strings


def flip_sets(n, rng):
    """The empty set, a low (initially local) and a high (initially global) qubit alone, and
    random sets spanning both."""
    sets = [[], [0], [n - 1], [n - 1, 0]]
    for _ in range(4):
        sets.append([int(q) for q in rng.permutation(n)[: rng.integers(1, n + 1)]])
    return sets


def prepared_state(n, dtype, seed, gates=12):
    """A random state run through a random circuit, so the layout is no longer the identity."""
    rng = np.random.default_rng(seed)
    psi = on_root(sv.random_state(n, rng))
    circuit = on_root(random_circuit(n, gates, rng, max_targets=2))
    state = scatter(n, psi, dtype)
    velqa.run_circuit_device(state, circuit)
    return state, rng


def same_on_every_rank(values):
    gathered = COMM.allgather(np.asarray(values).tobytes())
    assert all(g == gathered[0] for g in gathered)


def big_endian(n, strings):
    return [(letters, [n - 1 - q for q in qubits]) for letters, qubits in strings]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("local_bits", LOCAL_BITS)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_pauli_expectations_match_reference(dtype, local_bits, endian):
    n = G + local_bits
    state, rng = prepared_state(n, dtype, seed=100 + local_bits)
    strings = on_root(random_strings(n, rng, 40, flip_sets(n, rng)))
    passed = strings if endian == "little" else big_endian(n, strings)
    values = velqa.pauli_expectations_device(state, passed, endian=endian)
    again = velqa.pauli_expectations_device(state, passed, endian=endian)
    psi = state.to_numpy()
    same_on_every_rank(values)
    np.testing.assert_array_equal(values, again)
    assert values.dtype == np.float64 and values.shape == (len(strings),)
    if RANK == 0:
        expected = [pauli.expectation(psi, letters, qubits) for letters, qubits in strings]
        np.testing.assert_allclose(values, expected, rtol=0, atol=20 * tolerance(dtype))


@pytest.mark.parametrize("message_elements", [1, 3])
def test_split_exchanges_give_the_same_values_and_follow_the_traffic_model(message_elements):
    n = G + 3
    state, rng = prepared_state(n, np.complex128, seed=7, gates=0)
    # Three masks that flip a global qubit (with 4 ranks), one that flips only local ones.
    strings = on_root([("XZ", [n - 1, 0]), ("YY", [n - 1, 1]), ("XIX", [n - 1, 1, 0]), ("Xy", [0, 1]),
                       ("ZX", [1, n - 1])])  # fmt: skip
    whole = velqa.pauli_expectations_device(state, strings)
    state._set_message_elements(message_elements)
    state.reset_comm_stats()
    split = velqa.pauli_expectations_device(state, strings)
    stats = state.comm_stats
    psi = state.to_numpy()
    np.testing.assert_allclose(split, whole, rtol=0, atol=1e-12)
    if RANK == 0:
        expected = [pauli.expectation(psi, letters, qubits) for letters, qubits in strings]
        np.testing.assert_allclose(split, expected, rtol=0, atol=1e-12)
    # With global qubits, each distinct mask that flips one moves half a slice each way.
    half = 1 << (n - G - 1)
    masks = 3 if G else 0
    chunk = 1 << (min(message_elements, half).bit_length() - 1)
    assert stats["bytes_sent"] == stats["bytes_received"] == masks * half * 16
    assert stats["messages_sent"] == stats["messages_received"] == masks * (half // chunk)
    assert stats["swap_rounds"] == 0


@pytest.mark.parametrize("dtype", DTYPES)
def test_hamiltonians_with_real_and_complex_coefficients(dtype):
    n = G + 3
    state, rng = prepared_state(n, dtype, seed=31)
    strings = on_root(random_strings(n, rng, 12, flip_sets(n, rng)))
    real_terms = [(float(c), s) for c, s in zip(on_root(rng.normal(size=len(strings)).tolist()), strings)]
    complex_terms = [(complex(c, 0.5), s) for c, s in real_terms]
    real_value = velqa.expectation_device(state, real_terms)
    complex_value = velqa.expectation_device(state, complex_terms)
    empty = velqa.expectation_device(state, [])
    psi = state.to_numpy()
    same_on_every_rank([real_value, complex_value])
    assert isinstance(real_value, float) and isinstance(complex_value, complex) and empty == 0.0
    if RANK == 0:
        parts = [pauli.expectation(psi, letters, qubits) for letters, qubits in strings]
        expected = sum(c * p for (c, _), p in zip(real_terms, parts))
        atol = 40 * tolerance(dtype)
        assert abs(real_value - expected) < atol
        assert abs(complex_value - (expected + 0.5j * sum(parts))) < atol


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [1, 2, 3])
def test_matrix_expectation_on_global_targets(dtype, k):
    n = G + 3
    state, rng = prepared_state(n, dtype, seed=40 + k)
    before = state.to_numpy()
    targets = on_root([n - 1 - j for j in range(k)] if k % 2 else [int(q) for q in rng.permutation(n)[:k]])
    matrix = on_root(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    value = velqa.matrix_expectation_device(state, matrix, targets)
    after = state.to_numpy()
    same_on_every_rank([value])
    layout = state.layout
    assert all(layout.index(q) < n - G for q in targets)  # the targets now sit in local bits
    if RANK == 0:
        np.testing.assert_array_equal(after, before)
        expected = pauli.matrix_expectation(before, matrix, targets)
        assert abs(value - expected) < 40 * tolerance(dtype) * np.abs(matrix).sum()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_probabilities_match_the_marginals_and_the_measurement(dtype, endian):
    n = G + 3
    state, rng = prepared_state(n, dtype, seed=51)
    targets = on_root([int(q) for q in rng.permutation(n)[:3]])
    probs = velqa.probabilities_device(state, targets, endian=endian)
    psi = state.to_numpy()
    same_on_every_rank(probs)
    outcome = velqa.measure_device(state, targets, endian=endian, seed=5)
    if RANK == 0:
        positions = targets if endian == "little" else [n - 1 - t for t in targets]
        np.testing.assert_allclose(probs, pauli.marginal(np.abs(psi) ** 2, n, positions), rtol=0,
                                   atol=20 * tolerance(dtype))  # fmt: skip
        single = velqa.DeviceState.from_numpy(n, psi)
        np.testing.assert_allclose(velqa.probabilities_device(single, targets, endian=endian), probs, atol=1e-6)
        # The outcome's bits, read as the index of `probs` (bit j = targets[j]), had weight.
        assert probs[int(outcome[::-1], 2)] > 0


def test_refusals_reach_every_rank_and_leave_the_state():
    n = G + 2
    state, _ = prepared_state(n, np.complex128, seed=60)
    before = state.to_numpy()
    cases = [
        (lambda: velqa.pauli_expectations_device(state, [("XQ", [0, 1])]),
         "ValueError", "Pauli string 0: letter 'Q' is not one of I, X, Y, Z"),
        (lambda: velqa.pauli_expectations_device(state, [("X", [n])]),
         "ValueError", f"Pauli string 0: qubit {n} out of range [0, {n})"),
        (lambda: velqa.expectation_device(state, [(float("nan"), ("Z", [0]))]),
         "ValueError", "term 0: coefficient is not finite"),
        (lambda: velqa.matrix_expectation_device(state, np.eye(2), [n]), "ValueError", "matrix target index out of range"),
        (lambda: velqa.probabilities_device(state, [0, 0]), "ValueError", None),
    ]  # fmt: skip
    if G:
        cases.append((lambda: velqa.matrix_expectation_device(state, np.eye(8), [0, 1, n - 1]), "ValueError",
                      "matrix expectation mixes 3 qubits but a rank holds only 2 local qubits"))  # fmt: skip
    for call, kind, message in cases:
        outcomes = raised_on_every_rank(call)
        assert {o[0] for o in outcomes} == {kind}
        assert len({o[1] for o in outcomes}) == 1
        if message is not None:
            assert outcomes[0][1] == message
    after = state.to_numpy()
    if RANK == 0:
        np.testing.assert_array_equal(after, before)


@pytest.mark.skipif(SIZE < 2, reason="needs at least two ranks")
def test_different_strings_on_different_ranks_are_refused_on_every_rank():
    state = scatter(G + 2, on_root(sv.random_state(G + 2, np.random.default_rng(8))), np.complex128)
    mine = [("X", [G + 1])] if RANK == 0 else [("Y", [G + 1])]
    outcomes = raised_on_every_rank(lambda: velqa.pauli_expectations_device(state, mine))
    for kind, message in outcomes:
        assert kind == "ValueError"
        assert message.startswith("Pauli string list differs between ranks (rank 0 and rank 1)")
