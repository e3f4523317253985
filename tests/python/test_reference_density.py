"""The density reference agrees with the independent state-vector reference on pure states,
and its seeded draw follows the Mersenne Twister reference."""

import numpy as np
import pytest
from reference import density as dm
from reference import statevector as sv
from reference.mt19937_64 import MT19937_64


@pytest.mark.parametrize("name", ["x", "y", "h", "s", "t", "sqrtx", "sqrty_dag", "rx", "ry", "rz", "u", "cp"])
def test_pure_state_evolution_matches_the_state_vector_reference(name):
    rng = np.random.default_rng(3)
    psi = sv.random_state(3, rng)
    sv_name = {"cp": "phase"}.get(name, name)
    params = [0.4, -0.7, 1.9][: dm.parameter_count(name)]
    out = sv.apply_matrix(psi, sv.gate_matrix(sv_name, params), [2], [0], [1])
    rho = dm.apply_unitary(np.outer(psi, psi.conj()), dm.gate_matrix(name, params), [2], [0], [1])
    np.testing.assert_allclose(rho, np.outer(out, out.conj()), atol=1e-13)


def test_multi_target_matrices_and_swap_match_the_state_vector_reference():
    rng = np.random.default_rng(4)
    psi = sv.random_state(4, rng)
    u = dm.random_unitary(8, rng)
    rho = dm.apply_unitary(np.outer(psi, psi.conj()), u, [3, 0, 2], [1], [0])
    rho = dm.apply_unitary(rho, dm.gate_matrix("swap"), [1, 3])
    out = sv.apply_swap(sv.apply_matrix(psi, u, [3, 0, 2], [1], [0]), 1, 3)
    np.testing.assert_allclose(rho, np.outer(out, out.conj()), atol=1e-13)


def test_kraus_with_one_unitary_is_the_unitary_map():
    rng = np.random.default_rng(5)
    rho = dm.random_density(2, rng)
    u = dm.random_unitary(2, rng)
    np.testing.assert_allclose(dm.apply_kraus(rho, [u], [1]), dm.apply_unitary(rho, u, [1]), atol=1e-14)


def test_predicted_outcome_uses_one_engine_output():
    rho = np.diag([0.25, 0.25, 0.5, 0.0]).astype(complex)
    u = (MT19937_64(42).next_u64() >> 11) * 2.0**-53 * np.nextafter(1.0, 2.0)
    expected = 0 if u <= 0.25 else 1 if u <= 0.5 else 2
    assert dm.predicted_outcome(rho, [1, 0], "little", 42) == format(expected, "02b")
    collapsed = dm.collapse(rho, [1, 0], "little", format(expected, "02b"))
    assert np.isclose(np.trace(collapsed), 1)


@pytest.mark.parametrize("name", dm.CHANNEL_NAMES)
def test_channel_kraus_sets_are_trace_preserving(name):
    for p in (0.0, 0.3, 1.0):
        total = sum(k.conj().T @ k for k in dm.channel_kraus(name, p))
        np.testing.assert_allclose(total, np.eye(2), atol=1e-15)


def test_random_kraus_sets():
    rng = np.random.default_rng(6)
    tp = dm.random_kraus(4, 3, rng)
    np.testing.assert_allclose(sum(k.conj().T @ k for k in tp), np.eye(4), atol=1e-14)
    other = dm.random_kraus(4, 3, rng, trace_preserving=False)
    assert not np.allclose(sum(k.conj().T @ k for k in other), np.eye(4))


@pytest.mark.parametrize("targets, controls, states", [([2], [], []), ([3, 0], [1], [0]), ([1, 4, 2], [0, 3], [1, 1])])
def test_applying_a_matrix_equals_the_product_with_its_full_operator(targets, controls, states):
    rng = np.random.default_rng(len(targets))
    rho = dm.random_density(5, rng)
    m = rng.normal(size=(1 << len(targets),) * 2) + 1j * rng.normal(size=(1 << len(targets),) * 2)
    full = dm.controlled_unitary(5, m, targets, controls, states)
    np.testing.assert_allclose(dm.apply_unitary(rho, m, targets, controls, states), full @ rho @ full.conj().T, atol=1e-12)
    kraus = dm.random_kraus(1 << len(targets), 2, rng)
    fulls = [dm.controlled_unitary(5, k, targets) for k in kraus]
    np.testing.assert_allclose(dm.apply_kraus(rho, kraus, targets), sum(f @ rho @ f.conj().T for f in fulls), atol=1e-12)
