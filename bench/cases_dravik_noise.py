"""Density-matrix noise: each built-in channel, the unitary-plus-channel pass, general Kraus
maps on one to three targets, and a noisy layer run fused and unfused, as effective bandwidth
in both precisions.

Bytes are what each operation must read plus write. For the noisy layer (RX and a
depolarizing channel on every qubit, then CZ on alternating pairs) they are what the
operation-by-operation path moves (one full pass per RX and channel, three quarters of the
matrix per CZ), so the fused figure's excess over the unfused one is the fusion gain."""

import os
from types import SimpleNamespace

import numpy as np
from cases_dravik import _op, density_sizes  # the unitary cases' operations and sizes

CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]
# phase flip and phase damping only touch the coherences: half of the matrix
CHANNEL_FRACTION = {"phase_flip": 0.5, "phase_damping": 0.5}


def _unitary_op(name, target, control=(), parameter=None, matrix=None):
    return _op(name, target, control, [1] * len(control), parameter, matrix)


def _kraus_op(target, matrices, name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=np.asarray(matrices))
    if name is not None:
        op.channel_name = name
    return op


def _channel(name, target, p=0.1):
    """A named channel record; only its K1 carries the parameter."""
    k1 = {
        "bit_flip": [[0, np.sqrt(p)], [np.sqrt(p), 0]],
        "phase_flip": [[np.sqrt(p), 0], [0, -np.sqrt(p)]],
        "depolarizing": [[0, np.sqrt(p / 4)], [np.sqrt(p / 4), 0]],
        "amplitude_damping": [[0, np.sqrt(p)], [0, 0]],
        "phase_damping": [[np.sqrt(p), 0], [0, 0]],
    }[name]
    count = {"depolarizing": 4, "phase_damping": 3}.get(name, 2)
    return _kraus_op([target], [np.eye(2), k1] + [np.eye(2)] * (count - 2), name)


def _kraus_maps(k, count, seed):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(count << k, 1 << k)) + 1j * rng.normal(size=(count << k, 1 << k))
    q, _ = np.linalg.qr(z)
    return [q[i << k : (i + 1) << k] for i in range(count)]


def _noisy_layer(n):
    ops = []
    for q in range(n):
        ops.append(_unitary_op("rx", [q], parameter=[0.1 + 0.05 * q]))
        ops.append(_channel("depolarizing", q, 0.02))
    for q in range(0, n - 1, 2):
        ops.append(_unitary_op("cz", [q + 1], [q]))
    return ops, 2 * n + 0.75 * (n // 2)


def _mark_speedup(fused, unfused):
    """Adds the speed-up of a fused entry over its unfused counterpart (for the plot)."""
    if fused is not None and unfused is not None:
        fused["speedup"] = unfused["seconds"] / fused["seconds"]
        print(f"{'':<67}  speedup={fused['speedup']:.2f}", flush=True)


class _Fusion:
    """Sets QUORRA_DENSITY_FUSION for one case and restores it afterwards."""

    def __init__(self, value):
        self.value = value

    def __enter__(self):
        self.saved = os.environ.get("QUORRA_DENSITY_FUSION")
        os.environ["QUORRA_DENSITY_FUSION"] = self.value

    def __exit__(self, *exc):
        if self.saved is None:
            del os.environ["QUORRA_DENSITY_FUSION"]
        else:
            os.environ["QUORRA_DENSITY_FUSION"] = self.saved


def register(bench):
    dravik = bench.dravik
    if dravik is None:
        return
    for n, full, per_call in density_sizes(bench):
        mid = n // 2
        for dtype in ("complex64", "complex128"):
            matrix_bytes = np.dtype(dtype).itemsize * (1 << (2 * n))
            state = dravik.DeviceDensityState.zero_state(n, dtype)
            tiny = dravik.DeviceDensityState.zero_state(0, dtype)

            def case(family, name, ops, passes, fusion="0", s=state, t=tiny):
                """Runs one case; returns its result entry, or None when the case was left out."""
                before = len(bench.results)
                with _Fusion(fusion):
                    bench.bandwidth(
                        family,
                        f"n={n} {dtype} {name}",
                        lambda: dravik.run_density_operations_device(s, n, ops),
                        passes * 2 * matrix_bytes,
                        sync=t.to_numpy,
                        params={"n": n, "dtype": dtype, "case": name, "fusion": fusion},
                    )
                return bench.results[-1] if len(bench.results) > before else None

            for channel in CHANNELS if (full or bench.config.quick) else ["depolarizing"]:
                fraction = CHANNEL_FRACTION.get(channel, 1.0)
                case("dm_channel", f"{channel} target={mid}", [_channel(channel, mid)] * per_call, per_call * fraction)
            # A dense unitary followed by a channel on its qubit: one pass with fusion on.
            pair = [_unitary_op("ry", [mid], parameter=[0.3]), _channel("amplitude_damping", mid)] * per_call
            paired = case("dm_unitary_channel", f"ry+amplitude_damping target={mid}", pair, per_call, fusion="1")
            if full:
                separate = case("dm_unitary_channel", f"ry, amplitude_damping unfused target={mid}", pair, 2 * per_call)
                _mark_speedup(paired, separate)
            for k in (1, 2, 3):
                targets = list(range(n - k, n))[::-1] if k > 1 else [mid]
                for count in (1, 2, 3) if full else (2,):
                    op = _kraus_op(targets, _kraus_maps(k, count, 10 * k + count))
                    case("dm_kraus", f"K={k} m={count} targets={targets}", [op] * per_call, per_call)
            layer, passes = _noisy_layer(n)
            unfused = case("dm_noisy_layer", "unfused", layer, passes)
            _mark_speedup(case("dm_noisy_layer", "fused", layer, passes, fusion="1"), unfused)
            del state, tiny
