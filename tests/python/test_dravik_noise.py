"""Built-in noise channels and general Kraus maps in density runs, against the Kraus sums of
the NumPy density reference: every channel for several probabilities and qubits, the
parameter read from the Kraus record, trace preservation, and general maps on one to three
targets in any order, trace-preserving or not."""

import dravik
import numpy as np
import pytest
from dravik_ops import DTYPES, TOLERANCE, assert_close, kraus, random_rho, run, unitary
from reference import density as dm

PROBABILITIES = [0.0, 0.13, 0.5, 0.87, 1.0]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p", PROBABILITIES)
@pytest.mark.parametrize("name", dm.CHANNEL_NAMES)
def test_channel_equals_the_kraus_sum_of_its_textbook_matrices(name, p, dtype):
    rho = random_rho(4, dtype, seed=int(100 * p) + len(name))
    expected = rho
    ops = []
    for q in (0, 2, 3):  # a low qubit, a middle one and the highest
        matrices = dm.channel_kraus(name, p)
        ops.append(kraus([q], matrices, name))
        expected = dm.apply_kraus(expected, matrices, [q])
    out = run(rho, ops)
    assert_close(out, expected, dtype)
    assert abs(np.trace(out) - np.trace(rho.astype(complex))) < 10 * TOLERANCE[dtype]


@pytest.mark.parametrize("name", dm.CHANNEL_NAMES)
def test_the_name_and_the_second_matrix_decide(name):
    # The first matrix is garbage and K1 carries imaginary parts: only Re K1 is read.
    p = 0.36
    matrices = [np.asarray(m) for m in dm.channel_kraus(name, p)]
    recorded = [m.copy() for m in matrices]
    recorded[0] = np.full((2, 2), 7.0 + 1j)
    recorded[1] = recorded[1] + 0.5j
    rho = random_rho(3, "complex128", seed=3)
    assert_close(run(rho, [kraus([1], recorded, name)]), dm.apply_kraus(rho, matrices, [1]), "complex128")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", dm.CHANNEL_NAMES)
def test_probability_zero_leaves_the_matrix_unchanged(name, dtype):
    rho = random_rho(3, dtype, seed=4)
    np.testing.assert_array_equal(run(rho, [kraus([1], dm.channel_kraus(name, 0.0), name)]), rho)


@pytest.mark.parametrize("name, gate", [("bit_flip", "x"), ("phase_flip", "z")])
def test_certain_flips_are_the_pauli_gates(name, gate):
    rho = random_rho(3, "complex128", seed=5)
    expected = dm.apply_unitary(rho, dm.gate_matrix(gate), [2])
    assert_close(run(rho, [kraus([2], dm.channel_kraus(name, 1.0), name)]), expected, "complex128")


def test_certain_channels_on_a_one_qubit_register():
    rho = random_rho(1, "complex128", seed=6)
    (a, b), (c, d) = rho
    full = {
        "depolarizing": np.eye(2) * (a + d) / 2,
        "amplitude_damping": np.array([[a + d, 0], [0, 0]]),
        "phase_damping": np.array([[a, 0], [0, d]]),
    }
    for name, expected in full.items():
        assert_close(run(rho, [kraus([0], dm.channel_kraus(name, 1.0), name)]), expected, "complex128")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("trace_preserving", [True, False], ids=["trace-preserving", "not-trace-preserving"])
@pytest.mark.parametrize("k, count", [(1, 1), (1, 3), (2, 2), (2, 5), (3, 1), (3, 4)])
def test_general_kraus_map_on_targets_in_random_order(k, count, trace_preserving, dtype):
    rng = np.random.default_rng(10 * k + count)
    targets = [int(q) for q in rng.permutation(5)[:k]]
    matrices = dm.random_kraus(1 << k, count, rng, trace_preserving)
    rho = random_rho(5, dtype, seed=k + count)
    expected = dm.apply_kraus(rho, matrices, targets)
    out = run(rho, [kraus(targets, matrices)])
    assert_close(out, expected, dtype, scale=4)
    trace_change = abs(np.trace(expected) - np.trace(rho.astype(complex)))
    if trace_preserving:
        assert trace_change < 1e-12
    else:
        assert trace_change > 1e-3  # applied as given: no renormalisation


@pytest.mark.parametrize("k", [1, 2, 3])
def test_kraus_map_on_a_register_of_its_own_width(k):
    rng = np.random.default_rng(k)
    targets = [int(q) for q in rng.permutation(k)]
    matrices = dm.random_kraus(1 << k, 2, rng)
    rho = random_rho(k, "complex128", seed=k)
    assert_close(run(rho, [kraus(targets, matrices)]), dm.apply_kraus(rho, matrices, targets), "complex128")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", [[2], [3, 0], [1, 3, 2]])
def test_one_unitary_kraus_matrix_is_the_unitary_map(targets, dtype):
    rng = np.random.default_rng(len(targets))
    u = dm.random_unitary(1 << len(targets), rng)
    rho = random_rho(4, dtype, seed=8)
    expected = dm.apply_unitary(rho, u, targets)
    assert_close(run(rho, [kraus(targets, [u])]), expected, dtype, scale=2)
    assert_close(run(rho, [unitary("m", targets, matrix=u)]), expected, dtype, scale=2)


@pytest.mark.parametrize("dtype", DTYPES)
def test_unnamed_bit_flip_matrices_are_a_general_map_with_the_same_result(dtype):
    p = 0.3
    matrices = dm.channel_kraus("bit_flip", p)
    rho = random_rho(3, dtype, seed=9)
    expected = dm.apply_kraus(rho, matrices, [1])
    assert_close(run(rho, [kraus([1], matrices)]), expected, dtype)
    assert_close(run(rho, [kraus([1], matrices, "bit_flip")]), expected, dtype)
    # three matrices named bit_flip are not the channel: they are applied as given
    three = matrices + [0.5 * np.eye(2)]
    assert_close(run(rho, [kraus([1], three, "bit_flip")]), dm.apply_kraus(rho, three, [1]), dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_noisy_circuit_mixes_every_path(dtype):
    rng = np.random.default_rng(12)
    rho = random_rho(4, dtype, seed=12)
    ops, expected = [], rho
    for step in range(3):
        q = step % 4
        ops.append(unitary("ry", [q], parameter=[0.4 + step]))
        expected = dm.apply_unitary(expected, dm.gate_matrix("ry", [0.4 + step]), [q])
        name = dm.CHANNEL_NAMES[step]
        ops.append(kraus([q], dm.channel_kraus(name, 0.2), name))
        expected = dm.apply_kraus(expected, dm.channel_kraus(name, 0.2), [q])
        ops.append(unitary("cx", [(q + 1) % 4], [q], [1]))
        expected = dm.apply_unitary(expected, dm.gate_matrix("x"), [(q + 1) % 4], [q], [1])
        matrices = dm.random_kraus(4, 2, rng)
        ops.append(kraus([3, q], matrices) if q != 3 else kraus([0, 3], matrices))
        expected = dm.apply_kraus(expected, matrices, [3, q] if q != 3 else [0, 3])
    assert_close(run(rho, ops), expected, dtype, scale=4)


def test_channels_run_on_a_state_held_on_the_device():
    state = dravik.DeviceDensityState.zero_state(2, "complex128")
    dravik.run_density_operations_device(state, 2, [unitary("x", [1]), kraus([1], dm.channel_kraus("bit_flip", 0.25), "bit_flip")])
    np.testing.assert_allclose(state.to_numpy(), np.diag([0.25, 0, 0.75, 0]), atol=1e-15)
