"""The single-qubit gates and GLOBAL_PHASE against the NumPy reference: every gate and alias,
every kernel mode, both precisions, with and without controls."""

import math
import zlib

import numpy as np
import pytest

import velqa
from gate_helpers import (
    DTYPES,
    MODES,
    SINGLE_TARGET,
    QuantumGate,
    angles,
    assert_matches_reference,
    gate,
    run_numpy,
    tolerance,
)
from reference import statevector as sv

N = 5

# (target, controls, control states): the layouts that pick every kernel shape in every mode.
LAYOUTS = {
    "target0": (0, [], []),
    "high-target": (3, [], []),
    "top-target": (N - 1, [], []),
    "target0-control-1": (0, [2], [1]),
    "target0-control-0": (0, [4], [0]),
    "high-target-control-1": (2, [0], [1]),
    "high-target-control-0": (3, [1], [0]),
    "controls-above-and-below": (2, [4, 0, 3], [1, 0, 1]),
    "target0-controls-above": (0, [3, 1], [0, 1]),
    "every-other-qubit-controls": (1, [0, 2, 3, 4], [1, 0, 1, 1]),
}


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("name", SINGLE_TARGET, ids=str)
def test_single_target_gate_matches_reference(name, layout, mode, dtype):
    rng = np.random.default_rng(zlib.crc32(f"{name}/{layout}".encode()))
    target, control, state = LAYOUTS[layout]
    g = gate(name, [target], control, state, angles(SINGLE_TARGET[name], rng))
    assert_matches_reference(sv.random_state(N, rng), [g], mode, dtype)


