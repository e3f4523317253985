"""Measurement and sampling: bit-string order, seeded draws predicted with the suite's own
Mersenne Twister, collapse against a NumPy projection, histograms, messages and check order."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import velqa
from reference.mt19937_64 import MT19937_64

DTYPES = ["complex64", "complex128"]
ENDIANS = ["little", "big"]
NORM_ERROR = "Quantum state has zero or invalid norm."


def random_state(n, dtype, seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return (scale * v / np.linalg.norm(v)).astype(dtype)


def outcome_of_indices(n, targets, endian):
    """Outcome of every amplitude index: targets[0] is the most significant outcome bit."""
    index = np.arange(1 << n, dtype=np.int64)
    outcome = np.zeros_like(index)
    for t in targets:
        position = t if endian == "little" else n - 1 - t
        outcome = (outcome << 1) | ((index >> position) & 1)
    return outcome


def outcome_probabilities(state, n, targets, endian):
    wide = state.astype(np.complex128)
    weights = wide.real * wide.real + wide.imag * wide.imag
    return np.bincount(outcome_of_indices(n, targets, endian), weights=weights, minlength=1 << len(targets))


def bits(outcome, k):
    return format(outcome, f"0{k}b")


def predicted_draws(probs, shots, seed):
    """The draw rule with the suite's own engine: r = u * total, first running sum above r."""
    cumulative = np.cumsum(probs)
    engine = MT19937_64(seed)
    draws = []
    for _ in range(shots):
        r = engine.next_unit() * cumulative[-1]
        draws.append(min(int(np.searchsorted(cumulative, r, side="right")), len(cumulative) - 1))
    return draws


def predicted_counts(draws, k):
    counts = {}
    for o in draws:
        counts[bits(o, k)] = counts.get(bits(o, k), 0) + 1
    return counts


def collapsed(state, n, targets, endian, bit_string):
    keep = outcome_of_indices(n, targets, endian) == int(bit_string, 2)
    wide = np.where(keep, state.astype(np.complex128), 0)
    return wide / np.linalg.norm(wide)


def tolerance(dtype):
    return {"rtol": 1e-5, "atol": 1e-6} if dtype == "complex64" else {"rtol": 1e-12, "atol": 1e-13}


def basis(n, index, dtype):
    state = np.zeros(1 << n, dtype=dtype)
    state[index] = 1
    return state


# ---- bit strings and basis states ----------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "targets, endian, expected",
    [([0, 2], "little", "10"), ([0, 2], "big", "01"), ([2, 0], "little", "01"), ([2, 0], "big", "10")],
)
def test_bit_string_follows_target_order(dtype, targets, endian, expected):
    state = velqa.DeviceState.from_numpy(3, basis(3, 1, dtype))
    assert velqa.measure_device(state, targets, endian, seed=1) == expected
    assert velqa.sample_measure_device(state, targets, 5, endian, seed=1) == ({expected: 5}, expected)
    host = basis(3, 1, dtype)
    assert velqa.measure(3, host, targets, endian) == expected


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets", [[0], [4, 1], [3, 0, 2], [0, 1, 2, 3, 4]])
def test_basis_state_gives_its_outcome_and_stays(dtype, endian, targets):
    n, index = 5, 0b10110
    host = basis(n, index, dtype)
    expected = bits(int(outcome_of_indices(n, targets, endian)[index]), len(targets))
    state = velqa.DeviceState.from_numpy(n, host)
    assert velqa.measure_device(state, targets, endian) == expected
    np.testing.assert_array_equal(state.to_numpy(), host)
    counts, last = velqa.sample_measure_device(state, targets, 40, endian, seed=3)
    assert (counts, last) == ({expected: 40}, expected)
    np.testing.assert_array_equal(state.to_numpy(), host)


