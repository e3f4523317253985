"""Density expectation values Tr(rho P) and probabilities: random density matrices and Pauli
strings of every letter against the reference, Hamiltonians with real and complex
coefficients, probabilities against the reference marginals and the measurement's seeded
draw, every refusal with the state unchanged, and bit-for-bit determinism over threads."""

import os
import subprocess
import sys
import textwrap

import dravik
import numpy as np
import pytest
from reference import density as dm
from reference import pauli
from refusals import assert_refused_unchanged

DTYPES = ["complex64", "complex128"]


def tolerance(dtype):
    return {"rtol": 2e-5, "atol": 2e-6} if dtype == "complex64" else {"rtol": 1e-11, "atol": 1e-12}


def random_rho(n, dtype, seed):
    return dm.random_density(n, np.random.default_rng(seed)).astype(dtype)


def random_strings(n, rng, count):
    strings = []
    for _ in range(count):
        qubits = [int(q) for q in rng.permutation(n)[: rng.integers(0, n + 1)]]
        strings.append(("".join(rng.choice(list("IXYZixyz"), size=len(qubits))), qubits))
    return strings


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [1, 2, 4, 6, 9])
def test_random_strings_match_reference(dtype, n):
    rng = np.random.default_rng(n)
    host = random_rho(n, dtype, seed=n)
    strings = random_strings(n, rng, 40 if n < 9 else 12)
    strings += [strings[0], ("Y" * n, list(range(n)))]
    state = dravik.DeviceDensityState.from_numpy(n, host)
    got = dravik.pauli_expectations_device(state, strings)
    expected = [pauli.density_expectation(host, *s) for s in strings]
    assert got.dtype == np.float64 and got.shape == (len(strings),)
    np.testing.assert_allclose(got, expected, **tolerance(dtype))
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("letters", ["Y", "XY", "YY", "YYY", "ZYX", "YYYY"])
def test_pure_state_agrees_with_the_state_vector_value(letters):
    # rho = |psi><psi| gives <psi|P|psi>: the same phase rule through the other module's path.
    n = len(letters)
    psi = dm.random_unitary(1 << n, np.random.default_rng(n))[:, 0]
    qubits = list(range(n))[::-1]
    state = dravik.DeviceDensityState.from_numpy(n, np.outer(psi, psi.conj()))
    got = dravik.pauli_expectations_device(state, [(letters, qubits)])
    assert got[0] == pytest.approx(pauli.expectation(psi, letters, qubits), abs=1e-13)


@pytest.mark.parametrize("dtype", DTYPES)
def test_hamiltonian_real_and_complex_coefficients(dtype):
    n = 5
    rng = np.random.default_rng(3)
    host = random_rho(n, dtype, seed=3)
    strings = random_strings(n, rng, 20)
    coefficients = rng.normal(size=len(strings))
    state = dravik.DeviceDensityState.from_numpy(n, host)
    values = np.array([pauli.density_expectation(host, *s) for s in strings])
    real = dravik.expectation_device(state, list(zip(coefficients, strings)))
    assert type(real) is float
    assert real == pytest.approx(float(coefficients @ values), abs=tolerance(dtype)["atol"] * 40)
    terms = list(zip(coefficients, strings)) + [(0.5j, strings[0])]
    mixed = dravik.expectation_device(state, terms)
    assert type(mixed) is complex
    assert mixed == pytest.approx(complex(coefficients @ values) + 0.5j * values[0], abs=tolerance(dtype)["atol"] * 40)
    empty = dravik.expectation_device(state, [])
    assert type(empty) is float and empty == 0.0


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("n, targets", [(1, [0]), (3, [2, 0]), (6, [1, 5, 3]), (5, [4, 3, 2, 1, 0])])
def test_probabilities_match_marginals_and_the_measured_outcome(dtype, endian, n, targets):
    host = random_rho(n, dtype, seed=n + len(targets))
    state = dravik.DeviceDensityState.from_numpy(n, host)
    got = dravik.probabilities_device(state, targets, endian)
    positions = [t if endian == "little" else n - 1 - t for t in targets]
    expected = pauli.marginal(np.real(np.diag(host)).astype(np.float64), n, positions)
    np.testing.assert_allclose(got, expected, **tolerance(dtype))
    np.testing.assert_array_equal(state.to_numpy(), host)
    # The measurement's string reads targets[0] first; bit j of the index here is targets[j].
    outcome = dravik.measure_device(state, targets, endian, seed=77)
    assert outcome == dm.predicted_outcome(host, targets, endian, 77)
    assert got[int(outcome[::-1], 2)] > 0