ALIASES = [a for a, canonical in sv.ALIASES.items() if canonical in SINGLE_TARGET and a != canonical]


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("name", ALIASES, ids=str)
def test_alias_is_its_gate_and_adds_no_control(name, mode, dtype):
    rng = np.random.default_rng(7)
    psi = sv.random_state(4, rng)
    count = sv.PARAMETER_COUNT[sv.ALIASES[name]]
    params = angles(count, rng)
    # No control list: a "c"/"mc" name alone is the plain gate.
    assert_matches_reference(psi, [gate(name, [1], parameter=params)], mode, dtype)
    assert_matches_reference(psi, [gate(name, [2], [0, 3], [1, 0], params)], mode, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("name, angle", [("t", math.pi / 4), ("ct", math.pi / 4), ("mct", math.pi / 4),
                                         ("t_dag", -math.pi / 4)])  # fmt: skip
def test_t_family_runs_as_phase(name, angle, mode, dtype):
    rng = np.random.default_rng(11)
    psi = sv.random_state(3, rng)
    start, out = run_numpy(psi, [gate(name, [1], [2], [1])], mode, dtype)
    expected = sv.apply_matrix(start.astype(complex), np.diag([1, np.exp(1j * angle)]), [1], [2], [1])
    np.testing.assert_allclose(out, expected, atol=tolerance(dtype))


@pytest.mark.parametrize("mode", MODES, ids=str)
def test_t_with_a_parameter_ends_with_two_and_fails_the_phase_count(mode):
    state = np.array(sv.random_state(2, np.random.default_rng(1)))
    before = state.copy()
    with pytest.raises(ValueError, match=r"^PHASE gate requires exactly one parameter\.$"):
        velqa.run_circuit(2, state, [gate("t", [0], parameter=[0.3])], mode=mode)
    np.testing.assert_array_equal(state, before)


@pytest.mark.parametrize("n", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("name", SINGLE_TARGET, ids=str)
def test_smallest_states(name, mode, dtype, n):
    rng = np.random.default_rng(n)
    params = angles(SINGLE_TARGET[name], rng)
    gates = [gate(name, [0], parameter=params), gate(name, [n - 1], parameter=params)]
    if n == 2:
        gates += [gate(name, [1], [0], [1], params), gate(name, [0], [1], [0], params)]
    assert_matches_reference(sv.random_state(n, rng), gates, mode, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("control, state", [([], []), ([0], [1]), ([2, 0], [0, 1])])
@pytest.mark.parametrize("name", ["gp", "global_phase", "gphase"])
def test_global_phase(name, control, state, mode, dtype):
    rng = np.random.default_rng(3)
    theta = 0.77
    psi = sv.random_state(3, rng)
    start, out = run_numpy(psi, [gate(name, [], control, state, [theta])], mode, dtype)
    expected = sv.apply_global_phase(start.astype(complex), theta, control, state)
    np.testing.assert_allclose(out, expected, atol=tolerance(dtype))


def test_global_phase_of_pi_negates_the_controlled_amplitudes():
    psi = np.arange(1, 5, dtype=np.complex128)
    out = velqa.run_circuit(2, psi.copy(), [gate("gp", [], parameter=[math.pi])])
    np.testing.assert_allclose(out, -psi, atol=1e-15)
    out = velqa.run_circuit(2, psi.copy(), [gate("gp", [], [0], [1], [math.pi])])
    np.testing.assert_allclose(out, [1, -2, 3, -4], atol=1e-15)


def random_circuit(n, count, rng):
    gates = []
    names = list(SINGLE_TARGET) + ["gp", "t", "t_dag", "sx", "cp"]
    for _ in range(count):
        name = names[rng.integers(len(names))]
        qubits = [int(q) for q in rng.permutation(n)]
        h = int(rng.integers(0, n))
        control, target = qubits[:h], qubits[h]
        state = [int(s) for s in rng.integers(0, 2, size=h)]
        if name == "gp":
            gates.append(gate(name, [], control, state, angles(1, rng)))
            continue
        canonical = sv.ALIASES[name]
        gates.append(gate(name, [target], control, state, angles(sv.PARAMETER_COUNT[canonical], rng)))
    return gates


@pytest.mark.parametrize("dtype", DTYPES, ids=["c64", "c128"])
def test_all_modes_agree_with_each_other_and_the_reference(dtype):
    rng = np.random.default_rng(2024)
    n = 7
    gates = random_circuit(n, 60, rng)
    psi = sv.random_state(n, rng)
    results = [run_numpy(psi, gates, mode, dtype)[1] for mode in MODES]
    expected = sv.run_gate_list(np.array(psi, dtype=dtype).astype(complex), gates)
    atol = 20 * tolerance(dtype)
    for out in results:
        np.testing.assert_allclose(out, expected, atol=atol)
        np.testing.assert_allclose(out, results[0], atol=atol)


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_device_state_runs_dictionaries_and_gate_objects(mode, dtype):
    rng = np.random.default_rng(5)
    n = 6
    gates = random_circuit(n, 25, rng)
    psi = sv.random_state(n, rng).astype(dtype)
    expected = sv.run_gate_list(psi.astype(complex), gates)

    state = velqa.DeviceState.from_numpy(n, psi)
    assert velqa.run_circuit_device(state, gates, "little", mode) is None
    np.testing.assert_allclose(state.to_numpy(), expected, atol=20 * tolerance(np.dtype(dtype)))

    objects = (QuantumGate(g["id"], g["target"], g["control"], g["control_state"], g["parameter"]) for g in gates)
    state = velqa.DeviceState.from_numpy(n, psi)
    velqa.run_circuit_device_gates(state, objects, mode=mode)  # a generator is an iterable too
    np.testing.assert_allclose(state.to_numpy(), expected, atol=20 * tolerance(np.dtype(dtype)))


def test_gate_objects_with_no_parameter_list_and_an_empty_chunk():
    state = velqa.DeviceState.zero_state(2)
    velqa.run_circuit_device_gates(state, [QuantumGate("h", [0], parameter=None)])
    velqa.run_circuit_device_gates(state, [])
    r = 1 / math.sqrt(2)
    np.testing.assert_allclose(state.to_numpy(), [r, r, 0, 0], atol=1e-15)


@pytest.mark.parametrize("endian", ["little", "big"])
def test_endian_text_does_not_change_qubit_order(endian):
    state = np.zeros(8, dtype=np.complex128)
    state[0] = 1
    velqa.run_circuit(3, state, [gate("x", [0]), gate("x", [2], [0], [1])], endian=endian)
    np.testing.assert_array_equal(state, np.eye(8)[0b101])


def test_a_matrix_on_another_gate_is_ignored():
    state = np.array([1, 0], dtype=np.complex128)
    velqa.run_circuit(1, state, [gate("x", [0], matrix=[[1, 0], [0, 1]])])
    np.testing.assert_array_equal(state, [0, 1])


def test_extra_targets_of_a_single_target_gate_are_ignored():
    state = np.array([1, 0, 0, 0], dtype=np.complex128)
    velqa.run_circuit(2, state, [gate("x", [1, 0])])
    np.testing.assert_array_equal(state, [0, 0, 1, 0])
