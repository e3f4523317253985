"""Density fusion (QUORRA_DENSITY_FUSION): fused runs give the matrix of unfused runs and of
the NumPy reference, for random noisy circuits on 5 to 10 qubits in both precisions, the
unitary-plus-channel pairs of one-qubit groups, fused tiles of four and five qubits, and
refused lists. Group kinds and the planner's rules are checked by the C++ planner tests."""

import dravik
import numpy as np
import pytest
from dravik_ops import DTYPES, assert_close, kraus, random_rho, run, unitary
from reference import density as dm

ON = ["1", "yes", "true", "false"]
OFF = ["0", "", "00"]
ONE_QUBIT_NAMES = ["h", "rx", "ry", "rz", "t", "s_dag", "x", "y", "sqrtx", "p", "u", "gp"]


def named(name, target, controls=(), states=(), params=()):
    """The operation and its reference matrix step."""
    op = unitary(name, [target], controls, states, list(params) or None)
    return op, lambda rho: dm.apply_unitary(rho, dm.gate_matrix(name, params), [target], controls, states)


def random_noisy_circuit(n, length, rng, local=None):
    """(operations, reference steps): named gates with and without controls, explicit 1- and
    2-target unitaries, swaps, the five channels and general Kraus maps. `local` limits most
    operations to the lowest qubits, so that fused tiles arise."""
    ops, steps = [], []
    span = n if local is None else local

    def qubit():
        return int(rng.integers(0, span if rng.random() < 0.85 else n))

    while len(ops) < length:
        q = qubit()
        other = qubit()
        other = other if other != q else (q + 1) % n
        kind = rng.integers(0, 10)
        if kind <= 2:
            name = ONE_QUBIT_NAMES[int(rng.integers(0, len(ONE_QUBIT_NAMES)))]
            params = [float(x) for x in rng.uniform(-3, 3, dm.parameter_count(name))]
            op, step = named(name, q, params=params)
        elif kind == 3:
            name = ["cx", "crz", "ch", "cz", "cp"][int(rng.integers(0, 5))]
            params = [float(x) for x in rng.uniform(-3, 3, dm.parameter_count(name))]
            op, step = named(name, q, [other], [int(rng.integers(0, 2))], params)
        elif kind <= 6:
            name = dm.CHANNEL_NAMES[int(rng.integers(0, 5))]
            matrices = dm.channel_kraus(name, float(rng.uniform(0, 1)))
            op = kraus([q], matrices, name)
            step = lambda rho, m=matrices, t=q: dm.apply_kraus(rho, m, [t])  # noqa: E731
        elif kind == 7:
            u = dm.random_unitary(2, rng)
            op = unitary("m", [q], matrix=u)
            step = lambda rho, u=u, t=q: dm.apply_unitary(rho, u, [t])  # noqa: E731
        elif kind == 8:
            if rng.random() < 0.5:
                op, step = unitary("swap", [q, other]), None
                step = lambda rho, a=q, b=other: dm.apply_unitary(rho, dm.gate_matrix("swap"), [a, b])  # noqa: E731
            else:
                u = dm.random_unitary(4, rng)
                op = unitary("m", [q, other], matrix=u)
                step = lambda rho, u=u, a=q, b=other: dm.apply_unitary(rho, u, [a, b])  # noqa: E731
        else:
            targets = [q] if rng.random() < 0.5 else [q, other]
            matrices = dm.random_kraus(1 << len(targets), int(rng.integers(1, 4)), rng)
            op = kraus(targets, matrices)
            step = lambda rho, m=matrices, t=targets: dm.apply_kraus(rho, m, t)  # noqa: E731
        ops.append(op)
        steps.append(step)
    return ops, steps


def expected_of(rho, steps):
    out = rho
    for step in steps:
        out = step(out)
    return out


def run_with(monkeypatch, value, rho, ops):
    monkeypatch.setenv("QUORRA_DENSITY_FUSION", value)
    return run(rho, ops)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [5, 6, 7, 8])
def test_random_noisy_circuit_fused_matches_the_reference(monkeypatch, n, dtype):
    rng = np.random.default_rng(n)
    ops, steps = random_noisy_circuit(n, 40, rng, local=5 if n >= 8 else None)
    rho = random_rho(n, dtype, seed=n)
    expected = expected_of(rho, steps)
    assert_close(run_with(monkeypatch, "1", rho, ops), expected, dtype, scale=4)
    assert_close(run_with(monkeypatch, "0", rho, ops), expected, dtype, scale=4)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [9, 10])
