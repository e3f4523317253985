"""SWAP and UNITARY kernels, as effective bandwidth: the bytes each gate must read and write
(every amplitude it changes, once each way) over its time, in both precisions.

SWAP ("gate-swap"): every kernel mode, uncontrolled and with one control, with both targets on
high qubits (coalesced pairs) and with a target on qubit 0 (PairAuto's own target-0 kernels).
UNITARY ("gate-unitary"): one to seven targets on the highest qubits in PairAuto (from three
targets on, every mode runs the same kernel), one and two targets with qubit 0 among them, and
the AllState and Pair shapes of one and two targets. The first state size gets the whole set,
larger ones the PairAuto figures only.
"""

import numpy as np

SECTOR = 32  # bytes: amplitudes that share a sector with a changed one move with it


def swap_record(q0, q1, control=()):
    return {"id": "swap", "target": [q0, q1], "control": list(control), "control_state": [1] * len(control),
            "parameter": []}  # fmt: skip


def unitary_record(targets, seed):
    rng = np.random.default_rng(seed)
    dim = 1 << len(targets)
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    matrix = q * (np.diag(r) / np.abs(np.diag(r)))
    return {"id": "unitary", "target": list(targets), "control": [], "control_state": [], "parameter": [],
            "matrix": matrix}  # fmt: skip


def swap_bytes(n, q0, q1, controls, width):
    # Half of the amplitudes (bits q0 and q1 differ) change; when the lower target is so low
    # that changed and unchanged amplitudes share sectors, the whole state moves. Controls sit
    # on high qubits, so the amplitudes they exclude fill whole sectors.
    changed = 1 << (n - 1 - controls)
    if (width << min(q0, q1)) < SECTOR:
        changed *= 2
    return 2 * width * changed


def register(bench):
    velqa = bench.velqa
    quick = bench.config.quick
    sync = bench.velqa_sync()
    modes = bench.velqa_modes()
    sizes = bench.config.sv_sizes[:1] if quick else bench.config.sv_sizes
    for size_index, n in enumerate(sizes):
        full = size_index == 0 and not quick
        for dtype in ("complex64", "complex128"):
            width = np.dtype(dtype).itemsize
            state = velqa.DeviceState.zero_state(n, dtype)

            def measure(family, label, gates, mode, nbytes, params):
                bench.bandwidth(
                    family,
                    f"{label} {mode} n={n} {dtype}",
                    lambda: velqa.run_circuit_device(state, gates, mode=modes[mode]),
                    nbytes,
                    sync,
                    {"n": n, "dtype": dtype, "mode": mode, **params},
                )

            # SWAP: (label, q0, q1, controls); the control sits just below the high targets.
            swaps = [("swap high", n - 1, n - 2, []), ("swap t0", 0, n - 1, [])]
            if not quick:
                swaps += [("swap high c=1", n - 1, n - 2, [n - 3]), ("swap t0 c=1", n - 1, 0, [n - 2])]
            swap_modes = ["AllState", "Pair", "PairAuto"] if full else ["PairAuto"]
            for label, q0, q1, control in swaps:
                for mode in swap_modes:
                    measure("gate-swap", label, [swap_record(q0, q1, control)], mode,
                            swap_bytes(n, q0, q1, len(control), width),
                            {"targets": [q0, q1], "controls": len(control)})  # fmt: skip

            # UNITARY: every amplitude is read and written once.
            state_bytes = 2 * width * (1 << n)
            widths = [1, 2, 5] if quick else range(1, 8)
            for k in widths:
                targets = list(range(n - 1, n - 1 - k, -1))
                measure("gate-unitary", f"unitary k={k} high", [unitary_record(targets, k)], "PairAuto", state_bytes,
                        {"k": k, "targets": targets})  # fmt: skip
            if full:
                for k, targets in ((1, [0]), (2, [0, n - 1]), (2, [n - 1, 0])):
                    measure("gate-unitary", f"unitary k={k} t={targets}", [unitary_record(targets, 10 + k)],
                            "PairAuto", state_bytes, {"k": k, "targets": targets})  # fmt: skip
                for k in (1, 2):
                    targets = list(range(n - 1, n - 1 - k, -1))
                    for mode in ("AllState", "Pair"):
                        measure("gate-unitary", f"unitary k={k} high", [unitary_record(targets, k)], mode,
                                state_bytes, {"k": k, "targets": targets})  # fmt: skip
            del state