REFUSALS = [
    (lambda s: dravik.pauli_expectations_device(s, [("XZ", [0])]), "Pauli string 0: 2 letters for 1 qubits"),
    (lambda s: dravik.pauli_expectations_device(s, [("I", [0]), ("W", [0])]),
     "Pauli string 1: letter 'W' is not one of I, X, Y, Z"),
    (lambda s: dravik.pauli_expectations_device(s, [("X", [3])]), "Pauli string 0: qubit 3 out of range [0, 3)"),
    (lambda s: dravik.pauli_expectations_device(s, [("X", [-2])]), "Pauli string 0: qubit -2 out of range [0, 3)"),
    (lambda s: dravik.pauli_expectations_device(s, [("XX", [1, 1])]), "Pauli string 0: qubit 1 repeated"),
    (lambda s: dravik.pauli_expectations_device(s, [("X", 0)]), "Pauli string 0: qubits must be a sequence of integers"),
    (lambda s: dravik.pauli_expectations_device(s, [("X", [0.5])]),
     "Pauli string 0: qubits must be a sequence of integers"),
    (lambda s: dravik.pauli_expectations_device(s, ["X0"]), "Pauli string 0 must be a (letters, qubits) pair"),
    (lambda s: dravik.expectation_device(s, [(float("-inf"), ("X", [0]))]), "term 0: coefficient is not finite"),
    (lambda s: dravik.expectation_device(s, [(1, ("X", [0])), (1, ("X", [5]))]),
     "Pauli string 1: qubit 5 out of range [0, 3)"),
    (lambda s: dravik.expectation_device(s, [(None, ("X", [0]))]), "term 0: coefficient must be a real or complex number"),
    (lambda s: dravik.expectation_device(s, [(1.0, "X", [0])]), "term 0 must be a (coefficient, paulis) pair"),
    (lambda s: dravik.expectation_device(s, [("X", [0])]), "term 0: coefficient must be a real or complex number"),
    (lambda s: dravik.probabilities_device(s, [0], "little "), "endian must be 'little' or 'big'"),
    (lambda s: dravik.probabilities_device(s, []), "measure targets must not be empty"),
    (lambda s: dravik.probabilities_device(s, [3]), "measure target index out of range"),
    (lambda s: dravik.probabilities_device(s, [0, 0]), "duplicate measure target index"),
]  # fmt: skip


@pytest.mark.parametrize("call, message", REFUSALS)
def test_refusals_name_the_fault_and_leave_the_state(call, message):
    host = random_rho(3, "complex128", seed=1)
    state = dravik.DeviceDensityState.from_numpy(3, host)
    assert_refused_unchanged(lambda: call(state), message, state, host)


def test_results_are_bit_identical_on_every_run_and_thread_count():
    script = textwrap.dedent(
        """
        import numpy as np, dravik
        rng = np.random.default_rng(8)
        n = 9
        a = rng.normal(size=(1 << n, 1 << n)) + 1j * rng.normal(size=(1 << n, 1 << n))
        state = dravik.DeviceDensityState.from_numpy(n, a @ a.conj().T)
        strings = [("XYZ", [8, 0, 4]), ("ZZZZ", [1, 2, 3, 5]), ("Y", [7]), ("", [])]
        for _ in range(2):
            print(dravik.pauli_expectations_device(state, strings).tobytes().hex())
            print(dravik.expectation_device(state, [(0.3, s) for s in strings]).hex())
            print(dravik.probabilities_device(state, [8, 1]).tobytes().hex())
        """
    )
    outputs = []
    for threads in ("1", "4"):
        env = dict(os.environ, QUORRA_HOSTCUDA_SPREAD="1", QUORRA_HOSTCUDA_THREADS=threads,
                   PYTHONPATH=os.path.dirname(dravik.__file__))  # fmt: skip
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        lines = run.stdout.split()
        assert len(lines) == 6 and lines[:3] == lines[3:]
        outputs.append(lines)
    assert outputs[0] == outputs[1]