# ---- exact draws, histograms and collapse ---------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize(
    "n, targets, shots",
    [
        (6, [1], 1),
        (6, [4, 0, 2], 100),  # more shots than outcomes: dense counters
        (10, [9, 0, 3, 5, 1, 2, 8, 7, 6, 4], 100),  # fewer: hashed counters
        (12, list(range(11, -1, -1)), 100),  # few draws over many outcomes: sorted walk
        (12, [2, 7, 11, 0, 5, 9, 1, 3], 3000),
        (8, [7, 6, 5, 4, 3, 2, 1, 0], 2000),  # every qubit: one amplitude per outcome
        # Many free bits above the lanes: each outcome's sum comes in chunks that a group of
        # threads adds up (groups of 2 to 256 threads, an odd and an even number of barriers).
        (11, [0], 500),
        (13, [12, 3], 500),
        (14, [0], 500),
        (16, [5, 15, 0], 500),
        (20, [1, 19], 500),
    ],
)
def test_draws_match_reference_engine(dtype, endian, n, targets, shots):
    host = random_state(n, dtype, seed=n + shots)
    state = velqa.DeviceState.from_numpy(n, host)
    seed = 1234567 + shots
    draws = predicted_draws(outcome_probabilities(host, n, targets, endian), shots, seed)
    counts, last = velqa.sample_measure_device(state, targets, shots, endian, seed, collapse_last=False)
    assert counts == predicted_counts(draws, len(targets))
    assert last == bits(draws[-1], len(targets))
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("k", [3, 6])
def test_dense_and_hashed_counts_agree(k):
    # shots = 2**k counts in the map, one more shot in the dense array; the draws are the
    # same, so the counts differ by the final draw only.
    n = 7
    state = velqa.DeviceState.from_numpy(n, random_state(n, "complex128", seed=k))
    targets = list(range(k))
    hashed, _ = velqa.sample_measure_device(state, targets, 1 << k, seed=99, collapse_last=False)
    dense, last = velqa.sample_measure_device(state, targets, (1 << k) + 1, seed=99, collapse_last=False)
    hashed[last] = hashed.get(last, 0) + 1
    assert dense == hashed


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets", [[3], [0, 5], [6, 2, 4], [1, 2, 3, 4, 5, 6, 0]])
def test_measure_device_collapses_onto_predicted_outcome(dtype, endian, targets):
    n = 7
    host = random_state(n, dtype, seed=len(targets))
    state = velqa.DeviceState.from_numpy(n, host)
    probs = outcome_probabilities(host, n, targets, endian)
    result = velqa.measure_device(state, targets, endian, seed=2024)
    assert result == bits(predicted_draws(probs, 1, 2024)[0], len(targets))
    np.testing.assert_allclose(state.to_numpy(), collapsed(host, n, targets, endian, result), **tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_sample_collapses_onto_final_draw(dtype):
    n, targets = 6, [5, 1]
    host = random_state(n, dtype, seed=8)
    state = velqa.DeviceState.from_numpy(n, host)
    counts, last = velqa.sample_measure_device(state, targets, 25, seed=77)
    draws = predicted_draws(outcome_probabilities(host, n, targets, "little"), 25, 77)
    assert (counts, last) == (predicted_counts(draws, 2), bits(draws[-1], 2))
    np.testing.assert_allclose(state.to_numpy(), collapsed(host, n, targets, "little", last), **tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_unnormalised_state_uses_relative_probabilities_and_collapses_to_norm_one(dtype):
    n, targets = 5, [0, 3]
    host = random_state(n, dtype, seed=4, scale=2.0)  # norm squared 4
    probs = outcome_probabilities(host, n, targets, "little")
    assert probs.sum() == pytest.approx(4.0, rel=1e-5)
    state = velqa.DeviceState.from_numpy(n, host)
    counts, last = velqa.sample_measure_device(state, targets, 500, seed=5)
    draws = predicted_draws(probs, 500, 5)
    assert (counts, last) == (predicted_counts(draws, 2), bits(draws[-1], 2))
    out = state.to_numpy()
    assert np.linalg.norm(out.astype(np.complex128)) == pytest.approx(1.0, rel=1e-6)
    np.testing.assert_allclose(out, collapsed(host, n, targets, "little", last), **tolerance(dtype))


def test_float_state_of_subnormal_amplitudes_collapses_to_norm_one():
    # 1/sqrt(p) exceeds the float range here; the collapse must still give finite amplitudes.
    host = np.array([3e-41, 4e-41j, 0, 0], dtype=np.complex64)
    state = velqa.DeviceState.from_numpy(2, host)
    assert velqa.measure_device(state, [1], seed=1) == "0"
    out = state.to_numpy().astype(np.complex128)
    assert np.all(np.isfinite(out))
    np.testing.assert_allclose(out, collapsed(host, 2, [1], "little", "0"), rtol=1e-4, atol=1e-6)


def test_frequencies_match_exact_probabilities():
    n, targets, shots = 6, [1, 4, 5], 20000
    host = random_state(n, "complex128", seed=12)
    probs = outcome_probabilities(host, n, targets, "little")
    state = velqa.DeviceState.from_numpy(n, host)
    counts, _ = velqa.sample_measure_device(state, targets, shots, seed=31337, collapse_last=False)
    observed = np.array([counts.get(bits(o, 3), 0) for o in range(8)])
    expected = shots * probs / probs.sum()
    chi_square = float(((observed - expected) ** 2 / expected).sum())
    assert observed.sum() == shots
    assert chi_square < 24.32  # 7 degrees of freedom, p = 0.001


@pytest.mark.parametrize("collapse_last", [False, True])
def test_equal_seeds_give_equal_results(collapse_last):
    n, targets = 8, [7, 2, 3, 0]
    host = random_state(n, "complex64", seed=3)
    results, states = [], []
    for _ in range(2):
        state = velqa.DeviceState.from_numpy(n, host)
        results.append(velqa.sample_measure_device(state, targets, 300, seed=2**64 - 1, collapse_last=collapse_last))
        states.append(state.to_numpy())
    assert results[0] == results[1]
    np.testing.assert_array_equal(states[0], states[1])


def test_shots_one_without_collapse():
    host = random_state(4, "complex128", seed=6)
    state = velqa.DeviceState.from_numpy(4, host)
    counts, last = velqa.sample_measure_device(state, [0, 1, 2], 1, seed=np.uint64(10), collapse_last=False)
    assert counts == {last: 1}
    np.testing.assert_array_equal(state.to_numpy(), host)


def test_unseeded_measurement_gives_a_possible_outcome():
    host = np.zeros(8, dtype=np.complex128)
    host[[2, 7]] = [0.6, 0.8j]
    state = velqa.DeviceState.from_numpy(3, host)
    result = velqa.measure_device(state, [0, 1, 2])
    assert result in ("010", "111")
    np.testing.assert_allclose(state.to_numpy(), collapsed(host, 3, [0, 1, 2], "little", result), atol=1e-15)


# ---- the NumPy entry point ------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
def test_measure_collapses_callers_array_in_place(dtype, endian):
    n, targets = 6, [4, 1]
    host = random_state(n, dtype, seed=9)
    original = host.copy()
    result = velqa.measure(n, host, targets, endian, "cuda:0", True)
    assert len(result) == 2 and set(result) <= {"0", "1"}
    assert outcome_probabilities(original, n, targets, endian)[int(result, 2)] > 0
    np.testing.assert_allclose(host, collapsed(original, n, targets, endian, result), **tolerance(dtype))


def read_only(array):
    array.setflags(write=False)
    return array


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((2, read_only(np.zeros(4, complex)), [0], "LITTLE", "tpu"), ValueError, "state array must be writable"),
        ((2, np.zeros((2, 2), complex), [0], "LITTLE"), ValueError, "state must be a 1-D contiguous numpy array"),
        ((2, np.zeros(8, complex)[::2], [0], "LITTLE"), ValueError, "state must be C-contiguous"),
        ((0, np.zeros(1, complex), [0], "LITTLE"), ValueError, r"n must be in \[1, 62\]"),
        ((2, np.zeros(8, complex), [0], "LITTLE"), ValueError, r"state.size must equal 2\*\*n"),
        ((2, np.zeros(4, np.float64), [5], "LITTLE", "tpu"), ValueError, "endian must be 'little' or 'big'"),
        ((2, np.zeros(4, np.float64), [5], "big", "tpu"), ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>'"),
        ((2, np.zeros(4, np.float64), [5], "big"), ValueError, "dtype must be 'complex64' or 'complex128'"),
        ((2, np.zeros(4, complex), [2]), ValueError, "measure target index out of range"),
        ((2, np.zeros(4, complex), []), ValueError, r"measure targets size must be in \[1, 62\]"),
        ((2, np.zeros(4, complex), [0]), RuntimeError, NORM_ERROR),
    ],
)
def test_measure_checks_in_order_and_leaves_array(args, error, message):
    before = np.array(args[1], copy=True)
    with pytest.raises(error, match=message):
        velqa.measure(*args)
    np.testing.assert_array_equal(args[1], before)


def test_measure_targets_must_be_a_sequence_of_integers():
    with pytest.raises(TypeError):
        velqa.measure(1, np.array([1, 0], complex), 0)


# ---- messages, check order, invalid norms ---------------------------------------------


@pytest.mark.parametrize(
    "targets, endian, message",
    [
        ([], "little", r"measure targets size must be in \[1, 62\]"),
        (list(range(63)), "little", r"measure targets size must be in \[1, 62\]"),
        ([], "Little", "endian must be 'little' or 'big'"),
        ([4], "little", "measure target index out of range"),
        ([-1], "big", "measure target index out of range"),
        ([2, 2], "little", "duplicate measure target index"),
        ([1, 1, 9], "little", "duplicate measure target index"),
        ([9, 1, 1], "big", "measure target index out of range"),
        ([0], "", "endian must be 'little' or 'big'"),
    ],
)
@pytest.mark.parametrize("entry", ["measure_device", "sample_measure_device"])
def test_argument_messages(entry, targets, endian, message):
    host = random_state(4, "complex128")
    state = velqa.DeviceState.from_numpy(4, host)
    with pytest.raises(ValueError, match=message):
        if entry == "measure_device":
            velqa.measure_device(state, targets, endian, 1)
        else:
            velqa.sample_measure_device(state, targets, 10, endian, 1)
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize(
    "targets, shots, endian, error, message",
    [
        ([0], 0, "little", ValueError, "shots must be positive"),
        ([0], 0, "big", ValueError, "shots must be positive"),
        ([0], 0, "bad", ValueError, "endian must be 'little' or 'big'"),
        ([7], 0, "little", ValueError, "shots must be positive"),
        ([0], -1, "little", TypeError, "incompatible function arguments"),
    ],
)
def test_shots_checks(targets, shots, endian, error, message):
    state = velqa.DeviceState.from_numpy(2, basis(2, 0, "complex128"))
    with pytest.raises(error, match=message):
        velqa.sample_measure_device(state, targets, shots, endian)


@pytest.mark.parametrize("seed", [-1, 2**64, 1.5, "7"])
def test_seed_outside_unsigned_64_bits_is_refused(seed):
    state = velqa.DeviceState.from_numpy(1, basis(1, 0, "complex128"))
    with pytest.raises(ValueError, match=r"seed must be None or an integer in \[0, 2\*\*64\)"):
        velqa.measure_device(state, [0], seed=seed)
    with pytest.raises(ValueError, match="endian must be 'little' or 'big'"):
        velqa.measure_device(state, [0], "middle", seed=seed)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("bad", ["zero", "nan", "inf"])
def test_invalid_norm_is_refused_and_state_unchanged(dtype, bad):
    host = np.zeros(1 << 4, dtype=dtype)
    if bad != "zero":
        host = random_state(4, dtype)
        host[5] = complex(np.nan if bad == "nan" else np.inf, 0)
    state = velqa.DeviceState.from_numpy(4, host)
    with pytest.raises(RuntimeError, match=NORM_ERROR):
        velqa.measure_device(state, [1, 2], seed=1)
    with pytest.raises(RuntimeError, match=NORM_ERROR):
        velqa.sample_measure_device(state, [3], 100, seed=1)
    np.testing.assert_array_equal(state.to_numpy(), host)
    array = host.copy()
    with pytest.raises(RuntimeError, match=NORM_ERROR):
        velqa.measure(4, array, [0])
    np.testing.assert_array_equal(array, host)


def test_signatures_and_docstrings():
    assert velqa.measure_device.__doc__.splitlines()[-1] == "Measure target qubits on an existing CUDA DeviceState."
    assert velqa.sample_measure_device.__doc__.splitlines()[-1] == (
        "Batch-sample target qubits and optionally collapse to the final outcome."
    )
    assert velqa.measure.__doc__.splitlines()[-1] == (
        "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is returned."
    )
    state = velqa.DeviceState.from_numpy(2, basis(2, 3, "complex128"))
    assert velqa.measure_device(state=state, targets=(1,), endian="big", seed=None) == "1"
    counts, last = velqa.sample_measure_device(
        state=state, targets=[0, 1], shots=3, endian="little", seed=4, collapse_last=False
    )
    assert (counts, last) == ({"11": 3}, "11")
    assert velqa.measure(n=2, state=basis(2, 3, "complex64"), targets=[0], endian="little", device="cuda") == "1"


def test_failed_measurements_free_their_device_buffers():
    # Under a tight emulated memory limit (host build), buffers leaked by failing or
    # succeeding calls would soon make allocations fail with an out-of-memory error.
    script = textwrap.dedent(
        """
        import numpy as np, velqa
        state = velqa.DeviceState.from_numpy(10, np.zeros(1 << 10, np.complex128))
        for _ in range(200):
            try:
                velqa.sample_measure_device(state, list(range(10)), 5, seed=1)
            except RuntimeError as error:
                assert str(error) == "Quantum state has zero or invalid norm.", error
            else:
                raise AssertionError("zero state was measured")
        good = velqa.DeviceState.from_numpy(10, np.ones(1 << 10, np.complex128))
        for _ in range(200):
            velqa.sample_measure_device(good, list(range(10)), 5, seed=1, collapse_last=False)
        print("ok")
        """
    )
    module_dir = os.path.dirname(velqa.__file__)
    env = dict(os.environ, QUORRA_HOSTCUDA_MEMORY_LIMIT=str(3 * 16 * 1024 + 4096), PYTHONPATH=module_dir)
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"
