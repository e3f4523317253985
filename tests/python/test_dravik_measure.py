"""measure_device: checks in order, bit strings in both endian texts, seeded outcomes and
collapse against the NumPy density reference and the independent Mersenne Twister."""

import dravik
import numpy as np
import pytest
from reference import density as dm

DTYPES = ["complex64", "complex128"]


def basis_state(n, index, dtype="complex128"):
    rho = np.zeros((1 << n, 1 << n), dtype=dtype)
    rho[index, index] = 1
    return dravik.DeviceDensityState.from_numpy(n, rho)


@pytest.mark.parametrize(
    "targets, endian, expected",
    [([0, 1], "little", "10"), ([0, 1], "big", "01"), ([1, 0], "little", "01"), ([1, 0], "big", "10"),
     ([0], "little", "1"), ([0], "big", "0")],
)  # fmt: skip
def test_bit_strings_follow_the_target_order(targets, endian, expected):
    # Basis index 1: qubit 0 is index bit 0 (little) or index bit 1 (big).
    state = basis_state(2, 1)
    assert dravik.measure_device(state, targets, endian, seed=1) == expected
    np.testing.assert_array_equal(state.to_numpy(), np.diag([0, 1, 0, 0]))


@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_state_measures_all_zeros_and_stays(dtype):
    state = dravik.DeviceDensityState.zero_state(3, dtype)
    assert dravik.measure_device(state, [2, 0, 1], "big", seed=123) == "000"
    expected = np.zeros((8, 8), dtype=dtype)
    expected[0, 0] = 1
    np.testing.assert_array_equal(state.to_numpy(), expected)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("seed", [0, 1, 7, 2**63 + 5, 2**64 - 1])
def test_seeded_outcome_and_collapse_match_the_reference(seed, endian, dtype):
    rng = np.random.default_rng(seed % 1000)
    n = 4
    rho = dm.random_density(n, rng).astype(dtype)
    targets = [int(t) for t in rng.permutation(n)[: 1 + seed % 3]]
    state = dravik.DeviceDensityState.from_numpy(n, rho)
    bits = dravik.measure_device(state, targets, endian, seed)
    assert bits == dm.predicted_outcome(rho, targets, endian, seed)
    expected = dm.collapse(rho, targets, endian, bits)
    tolerance = 1e-6 if dtype == "complex64" else 1e-14
    out = state.to_numpy()
    np.testing.assert_allclose(out, expected, rtol=0, atol=tolerance)
    assert abs(np.trace(out) - 1) < tolerance
    # Measuring the same targets again is certain.
    assert dravik.measure_device(state, targets, endian, seed + 1 if seed < 2**64 - 1 else 0) == bits


def test_many_seeds_reach_every_outcome_as_the_reference_predicts():
    rho = dm.random_density(3, np.random.default_rng(4))
    seen = set()
    for seed in range(40):
        state = dravik.DeviceDensityState.from_numpy(3, rho)
        bits = dravik.measure_device(state, [2, 0], "little", seed)
        assert bits == dm.predicted_outcome(rho, [2, 0], "little", seed)
        seen.add(bits)
    assert seen == {"00", "01", "10", "11"}


def test_same_seed_same_outcome_on_a_maximally_mixed_qubit():
    outcomes = set()
    for seed in (11, 11, 12, 13, 14, 15, 16, 17):
        state = dravik.DeviceDensityState.from_numpy(1, np.eye(2, dtype=np.complex128) / 2)
        outcomes.add((seed, dravik.measure_device(state, [0], seed=seed)))
    assert len({o for s, o in outcomes if s == 11}) == 1
    assert {o for _, o in outcomes} == {"0", "1"}
    for seed, bits in outcomes:
        assert bits == dm.predicted_outcome(np.eye(2) / 2, [0], "little", seed)


