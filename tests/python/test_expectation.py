"""Expectation values and probabilities of a DeviceState: Pauli strings (every letter, shared
and repeated flip masks, more strings on one mask than one pass takes), Hamiltonians with real
and complex coefficients, dense matrices on 1 to 6 targets, marginal probabilities against the
reference and against what measurement draws, every refusal with the state unchanged, and
bit-for-bit determinism with blocks spread over threads."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import velqa
from reference import pauli
from reference import statevector as sv
from refusals import assert_refused_unchanged
from reference.mt19937_64 import MT19937_64

DTYPES = ["complex64", "complex128"]
ENDIANS = ["little", "big"]


def random_state(n, dtype, seed, scale=1.0):
    rng = np.random.default_rng(seed)
    return (scale * sv.random_state(n, rng)).astype(dtype)


def tolerance(dtype):
    return {"rtol": 2e-5, "atol": 2e-6} if dtype == "complex64" else {"rtol": 1e-11, "atol": 1e-12}


def random_strings(n, rng, count, masks=None):
    """Random strings of every letter; with `masks`, each string flips one of those qubit sets
    (X or Y on them, I or Z elsewhere), so many strings share a flip mask."""
    strings = []
    for _ in range(count):
        qubits = [int(q) for q in rng.permutation(n)[: rng.integers(1, n + 1)]]
        if masks is None:
            letters = "".join(rng.choice(list("IXYZixyz"), size=len(qubits)))
        else:
            flips = masks[rng.integers(len(masks))]
            qubits = sorted(set(qubits) | set(flips), key=lambda q: rng.random())
            letters = "".join(rng.choice(list("XY")) if q in flips else rng.choice(list("IZ")) for q in qubits)
        strings.append((letters, qubits))
    return strings


def reference_values(host, n, strings, endian):
    def position(q):
        return q if endian == "little" else n - 1 - q

    return np.array([pauli.expectation(host, letters, [position(q) for q in qubits]) for letters, qubits in strings])


# ---- Pauli strings -------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
# 16 qubits: the flip passes (15 work bits) take whole groups of rounds in the GPU's layout, the
# Z-only pass (16) the host stand-in's contiguous runs.
@pytest.mark.parametrize("n", [1, 3, 7, 12, 16])
def test_random_strings_match_reference(dtype, endian, n):
    rng = np.random.default_rng(n)
    host = random_state(n, dtype, seed=n)
    count = 30 if n <= 12 else 6  # the reference takes a pass per letter
    strings = random_strings(n, rng, count)
    masks = [[int(q) for q in rng.permutation(n)[: rng.integers(1, n + 1)]] for _ in range(3)]
    strings += random_strings(n, rng, count, masks)
    strings += [strings[0], strings[-1]]  # the same string twice
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.pauli_expectations_device(state, strings, endian)
    assert got.dtype == np.float64 and got.shape == (len(strings),)
    np.testing.assert_allclose(got, reference_values(host, n, strings, endian), **tolerance(dtype))
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("dtype", DTYPES)
def test_more_strings_on_one_mask_than_one_pass_takes(dtype):
    # 40 distinct strings flip qubits 1 and 4 and 40 flip nothing: three passes each.
    n = 9
    rng = np.random.default_rng(5)
    host = random_state(n, dtype, seed=9)
    strings = []
    for z in rng.permutation(1 << (n - 2))[:40]:
        rest = [q for q in range(n) if q not in (1, 4)]
        strings.append(("XY" + "".join("Z" if (z >> j) & 1 else "I" for j in range(n - 2)), [1, 4] + rest))
        strings.append(("".join("Z" if (z >> j) & 1 else "I" for j in range(n - 2)), rest))
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.pauli_expectations_device(state, strings)
    np.testing.assert_allclose(got, reference_values(host, n, strings, "little"), **tolerance(dtype))


@pytest.mark.parametrize(
    "amplitudes, letters, expected",
    [
        ([1, 1j], "Y", 1.0),  # |+i>
        ([1, -1j], "Y", -1.0),  # |-i>
        ([1, 1], "X", 1.0),
        ([1, -1], "X", -1.0),
        ([0, 1], "Z", -1.0),
        ([1, 0], "I", 1.0),
    ],
)
def test_single_qubit_eigenstates_give_their_eigenvalue(amplitudes, letters, expected):
    host = np.array(amplitudes, dtype=np.complex128) / np.linalg.norm(amplitudes)
    state = velqa.DeviceState.from_numpy(1, host)
    assert velqa.pauli_expectations_device(state, [(letters, [0])])[0] == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("letters", ["XY", "YX", "YY", "YYY", "XYZ", "YZY", "YYYY", "ZYX"])
def test_phase_of_several_y_letters(letters):
    # An eigenstate of the string with eigenvalue -1 built from the reference: (I - P)|phi>.
    n = len(letters)
    qubits = list(range(n))[::-1]
    phi = random_state(n, "complex128", seed=len(letters))
    host = phi - pauli.apply_string(phi, letters, qubits)
    host /= np.linalg.norm(host)
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.pauli_expectations_device(state, [(letters, qubits), (letters.lower(), qubits)])
    np.testing.assert_allclose(got, [-1.0, -1.0], atol=1e-13)


def test_unnormalised_state_is_not_divided_by_its_norm():
    host = random_state(4, "complex128", seed=3, scale=2.0)  # norm squared 4
    state = velqa.DeviceState.from_numpy(4, host)
    got = velqa.pauli_expectations_device(state, [("I", [0]), ("", []), ("XZ", [3, 0])])
    np.testing.assert_allclose(got, [4.0, 4.0, pauli.expectation(host, "XZ", [3, 0])], rtol=1e-12)


def test_no_strings_give_an_empty_array():
    state = velqa.DeviceState.from_numpy(2, random_state(2, "complex128", seed=1))
    got = velqa.pauli_expectations_device(state, [])
    assert got.dtype == np.float64 and got.shape == (0,)


# ---- Hamiltonians --------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
def test_hamiltonian_with_real_coefficients_is_a_float(dtype, endian):
    n = 6
    rng = np.random.default_rng(11)
    host = random_state(n, dtype, seed=11)
    strings = random_strings(n, rng, 25)
    coefficients = list(rng.normal(size=len(strings)))
    coefficients[0] = 3  # an int
    coefficients[1] = np.float32(0.25)
    terms = list(zip(coefficients, strings))
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.expectation_device(state, terms, endian)
    expected = float(np.dot(np.array(coefficients, dtype=np.float64), reference_values(host, n, strings, endian)))
    assert type(got) is float
    assert got == pytest.approx(expected, rel=tolerance(dtype)["rtol"], abs=tolerance(dtype)["atol"] * 30)


@pytest.mark.parametrize("complex_coefficient", [0.5 - 2j, np.complex64(0.5 - 2j), np.complex128(0.5 - 2j)])
def test_one_complex_coefficient_makes_the_result_complex(complex_coefficient):
    n = 4
    host = random_state(n, "complex128", seed=2)
    terms = [(1.5, ("ZZ", [0, 1])), (complex_coefficient, ("XY", [2, 3])), (-1, ("Y", [1]))]
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.expectation_device(state, terms)
    expected = sum(complex(c) * pauli.expectation(host, *s) for c, s in terms)
    assert type(got) is complex
    assert got == pytest.approx(expected, rel=1e-12)


def test_empty_hamiltonian_is_zero():
    state = velqa.DeviceState.from_numpy(2, random_state(2, "complex128", seed=1))
    got = velqa.expectation_device(state, [])
    assert type(got) is float and got == 0.0


# ---- dense matrices ------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("n", [6, 11])
def test_matrix_expectation_matches_reference(dtype, k, n):
    rng = np.random.default_rng(10 * n + k)
    host = random_state(n, dtype, seed=k)
    targets = [int(t) for t in rng.permutation(n)[:k]]
    matrix = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))  # not Hermitian
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.matrix_expectation_device(state, matrix, targets)
    assert type(got) is complex
    expected = pauli.matrix_expectation(host, matrix, targets)
    scale = np.abs(matrix).sum()
    assert abs(got - expected) <= tolerance(dtype)["rtol"] * scale
    np.testing.assert_array_equal(state.to_numpy(), host)


def test_matrix_accepts_real_and_nested_list_input():
    host = random_state(3, "complex128", seed=4)
    state = velqa.DeviceState.from_numpy(3, host)
    got = velqa.matrix_expectation_device(state, [[1, 2], [0, -1]], [2])
    assert got == pytest.approx(pauli.matrix_expectation(host, np.array([[1, 2], [0, -1]]), [2]), rel=1e-12)


# ---- probabilities -------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("n, targets", [(1, [0]), (5, [3, 0]), (9, [2, 8, 5]), (12, [11, 0, 6, 3, 9])])
def test_probabilities_match_reference_marginals(dtype, endian, n, targets):
    host = random_state(n, dtype, seed=n)
    state = velqa.DeviceState.from_numpy(n, host)
    got = velqa.probabilities_device(state, targets, endian)
    positions = [t if endian == "little" else n - 1 - t for t in targets]
    wide = host.astype(np.complex128)
    expected = pauli.marginal(wide.real**2 + wide.imag**2, n, positions)
    assert got.dtype == np.float64
    np.testing.assert_allclose(got, expected, **tolerance(dtype))
    np.testing.assert_array_equal(state.to_numpy(), host)


def test_probability_index_bit_j_is_targets_j():
    host = np.zeros(8, dtype=np.complex128)
    host[0b001] = 1  # qubit 0 is 1
    state = velqa.DeviceState.from_numpy(3, host)
    assert list(velqa.probabilities_device(state, [0, 2])) == [0, 1, 0, 0]
    assert list(velqa.probabilities_device(state, [2, 0])) == [0, 0, 1, 0]
    assert list(velqa.probabilities_device(state, [0, 2], "big")) == [0, 0, 1, 0]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("n, targets", [(6, [4, 0, 2]), (11, [10, 1, 7, 3]), (8, list(range(8))[::-1])])
def test_measurement_draws_from_these_probabilities(dtype, endian, n, targets):
    # The suite's own engine and draw rule applied to the returned probabilities predict every
    # shot of the measurement exactly: both use the same sums.
    host = random_state(n, dtype, seed=n + 1)
    state = velqa.DeviceState.from_numpy(n, host)
    k = len(targets)
    probs = velqa.probabilities_device(state, targets, endian)
    # Measurement order: outcome o reads targets[0] as its most significant bit.
    by_outcome = np.array([probs[int(format(o, f"0{k}b")[::-1], 2)] for o in range(1 << k)])
    cumulative = np.cumsum(by_outcome)
    engine = MT19937_64(4242)
    shots = 300
    draws = []
    for _ in range(shots):
        r = engine.next_unit() * cumulative[-1]
        draws.append(min(int(np.searchsorted(cumulative, r, side="right")), len(cumulative) - 1))
    counts, last = velqa.sample_measure_device(state, targets, shots, endian, seed=4242, collapse_last=False)
    expected = {}
    for o in draws:
        expected[format(o, f"0{k}b")] = expected.get(format(o, f"0{k}b"), 0) + 1
    assert counts == expected and last == format(draws[-1], f"0{k}b")
    assert velqa.measure_device(state, targets, endian, seed=4242) == format(draws[0], f"0{k}b")


# ---- refusals ------------------------------------------------------------------------------


REFUSALS = [
    (lambda s: velqa.pauli_expectations_device(s, [("X", [0])], "Little"), "endian must be 'little' or 'big'"),
    (lambda s: velqa.pauli_expectations_device(s, [("XZ", [0])]), "Pauli string 0: 2 letters for 1 qubits"),
    (lambda s: velqa.pauli_expectations_device(s, [("X", [0]), ("Q", [1])]),
     "Pauli string 1: letter 'Q' is not one of I, X, Y, Z"),
    (lambda s: velqa.pauli_expectations_device(s, [("XZ", [4, 1])]), "Pauli string 0: qubit 4 out of range [0, 4)"),
    (lambda s: velqa.pauli_expectations_device(s, [("XZ", [0, -1])]), "Pauli string 0: qubit -1 out of range [0, 4)"),
    (lambda s: velqa.pauli_expectations_device(s, [("XZY", [2, 1, 2])]), "Pauli string 0: qubit 2 repeated"),
    # Checked letter by letter: the bad letter comes before the bad qubit.
    (lambda s: velqa.pauli_expectations_device(s, [("ZQ", [9, 0])]), "Pauli string 0: qubit 9 out of range [0, 4)"),
    (lambda s: velqa.pauli_expectations_device(s, [("QZ", [0, 9])]),
     "Pauli string 0: letter 'Q' is not one of I, X, Y, Z"),
    (lambda s: velqa.pauli_expectations_device(s, ["XZ"]), "Pauli string 0 must be a (letters, qubits) pair"),
    (lambda s: velqa.pauli_expectations_device(s, [("X", [0], 1)]), "Pauli string 0 must be a (letters, qubits) pair"),
    (lambda s: velqa.pauli_expectations_device(s, [(["X"], [0])]), "Pauli string 0: letters must be a str"),
    (lambda s: velqa.pauli_expectations_device(s, [("X", 0)]), "Pauli string 0: qubits must be a sequence of integers"),
    (lambda s: velqa.expectation_device(s, [(1.0, ("X", [0]))], "middle"), "endian must be 'little' or 'big'"),
    (lambda s: velqa.expectation_device(s, [(1.0, ("X", [0])), (float("nan"), ("Z", [1]))]),
     "term 1: coefficient is not finite"),
    (lambda s: velqa.expectation_device(s, [(complex(1, float("inf")), ("Z", [1]))]),
     "term 0: coefficient is not finite"),
    (lambda s: velqa.expectation_device(s, [(float("inf"), ("Z", [7]))]), "Pauli string 0: qubit 7 out of range [0, 4)"),
    (lambda s: velqa.expectation_device(s, [("a", ("Z", [1]))]), "term 0: coefficient must be a real or complex number"),
    (lambda s: velqa.expectation_device(s, [(1.0, "Z", [1])]), "term 0 must be a (coefficient, paulis) pair"),
    (lambda s: velqa.matrix_expectation_device(s, np.eye(2), []), "matrix targets size must be in [1, 6]"),
    (lambda s: velqa.matrix_expectation_device(s, np.eye(128), list(range(7))), "matrix targets size must be in [1, 6]"),
    (lambda s: velqa.matrix_expectation_device(s, np.eye(2), [4]), "matrix target index out of range"),
    (lambda s: velqa.matrix_expectation_device(s, np.eye(4), [1, 1]), "duplicate matrix target index"),
    (lambda s: velqa.matrix_expectation_device(s, np.eye(2), [0, 1]), "matrix must have shape (2**k, 2**k) for k targets"),
    (lambda s: velqa.matrix_expectation_device(s, np.ones(4), [0]), "matrix must have shape (2**k, 2**k) for k targets"),
    (lambda s: velqa.matrix_expectation_device(s, np.ones((2, 4)), [0]), "matrix must have shape (2**k, 2**k) for k targets"),
    (lambda s: velqa.matrix_expectation_device(s, np.diag([1, np.nan]), [0]), "matrix entries must be finite"),
    (lambda s: velqa.probabilities_device(s, [0], "BIG"), "endian must be 'little' or 'big'"),
    (lambda s: velqa.probabilities_device(s, []), "measure targets size must be in [1, 62]"),
    (lambda s: velqa.probabilities_device(s, [4]), "measure target index out of range"),
    (lambda s: velqa.probabilities_device(s, [1, 1]), "duplicate measure target index"),
]  # fmt: skip


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("call, message", REFUSALS)
def test_refusals_name_the_fault_and_leave_the_state(dtype, call, message):
    host = random_state(4, dtype, seed=7)
    state = velqa.DeviceState.from_numpy(4, host)
    assert_refused_unchanged(lambda: call(state), message, state, host)


# ---- determinism ---------------------------------------------------------------------------


DETERMINISM_SCRIPT = textwrap.dedent(
    """
    import numpy as np, velqa
    rng = np.random.default_rng(3)
    n = 14
    for dtype in ("complex64", "complex128"):
        host = (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(dtype)
        state = velqa.DeviceState.from_numpy(n, host)
        strings = [("XYZ" * 3, [13, 0, 7, 2, 9, 4, 11, 6, 1]), ("ZZ", [3, 12]), ("Y", [0]), ("XX", [5, 13])]
        strings += [("XY" + "Z" * j, [13, 0] + list(range(1, j + 1))) for j in range(12)]
        terms = [(0.25 * j - 1, s) for j, s in enumerate(strings)]
        matrix = rng.normal(size=(16, 16)) + 1j * rng.normal(size=(16, 16))
        for _ in range(2):
            print(velqa.pauli_expectations_device(state, strings).tobytes().hex())
            print(velqa.expectation_device(state, terms).hex())
            value = velqa.matrix_expectation_device(state, matrix, [13, 2, 8, 0])
            print(value.real.hex(), value.imag.hex())
            print(velqa.probabilities_device(state, [1, 13, 6]).tobytes().hex())
    """
)


def test_results_are_bit_identical_on_every_run_and_thread_count():
    outputs = []
    for threads in ("1", "3", "4"):
        env = dict(
            os.environ,
            QUORRA_HOSTCUDA_SPREAD="1",
            QUORRA_HOSTCUDA_THREADS=threads,
            PYTHONPATH=os.path.dirname(velqa.__file__),
        )
        run = subprocess.run([sys.executable, "-c", DETERMINISM_SCRIPT], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        lines = run.stdout.split()
        assert len(lines) == 20
        # Five words per repetition, two repetitions per precision: repeated calls in one process.
        assert lines[0:5] == lines[5:10] and lines[10:15] == lines[15:20]
        outputs.append(lines)
    assert outputs[0] == outputs[1] == outputs[2]


def test_calls_free_their_device_buffers():
    # Under a tight emulated memory limit (host build), buffers leaked by succeeding or refused
    # calls would soon make allocations fail with an out-of-memory error.
    script = textwrap.dedent(
        """
        import numpy as np, velqa
        state = velqa.DeviceState.from_numpy(10, np.ones(1 << 10, np.complex128))
        strings = [("XZ", [0, 9]), ("Z", [3]), ("YY", [1, 2])]
        for _ in range(200):
            velqa.pauli_expectations_device(state, strings)
            velqa.expectation_device(state, [(1.0, s) for s in strings])
            velqa.matrix_expectation_device(state, np.eye(8), [1, 5, 9])
            velqa.probabilities_device(state, [0, 4])
            try:
                velqa.pauli_expectations_device(state, [("Q", [0])])
            except ValueError:
                pass
        print("ok")
        """
    )
    env = dict(os.environ, QUORRA_HOSTCUDA_MEMORY_LIMIT=str(3 * 16 * 1024 + 4096), PYTHONPATH=os.path.dirname(velqa.__file__))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"
