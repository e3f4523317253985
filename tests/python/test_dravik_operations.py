"""run_density_operations_device: every named operation and alias, explicit unitaries, the
diagonal and permutation paths, against the NumPy density reference; every message and the
order of checks; refused lists leave the matrix unchanged."""

import math

import dravik
import numpy as np
import pytest
from dravik_ops import DTYPES, TOLERANCE, assert_close, kraus, random_rho, run, unitary
from reference import density as dm

PARAMETERS = [0.37, -1.15, 2.3]

# (controls, control_state) around target qubit 1 of a 4-qubit register
CONTROL_CASES = [((), ()), ((2,), (1,)), ((0,), (0,)), ((3, 0), (1, 0))]
ALL_NAMES = list(dm.SINGLE_TARGET_NAMES) + list(dm.ALIASES)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("controls, states", CONTROL_CASES)
@pytest.mark.parametrize("name", ALL_NAMES)
def test_named_operation(name, controls, states, dtype):
    params = PARAMETERS[: dm.parameter_count(name)]
    rho = random_rho(4, dtype, seed=len(name))
    op = unitary(name, [1], controls, states, params or None)
    expected = dm.apply_unitary(rho, dm.gate_matrix(name, params), [1], controls, states)
    assert_close(run(rho, [op]), expected, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", [(3, 1), (0, 2)])
@pytest.mark.parametrize("controls, states", [((), ()), ((2,), (1,)), ((2,), (0,))])
def test_swap(targets, controls, states, dtype):
    if set(targets) & set(controls):
        controls, states = (1,), states
    rho = random_rho(4, dtype, seed=7)
    expected = dm.apply_unitary(rho, dm.gate_matrix("swap"), targets, controls, states)
    assert_close(run(rho, [unitary("swap", targets, controls, states)]), expected, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
# a 6-qubit register leaves no qubit for a control of a 6-target matrix
@pytest.mark.parametrize("k, controlled", [(k, c) for k in range(1, 7) for c in (False, True) if k < 6 or not c])
def test_explicit_unitary_on_targets_in_random_order(k, controlled, dtype):
    rng = np.random.default_rng(100 + k)
    qubits = [int(q) for q in rng.permutation(6)]
    targets, rest = qubits[:k], qubits[k:]
    controls = rest[:2] if controlled else []
    states = [1, 0][: len(controls)]
    u = dm.random_unitary(1 << k, rng)
    rho = random_rho(6, dtype, seed=k)
    expected = dm.apply_unitary(rho, u, targets, controls, states)
    assert_close(run(rho, [unitary("ignored", targets, controls, states, matrix=u)]), expected, dtype)


# At 8 qubits each pass spans several tiles; the target lists include qubit 0, so the column
# pass has targets in the lowest bits, and the controls sit among the low bits a tile would
# otherwise span. Six targets in complex128 stage the matrix in two halves.
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "targets, controls, states",
    [([0, 5, 2], [1], [1]), ([7, 6, 5, 4], [], []), ([3, 0, 6, 1, 7], [2, 4], [0, 1]), ([2, 7, 0, 4, 6, 3], [1], [0]),
     ([6, 1, 3, 5, 0, 2], [], [])],
)  # fmt: skip
def test_explicit_unitary_across_many_tiles(targets, controls, states, dtype):
    rng = np.random.default_rng(len(targets) + 10 * len(controls))
    u = dm.random_unitary(1 << len(targets), rng)
    rho = random_rho(8, dtype, seed=len(targets))
    expected = dm.apply_unitary(rho, u, targets, controls, states)
    assert_close(run(rho, [unitary("ignored", targets, controls, states, matrix=u)]), expected, dtype)


@pytest.mark.parametrize("targets, expected_index", [([0, 1], 3), ([1, 0], 1)])
def test_matrix_bit_order(targets, expected_index):
    # Flips the second target where the first target is 1 (local index = t0 + 2 t1).
    flip = np.eye(4, dtype=np.complex128)[[0, 3, 2, 1]]
    rho = np.zeros((4, 4), np.complex128)
    rho[1, 1] = 1
    out = run(rho, [unitary("m", targets, matrix=flip)])
    expected = np.zeros((4, 4))
    expected[expected_index, expected_index] = 1
    np.testing.assert_array_equal(out, expected)


def test_one_target_on_one_qubit_register_and_six_targets_on_six():
    rng = np.random.default_rng(5)
    u2, u64 = dm.random_unitary(2, rng), dm.random_unitary(64, rng)
    rho1 = random_rho(1, "complex128", 1)
    assert_close(run(rho1, [unitary("m", [0], matrix=u2)]), dm.apply_unitary(rho1, u2, [0]), "complex128")
    rho6 = random_rho(6, "complex128", 2)
    order = [3, 5, 0, 2, 4, 1]
    assert_close(run(rho6, [unitary("m", order, matrix=u64)]), dm.apply_unitary(rho6, u64, order), "complex128")


@pytest.mark.parametrize("controls, states, rows, cols", [((0,), (1,), [1, 3], [0, 2]), ((0,), (0,), [0, 2], [1, 3])])
def test_controlled_block_where_only_row_or_column_satisfies_the_controls(controls, states, rows, cols):
    # A block whose row base satisfies the controls and whose column base does not becomes U B.
    rng = np.random.default_rng(9)
    u = dm.random_unitary(2, rng)
    rho = random_rho(2, "complex128", 9)
    out = run(rho, [unitary("m", [1], controls, states, matrix=u)])
    np.testing.assert_allclose(out[np.ix_(rows, cols)], u @ rho[np.ix_(rows, cols)], atol=1e-13)
    np.testing.assert_allclose(out[np.ix_(cols, rows)], rho[np.ix_(cols, rows)] @ u.conj().T, atol=1e-13)


@pytest.mark.parametrize("dtype", DTYPES)
def test_uncontrolled_rz_changes_only_blocks_that_differ_in_the_target(dtype):
    theta = 0.9
    rho = random_rho(3, dtype, seed=3)
    out = run(rho, [unitary("rz", [2], parameter=[theta])])
    index = np.arange(8)
    differ = ((index[:, None] >> 2) & 1) != ((index[None, :] >> 2) & 1)
    np.testing.assert_array_equal(out[~differ], rho[~differ])  # untouched, bit for bit
    row_set = ((index[:, None] >> 2) & 1 == 1) & ~((index[None, :] >> 2) & 1 == 1)
    np.testing.assert_allclose(out[row_set], np.exp(1j * theta) * rho[row_set].astype(complex), atol=TOLERANCE[dtype])


def test_controlled_x_moves_rows_and_columns_separately():
    # X on qubit 0 controlled by qubit 1 = 1 is the basis permutation 2 <-> 3.
    rho = random_rho(2, "complex128", seed=11)
    perm = [0, 1, 3, 2]
    np.testing.assert_array_equal(run(rho, [unitary("cx", [0], [1], [1])]), rho[perm][:, perm])


def test_swap_is_an_exact_permutation():
    rho = random_rho(3, "complex128", seed=12)
    perm = [0, 4, 2, 6, 1, 5, 3, 7]  # exchange bits 0 and 2
    np.testing.assert_array_equal(run(rho, [unitary("swap", [2, 0])]), rho[perm][:, perm])


@pytest.mark.parametrize("name", ["z", "-z", "s", "s_dag", "t", "t_dag", "cz", "cs"])
def test_fixed_diagonal_names_ignore_parameters(name):
    rho = random_rho(3, "complex128", seed=13)
    expected = dm.apply_unitary(rho, dm.gate_matrix(name), [0], [2], [1])
    assert_close(run(rho, [unitary(name, [0], [2], [1], parameter=[5.0])]), expected, "complex128")


@pytest.mark.parametrize("name", ["gp", "gphase", "global_phase"])
def test_uncontrolled_global_phase_is_skipped(name):
    rho = random_rho(3, "complex128", seed=14)
    # Neither the parameter list nor the target count is looked at.
    ops = [unitary(name, [0, 2]), unitary(name, [1], parameter=[float("nan"), 1.0])]
    np.testing.assert_array_equal(run(rho, ops), rho)


def test_controlled_global_phase_is_a_relative_phase():
    rho = random_rho(2, "complex128", seed=15)
    out = run(rho, [unitary("gp", [0], [1], [1], parameter=[0.5])])
    phase = np.diag([1, 1, np.exp(0.5j), np.exp(0.5j)])
    assert_close(out, phase @ rho @ phase.conj().T, "complex128")


@pytest.mark.parametrize("dtype", DTYPES)
def test_random_circuit_matches_reference_and_keeps_hermiticity_and_trace(dtype):
    rng = np.random.default_rng(21)
    n = 5
    rho = random_rho(n, dtype, seed=21)
    expected = rho.astype(np.complex128)
    ops = []
    for _ in range(40):
        qubits = [int(q) for q in rng.permutation(n)]
        if rng.random() < 0.3:
            k = int(rng.integers(1, 4))
            u = dm.random_unitary(1 << k, rng)
            controls = qubits[k : k + int(rng.integers(0, 2))]
            states = [int(s) for s in rng.integers(0, 2, len(controls))]
            ops.append(unitary("u", qubits[:k], controls, states, matrix=u))
            expected = dm.apply_unitary(expected, u, qubits[:k], controls, states)
        else:
            name = str(rng.choice(ALL_NAMES + ["swap"]))
            k = 2 if name == "swap" else 1
            params = [float(p) for p in rng.uniform(-3, 3, dm.parameter_count(name))] if name != "swap" else []
            controls = qubits[k : k + int(rng.integers(0, 3))]
            states = [int(s) for s in rng.integers(0, 2, len(controls))]
            ops.append(unitary(name, qubits[:k], controls, states, params or None))
            expected = dm.apply_unitary(expected, dm.gate_matrix(name, params), qubits[:k], controls, states)
    out = run(rho, ops)
    tolerance = 2e-5 if dtype == "complex64" else 1e-12
    np.testing.assert_allclose(out, expected, atol=tolerance)
    np.testing.assert_allclose(out, out.conj().T, atol=tolerance)
    assert abs(np.trace(out) - 1) < tolerance


@pytest.mark.parametrize("wrap", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_operations_may_be_any_iterable(wrap):
    rho = random_rho(2, "complex128", seed=16)
    out = run(rho, wrap([unitary("h", [0]), unitary("cx", [1], [0], [1])]))
    expected = dm.apply_unitary(dm.apply_unitary(rho, dm.gate_matrix("h"), [0]), dm.gate_matrix("x"), [1], [0], [1])
    assert_close(out, expected, "complex128")


def test_numpy_values_in_attributes_are_converted():
    rho = random_rho(2, "complex128", seed=17)
    op = unitary("rx", [0], parameter=[0.25])
    op.target = np.array([1], dtype=np.int64)
    op.parameter = np.array([0.25])
    op.has_stored_matrix = np.bool_(False)
    assert_close(run(rho, [op]), dm.apply_unitary(rho, dm.gate_matrix("rx", [0.25]), [1]), "complex128")
    real = unitary("m", [0], matrix=np.array([[0, 1], [1, 0]], dtype=np.int32))  # cast to complex128
    np.testing.assert_array_equal(run(rho, [real]), rho[[1, 0, 3, 2]][:, [1, 0, 3, 2]])


# ---- messages and their order ---------------------------------------------------------

NAN = float("nan")
INF = float("inf")
EYE2, EYE4 = np.eye(2), np.eye(4)

UNITARY_ERRORS = [
    (unitary("h", []), "density operation requires at least one target"),
    (unitary("h", [0], [1], []), "controls and control_state sizes must match"),
    (unitary("h", [9], [1], []), "controls and control_state sizes must match"),
    (unitary("h", [3]), "invalid or duplicate target qubit"),
    (unitary("h", [-1]), "invalid or duplicate target qubit"),
    (unitary("swap", [1, 1]), "invalid or duplicate target qubit"),
    (unitary("h", [7], [9], [5]), "invalid or duplicate target qubit"),
    (unitary("h", [0], [3], [1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("h", [0], [-2], [1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("h", [0], [0], [1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("swap", [0, 1], [1], [1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("h", [0], [1, 1], [1, 1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("h", [0], [1], [2]), "control_state must contain only 0 or 1"),
    (unitary("h", [0], [1, 5], [2, 1]), "control_state must contain only 0 or 1"),
    (unitary("h", [0], [1, 5], [-1, 2]), "control_state must contain only 0 or 1"),
    (unitary("h", [0], [5, 1], [2, 1]), "invalid, duplicate, or overlapping control qubit"),
    (unitary("x", [0], parameter=[0.5]), "density operation 'x' requires no parameters"),
    (unitary("cx", [0], [1], [1], parameter=[0.5]), "density operation 'cx' requires no parameters"),
    (unitary("swap", [0, 1], parameter=[0.5]), "density operation 'swap' requires no parameters"),
    (unitary("rz", [0], parameter=[0.1, 0.2]), "invalid parameter count for density operation 'rz'"),
    (unitary("mcrz", [0], [1], [0], parameter=[]), "invalid parameter count for density operation 'mcrz'"),
    (unitary("p", [0]), "invalid parameter count for density operation 'p'"),
    (unitary("global_phase", [0], [1], [1]), "invalid parameter count for density operation 'global_phase'"),
    (unitary("h", [0], parameter=[0.5]), "invalid parameter count for density operation 'h'"),
    (unitary("xyarb", [0], parameter=[0.5]), "invalid parameter count for density operation 'xyarb'"),
    (unitary("u", [0], parameter=[0.1, 0.2]), "invalid parameter count for density operation 'u'"),
    (unitary("rz", [0], parameter=[NAN]), "density operation parameters must be finite"),
    (unitary("u", [0], parameter=[0.1, INF, 0.2]), "density operation parameters must be finite"),
    (unitary("cp", [0], [2], [1], parameter=[-INF]), "density operation parameters must be finite"),
    (unitary("h", [0, 1]), "named density operation requires one target"),
    (unitary("rz", [0, 1], parameter=[0.1, 0.2]), "named density operation requires one target"),
    (unitary("gp", [0, 1], [2], [1], parameter=[0.1]), "named density operation requires one target"),
    (unitary("swap", [0]), "swap requires exactly two targets"),
    (unitary("swap", [0, 1, 2], parameter=[1.0]), "invalid parameter count for density operation 'swap'"),
    (unitary("swap", [0, 1, 2]), "swap requires exactly two targets"),
    (unitary("foo", [0]), "unsupported named density operation 'foo'"),
    (unitary("CX", [0]), "unsupported named density operation 'CX'"),
    (unitary("foo", [0, 1]), "named density operation requires one target"),
    (unitary("m", [0], matrix=[[1, NAN], [0, 1]]), "unitary matrix must contain only finite values"),
    (unitary("m", [0], matrix=[[1, 0], [0, complex(0, INF)]]), "unitary matrix must contain only finite values"),
    (unitary("m", [0], matrix=EYE4), "unitary matrix size does not match targets"),
    (unitary("m", [0, 1], matrix=EYE2), "unitary matrix size does not match targets"),
    (unitary("m", [0], matrix=np.zeros((0, 0))), "unitary matrix size does not match targets"),
    (unitary("m", [0], matrix=np.full((4, 4), NAN)), "unitary matrix must contain only finite values"),
    (unitary("m", [5], matrix=np.full((4, 4), NAN)), "invalid or duplicate target qubit"),
]


@pytest.mark.parametrize("op, message", UNITARY_ERRORS, ids=[m for _, m in UNITARY_ERRORS])
def test_unitary_validation_messages(op, message):
    with pytest.raises(RuntimeError) as error:
        run(random_rho(3, "complex128", 0), [op])
    assert str(error.value) == message


def test_explicit_matrix_ignores_the_name_and_parameters():
    rho = random_rho(2, "complex128", seed=18)
    op = unitary("x", [0], parameter=[NAN], matrix=np.diag([1, 1j]))
    assert_close(run(rho, [op]), dm.apply_unitary(rho, np.diag([1, 1j]), [0]), "complex128")


def test_seven_targets_are_refused_after_the_range_checks():
    rho = np.eye(128, dtype=np.complex64) / 128
    u = np.eye(128)
    with pytest.raises(RuntimeError, match="^GPU density unitary supports at most 6 targets$"):
        run(rho, [unitary("m", list(range(7)), matrix=u)])
    with pytest.raises(RuntimeError, match="^invalid or duplicate target qubit$"):
        run(rho, [unitary("m", [0, 1, 2, 3, 4, 5, 7], matrix=u)])


KRAUS_ERRORS = [
    (kraus([], [EYE2]), "Kraus operation requires at least one target"),
    (kraus([4], [EYE2]), "invalid or duplicate Kraus target qubit"),
    (kraus([1, 1], [EYE4]), "invalid or duplicate Kraus target qubit"),
    (kraus([-1], [EYE2], "bit_flip"), "invalid or duplicate Kraus target qubit"),
    (kraus([0, 1], [EYE2]), "Kraus matrix dimension does not match targets"),
    (kraus([0], [EYE4]), "Kraus matrix dimension does not match targets"),
    (kraus([0, 1], [np.full((2, 2), NAN)]), "Kraus matrix dimension does not match targets"),
    (kraus([0], [EYE2, [[0, NAN], [0, 0]]]), "Kraus matrices must contain only finite values"),
    # three matrices named bit_flip: a general map, so the 3-target limit of general maps applies
    (kraus([0, 1, 2, 3], [np.eye(16)] * 3, "bit_flip"), "GPU density Kraus supports at most 3 targets"),
    (kraus([0, 1, 2, 3], [np.eye(16)]), "GPU density Kraus supports at most 3 targets"),
    (kraus([0, 1, 2, 3], [np.eye(16)], "bit_flip"), "GPU density Kraus supports at most 3 targets"),
]


@pytest.mark.parametrize("op, message", KRAUS_ERRORS, ids=[m for _, m in KRAUS_ERRORS])
def test_kraus_validation_messages(op, message):
    with pytest.raises(RuntimeError) as error:
        run(random_rho(4, "complex128", 0), [op])
    assert str(error.value) == message


@pytest.mark.parametrize(
    "matrices",
    [np.eye(2), np.zeros((0, 2, 2)), np.zeros((1, 2, 3)), np.zeros((1, 0, 0)), np.zeros((1, 1, 2, 2)), [1, 2]],
    ids=["two-axes", "no-matrices", "not-square", "empty", "four-axes", "flat"],
)
def test_kraus_shape_is_checked_while_parsing(matrices):
    # Parsing comes before the qubit-count check of the run.
    state = dravik.DeviceDensityState.zero_state(2)
    with pytest.raises(RuntimeError, match=r"^Kraus matrices must have shape \(count, dimension, dimension\)$"):
        dravik.run_density_operations_device(state, 3, [unitary("h", [0]), kraus([0], matrices)])


@pytest.mark.parametrize("matrix", [np.zeros((2, 3)), np.zeros(4), np.zeros((1, 2, 2)), 1.0])
def test_stored_matrix_must_be_square(matrix):
    op = unitary("m", [0], matrix=np.eye(2))
    op.stored_matrix = matrix
    state = dravik.DeviceDensityState.zero_state(1)
    with pytest.raises(RuntimeError, match="^operation matrix must be square$"):
        dravik.run_density_operations_device(state, 1, [op])


@pytest.mark.parametrize("kind, text", [("unitary", "unitary"), (5, "5"), (None, "None"), ("Kraus", "Kraus")])
def test_unknown_operation_kind(kind, text):
    op = kraus([0], [EYE2])
    op.operation_kind = kind
    state = dravik.DeviceDensityState.zero_state(1)
    with pytest.raises(RuntimeError, match=f"^unsupported density operation kind '{text}'$"):
        dravik.run_density_operations_device(state, 1, [op])


@pytest.mark.parametrize("missing", ["id", "target", "control", "control_state", "parameter", "has_stored_matrix"])
def test_missing_unitary_attribute_raises_attribute_error(missing):
    op = unitary("h", [0])
    delattr(op, missing)
    state = dravik.DeviceDensityState.zero_state(1)
    with pytest.raises(AttributeError, match=missing):
        dravik.run_density_operations_device(state, 7, [op])  # parsing precedes the qubit-count check


def test_missing_stored_matrix_is_read_only_when_flagged():
    op = unitary("h", [0])
    op.has_stored_matrix = True
    state = dravik.DeviceDensityState.zero_state(1)
    with pytest.raises(AttributeError, match="stored_matrix"):
        dravik.run_density_operations_device(state, 1, [op])


def test_qubit_count_must_match_the_state_unless_the_list_is_empty():
    state = dravik.DeviceDensityState.zero_state(2)
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        dravik.run_density_operations_device(state, 3, [unitary("h", [0])])
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        dravik.run_density_operations_device(state, -1, [unitary("h", [0])])
    assert dravik.run_density_operations_device(state, 99, []) is None
    np.testing.assert_array_equal(state.to_numpy(), np.diag([1, 0, 0, 0]))


@pytest.mark.parametrize(
    "bad",
    [
        unitary("h", [4]),
        unitary("rz", [0], parameter=[NAN]),
        unitary("m", [0], matrix=np.eye(4)),
        kraus([0, 1], [EYE2]),
        kraus([0], [EYE2, [[0, INF], [1, 0]]], "bit_flip"),
        kraus([0, 1, 2, 3], [np.eye(16)]),
    ],
    ids=["target", "parameter", "matrix", "kraus-dimension", "channel", "general-kraus"],
)
@pytest.mark.parametrize("dtype", DTYPES)
def test_a_bad_last_operation_leaves_the_matrix_unchanged(bad, dtype):
    rho = random_rho(4, dtype, seed=19)
    state = dravik.DeviceDensityState.from_numpy(4, rho)
    good = [unitary("h", [0]), unitary("cx", [1], [0], [1]), unitary("m", [2, 3], matrix=np.eye(4)[::-1])]
    with pytest.raises(RuntimeError):
        dravik.run_density_operations_device(state, 4, good + [bad])
    np.testing.assert_array_equal(state.to_numpy(), rho)


# ---- fusion switch ----------------------------------------------------------------------


@pytest.mark.parametrize("value, n", [("0", 5), ("", 5), ("00", 5), ("1", 4), ("yes", 2)])
def test_fusion_off_or_below_five_qubits_runs_unfused(monkeypatch, value, n):
    monkeypatch.setenv("QUORRA_DENSITY_FUSION", value)
    rho = random_rho(n, "complex128", seed=23)
    ops = [unitary("h", [0]), unitary("crx", [1], [0], [0], parameter=[0.4])]
    expected = dm.apply_unitary(rho, dm.gate_matrix("h"), [0])
    expected = dm.apply_unitary(expected, dm.gate_matrix("rx", [0.4]), [1], [0], [0])
    assert_close(run(rho, ops), expected, "complex128")


def test_named_matrices_are_unitary_in_the_reference():
    # Guards the reference table itself: every matrix is unitary.
    for name in ALL_NAMES + ["swap"]:
        m = dm.gate_matrix(name, PARAMETERS[: dm.parameter_count(name)] if name != "swap" else [])
        np.testing.assert_allclose(m @ m.conj().T, np.eye(m.shape[0]), atol=1e-14)
    assert math.isclose(abs(dm.gate_matrix("t")[1, 1] - np.exp(1j * math.pi / 4)), 0, abs_tol=1e-15)