def test_collapse_renormalises_by_the_outcome_probability_whatever_the_trace():
    rho = 2 * dm.random_density(2, np.random.default_rng(8))  # trace 2
    state = dravik.DeviceDensityState.from_numpy(2, rho)
    bits = dravik.measure_device(state, [1], seed=99)
    assert bits == dm.predicted_outcome(rho, [1], "little", 99)
    out = state.to_numpy()
    np.testing.assert_allclose(out, dm.collapse(rho, [1], "little", bits), atol=1e-14)
    assert abs(np.trace(out) - 1) < 1e-14


def test_unseeded_measurements_draw_from_the_distribution():
    state = dravik.DeviceDensityState.from_numpy(1, np.diag([0.0, 1.0]).astype(np.complex64))
    assert dravik.measure_device(state, [0]) == "1"
    mixed = np.eye(2, dtype=np.complex128) / 2
    draws = {dravik.measure_device(dravik.DeviceDensityState.from_numpy(1, mixed), [0]) for _ in range(64)}
    assert draws == {"0", "1"}


@pytest.mark.parametrize("diagonal", [[0, 0, 0, 0], [0.5, np.nan, 0.5, 0], [1, np.inf, 0, 0], [-1, 0, 0.5, 0]])
def test_zero_or_invalid_trace_is_refused_and_leaves_the_state(diagonal):
    rho = np.diag(diagonal).astype(np.complex128)
    rho[0, 1] = rho[1, 0] = 0.25
    state = dravik.DeviceDensityState.from_numpy(2, rho)
    with pytest.raises(RuntimeError, match=r"^density matrix has zero or invalid trace\.$"):
        dravik.measure_device(state, [0, 1], seed=0)
    np.testing.assert_array_equal(state.to_numpy(), rho)


# ---- checks and their order -------------------------------------------------------------


def test_zero_qubit_state_is_refused_first():
    state = dravik.DeviceDensityState.zero_state(0)
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        dravik.measure_device(state, [], "little", seed=0)


@pytest.mark.parametrize(
    "targets, endian, message",
    [
        ([], "little", "^measure targets must not be empty$"),
        ([5], "Little", "^endian must be 'little' or 'big'$"),
        ([3], "big", "^measure target index out of range$"),
        ([-1], "little", "^measure target index out of range$"),
        ([0, 2, 0], "little", "^duplicate measure target index$"),
        ([0, 0, 7], "little", "^duplicate measure target index$"),
        ([0, 7, 0], "little", "^measure target index out of range$"),
    ],
)
def test_argument_checks_in_order(targets, endian, message):
    state = dravik.DeviceDensityState.zero_state(3)
    before = state.to_numpy()
    with pytest.raises(ValueError, match=message):
        dravik.measure_device(state, targets, endian, seed=0)
    np.testing.assert_array_equal(state.to_numpy(), before)


def test_endian_is_checked_before_the_seed_and_the_state():
    state = dravik.DeviceDensityState.zero_state(0)  # a 0-qubit state would fail later
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        dravik.measure_device(state, [], "middle", seed=-1)


@pytest.mark.parametrize("seed", [-1, 2**64, 1.5, "3"], ids=["negative", "too-large", "float", "text"])
def test_seed_must_convert_to_an_unsigned_64_bit_integer(seed):
    state = dravik.DeviceDensityState.zero_state(1)
    message = (
        f"Unable to cast Python instance of type {type(seed)} to C++ type '?' "
        "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
    )
    with pytest.raises(RuntimeError) as error:
        dravik.measure_device(state, [0], seed=seed)
    assert str(error.value) == message


def test_seed_may_be_any_object_with_an_integer_conversion():
    class Index:
        def __index__(self):
            return 7

    rho = dm.random_density(2, np.random.default_rng(3))
    state = dravik.DeviceDensityState.from_numpy(2, rho)
    assert dravik.measure_device(state, [0, 1], seed=Index()) == dm.predicted_outcome(rho, [0, 1], "little", 7)
    state = dravik.DeviceDensityState.from_numpy(2, rho)
    assert dravik.measure_device(state, [0, 1], seed=np.uint64(7)) == dm.predicted_outcome(rho, [0, 1], "little", 7)
