"""Single-qubit gate kernels and per-gate circuits.

Kernels ("gate-1q"): each gate run alone on a DeviceState, as bandwidth: the bytes the gate must
read and write (every amplitude it changes, once each way) over its time. Every gate in PairAuto
with the target on qubit 0 and on the top qubit; a sweep of H over every target; the AllState and
Pair modes and controlled gates for a few representatives. The first state size gets the whole
set, larger ones the PairAuto figures only.

Circuits ("gate-circuit"): QFT, GHZ and layers of random rotations with CZ, run gate by gate in
PairAuto, in gates per second.
"""

import math

import numpy as np

ANGLES = {"rx": [0.3], "ry": [0.3], "rz": [0.3], "phase": [0.3], "u": [0.3, 0.5, 0.7], "gp": [0.3]}
GATES = ["h", "x", "y", "z", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "rx", "ry", "rz", "phase", "u"]
# diag(1, d): only the amplitudes with the target bit set change.
HALF_TOUCH = {"z", "s", "s_dag", "phase"}


def record(name, target, control=(), control_state=None):
    control = list(control)
    return {
        "id": name,
        "target": [target] if target is not None else [],
        "control": control,
        "control_state": list(control_state) if control_state is not None else [1] * len(control),
        "parameter": ANGLES.get(name, []),
    }


def bytes_moved(name, n, target, controls, width):
    # Controls sit on high qubits, so the amplitudes left alone fill whole 32-byte sectors and
    # need not move. A diagonal gate skips the target-bit-0 half only where the two halves do
    # not share sectors.
    changed = 1 << (n - controls)
    if name in HALF_TOUCH and (width << target) >= 32:
        changed //= 2
    return 2 * width * changed


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(record("h", j))
        for k in reversed(range(j)):
            gates.append(record("cp", j, [k]) | {"parameter": [math.pi / (1 << (j - k))]})
    for q in range(n // 2):
        gates.append({"id": "swap", "target": [q, n - 1 - q], "control": [], "control_state": [], "parameter": []})
    return gates


def ghz(n):
    return [record("h", 0)] + [record("cx", q + 1, [q]) for q in range(n - 1)]


def random_layers(n, depth, rng):
    gates = []
    for layer in range(depth):
        for q in range(n):
            name = ["rx", "ry", "rz", "u"][rng.integers(4)]
            gates.append(record(name, q) | {"parameter": [float(a) for a in rng.uniform(0, 6.28, len(ANGLES[name]))]})
        for q in range(layer % 2, n - 1, 2):
            gates.append(record("cz", q + 1, [q]))
    return gates


def register(bench):
    velqa = bench.velqa
    quick = bench.config.quick
    sync = bench.velqa_sync()
    modes = bench.velqa_modes()
    for size_index, n in enumerate(bench.config.sv_sizes):
        full = size_index == 0 and not quick
        for dtype in ("complex64", "complex128"):
            width = np.dtype(dtype).itemsize
            state = velqa.DeviceState.zero_state(n, dtype)

            def kernel(name, target, mode="PairAuto", controls=(), label=""):
                gates = [record(name, target, controls)]
                params = {"n": n, "dtype": dtype, "gate": name, "mode": mode, "target": target,
                          "controls": len(controls)}  # fmt: skip
                bench.bandwidth(
                    "gate-1q",
                    f"{name} {mode} t={target}{label} n={n} {dtype}",
                    lambda: velqa.run_circuit_device(state, gates, mode=modes[mode]),
                    bytes_moved(name, n, target, len(controls), width),
                    sync,
                    params,
                )

            for name in GATES[:3] if quick else GATES:
                for target in (0, n - 1):
                    kernel(name, target)
            if full:
                for target in range(1, n - 1):
                    kernel("h", target)
                for name in ("h", "x", "rx", "u"):
                    for mode in ("AllState", "Pair"):
                        for target in (0, n - 1):
                            kernel(name, target, mode)
                for name in ("h", "x", "phase", "u"):
                    for target in (0, n - 1):
                        for h in (1, 3):
                            # the highest qubits other than the target
                            controls = [q for q in range(n - 1, -1, -1) if q != target][:h]
                            kernel(name, target, "PairAuto", controls, f" c={h}")
                for mode in ("AllState", "Pair"):
                    kernel("h", n - 1, mode, [n - 2], " c=1")
                bench.bandwidth(
                    "gate-1q",
                    f"gp PairAuto n={n} {dtype}",
                    lambda: velqa.run_circuit_device(state, [record("gp", None)]),
                    2 * width * (1 << n),
                    sync,
                    {"n": n, "dtype": dtype, "gate": "gp"},
                )

            if size_index == 0:
                rng = np.random.default_rng(1)
                circuits = {"GHZ": ghz(n), "QFT": qft(n), "random-layers": random_layers(n, 2 if quick else 6, rng)}
                for label, gates in circuits.items():
                    bench.rate(
                        "gate-circuit",
                        f"{label} PairAuto n={n} {dtype} ({len(gates)} gates)",
                        lambda g=gates: velqa.run_circuit_device(state, g),
                        len(gates),
                        "gates/s",
                        sync,
                        {"n": n, "dtype": dtype, "circuit": label, "gates": len(gates)},
                    )
            del state