def test_random_noisy_circuit_fused_equals_unfused_on_larger_registers(monkeypatch, n, dtype):
    rng = np.random.default_rng(20 + n)
    ops, _ = random_noisy_circuit(n, 60 if n == 9 else 30, rng, local=6)
    rho = random_rho(n, dtype, seed=n)
    fused = run_with(monkeypatch, "1", rho, ops)
    unfused = run_with(monkeypatch, "0", rho, ops)
    assert_close(fused, unfused, dtype, scale=4)
    # the run did change rho, and kept its trace
    assert np.abs(fused - rho).max() > 1e-3
    assert abs(np.trace(fused) - np.trace(rho.astype(complex))) < 1e-4


@pytest.mark.parametrize("dtype", DTYPES)
def test_fused_group_of_five_qubits_matches_the_reference(monkeypatch, dtype):
    # n = 9: every single-qubit kind (matrix, diagonal, flip, channel) with and without
    # controls inside qubits 0..4, which the planner fuses into one tile.
    rng = np.random.default_rng(31)
    items = [
        named("h", 0),
        named("crz", 1, [0], [1], [0.7]),
        named("cx", 2, [4], [0]),
        named("t", 3),
        named("gp", 4, [], [], [0.3]),
        named("gp", 4, [2], [1], [0.3]),
        named("x", 1),
        named("u", 4, [], [], [0.3, -0.5, 1.1]),
        named("ch", 3, [1, 2], [1, 0]),
    ]
    ops = [op for op, _ in items]
    steps = [step for _, step in items]
    for q, name in enumerate(dm.CHANNEL_NAMES):
        matrices = dm.channel_kraus(name, 0.3 + 0.1 * q)
        ops.append(kraus([q], matrices, name))
        steps.append(lambda rho, m=matrices, t=q: dm.apply_kraus(rho, m, [t]))
    u = dm.random_unitary(2, rng)
    ops.append(unitary("m", [2], [0], [0], matrix=u))
    steps.append(lambda rho: dm.apply_unitary(rho, u, [2], [0], [0]))
    rho = random_rho(9, dtype, seed=31)
    assert_close(run_with(monkeypatch, "yes", rho, ops), expected_of(rho, steps), dtype, scale=4)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", dm.CHANNEL_NAMES)
def test_unitary_then_channel_in_a_one_qubit_group(monkeypatch, name, dtype):
    # n = 5 allows one active qubit, so each qubit's run of operations is a one-qubit
    # group, and an explicit or named dense unitary followed by the channel runs as one pass.
    rng = np.random.default_rng(len(name))
    u = dm.random_unitary(2, rng)
    matrices = dm.channel_kraus(name, 0.35)
    ops = [
        unitary("rx", [2], parameter=[0.8]),
        kraus([2], matrices, name),
        unitary("m", [2], matrix=u),
        kraus([2], matrices, name),
        unitary("gp", [2], parameter=[1.0]),  # a no-op inside the group
        unitary("z", [2]),  # diagonal: no pairing
        kraus([2], matrices, name),
    ]
    rho = random_rho(5, dtype, seed=40)
    expected = dm.apply_unitary(rho, dm.gate_matrix("rx", [0.8]), [2])
    expected = dm.apply_kraus(expected, matrices, [2])
    expected = dm.apply_kraus(dm.apply_unitary(expected, u, [2]), matrices, [2])
    expected = dm.apply_kraus(dm.apply_unitary(expected, dm.gate_matrix("z"), [2]), matrices, [2])
    assert_close(run_with(monkeypatch, "1", rho, ops), expected, dtype)


@pytest.mark.parametrize("value", ON + OFF)
def test_every_switch_value_gives_the_reference_result(monkeypatch, value):
    rng = np.random.default_rng(50)
    ops, steps = random_noisy_circuit(8, 24, rng, local=4)
    rho = random_rho(8, "complex128", seed=50)
    assert_close(run_with(monkeypatch, value, rho, ops), expected_of(rho, steps), "complex128", scale=4)


@pytest.mark.parametrize("n", [2, 4])
def test_four_qubits_or_fewer_run_as_without_fusion(monkeypatch, n):
    rng = np.random.default_rng(n)
    ops, steps = random_noisy_circuit(n, 20, rng)
    rho = random_rho(n, "complex64", seed=n)
    assert_close(run_with(monkeypatch, "1", rho, ops), expected_of(rho, steps), "complex64", scale=4)


@pytest.mark.parametrize("n", [5, 9])
def test_a_refused_list_leaves_the_matrix_unchanged_with_fusion_on(monkeypatch, n):
    monkeypatch.setenv("QUORRA_DENSITY_FUSION", "1")
    rho = random_rho(n, "complex128", seed=60)
    state = dravik.DeviceDensityState.from_numpy(n, rho)
    good = [unitary("h", [q]) for q in range(5)] + [kraus([1], dm.channel_kraus("depolarizing", 0.2), "depolarizing")]
    with pytest.raises(RuntimeError, match="^invalid or duplicate target qubit$"):
        dravik.run_density_operations_device(state, n, good + [unitary("h", [n])])
    np.testing.assert_array_equal(state.to_numpy(), rho)
