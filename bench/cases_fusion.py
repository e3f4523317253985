"""The fusion engine against gate-by-gate execution.

Circuits ("fusion"): QFT, random layers (a rotation on every qubit, then CZ on alternating
pairs) and GHZ, each run three ways on one DeviceState: gate by gate (PairAuto), planned and
run inside the runner (PairAutoFusion), and as a chunk prepared once and executed
(execute_prepared_fusion_chunk). Each entry is time per circuit and effective bandwidth: the
traffic the gate-by-gate run needs (every gate reads and writes the state once) over the
time taken, as a fraction of the copy; fused runs exceed 100% by sharing passes. The fused
entries also carry the speed-up over PairAuto and the passes over the state per gate (their
time over gates x one single-gate pass).

Planning ("fusion-plan"): prepare_fusion_chunk_gates on the same circuits, next to their
execution, and on 10,000 random gates on 30 qubits (the streaming budget: planning chunk
i+1 must hide behind executing chunk i).
"""

import numpy as np

from cases_gates import ghz, qft, random_layers, record


class GateObject:
    """The scripting layer's gate objects as prepare_fusion_chunk_gates reads them."""

    def __init__(self, entry):
        self.id = entry["id"]
        self.target = entry["target"]
        self.control = entry["control"]
        self.control_state = entry["control_state"]
        self.parameter = entry["parameter"] or None
        self.matrix = None


def random_gates(n, count, rng):
    names = ["h", "x", "rx", "ry", "rz", "u", "cx", "cz", "swap"]
    angles = {"rx": 1, "ry": 1, "rz": 1, "u": 3}
    gates = []
    for _ in range(count):
        name = names[rng.integers(len(names))]
        a, b = (int(q) for q in rng.choice(n, 2, replace=False))
        if name == "swap":
            entry = record("h", a) | {"id": "swap", "target": [a, b], "parameter": []}
        elif name in ("cx", "cz"):
            entry = record(name, a, [b])
        else:
            entry = record(name, a) | {"parameter": [float(x) for x in rng.uniform(0, 6.28, angles.get(name, 0))]}
        gates.append(entry)
    return gates


def register(bench):
    velqa = bench.velqa
    quick = bench.config.quick
    sync = bench.velqa_sync()
    on_gpu = bench.config.build == "cuda"
    sizes = bench.config.sv_sizes if quick or not on_gpu else [24, 26, 28, 30]
    depth = 20 if on_gpu else (2 if quick else 6)
    results = bench.results
    for n in sizes:
        for dtype in ("complex64", "complex128"):
            width = np.dtype(dtype).itemsize
            state_bytes = 2 * width * (1 << n)
            state = velqa.DeviceState.zero_state(n, dtype)
            one = [record("h", n // 2)]
            bench.bandwidth(
                "fusion",
                f"single-gate pass n={n} {dtype}",
                lambda: velqa.run_circuit_device(state, one),
                state_bytes,
                sync,
                {"n": n, "dtype": dtype},
            )
            one_pass = results[-1]["seconds"] if results and results[-1]["name"].startswith("single") else None
            rng = np.random.default_rng(7)
            circuits = {"QFT": qft(n), "random-layers": random_layers(n, depth, rng), "GHZ": ghz(n)}
            for label, gates in circuits.items():
                objects = [GateObject(g) for g in gates]
                chunk = velqa.prepare_fusion_chunk_gates(n, objects)
                params = {"n": n, "dtype": dtype, "circuit": label, "gates": len(gates)}
                runs = {
                    "PairAuto": lambda g=gates: velqa.run_circuit_device(state, g),
                    "PairAutoFusion": lambda g=gates: velqa.run_circuit_device(state, g, mode=velqa.PairAutoFusion),
                    "prepared": lambda c=chunk: velqa.execute_prepared_fusion_chunk(state, c),
                }
                unfused = None
                for way, run in runs.items():
                    name = f"{label} {way} n={n} {dtype} ({len(gates)} gates)"
                    before = len(results)
                    bench.bandwidth("fusion", name, run, len(gates) * state_bytes, sync, params | {"way": way})
                    if len(results) == before:
                        continue
                    entry = results[-1]
                    if way == "PairAuto":
                        unfused = entry["seconds"]
                    elif unfused is not None:
                        entry["speedup"] = unfused / entry["seconds"]
                    if one_pass:
                        entry["passes_per_gate"] = entry["seconds"] / (len(gates) * one_pass)
                    extra = "".join(
                        f"  {key}={entry[key]:.2f}" for key in ("speedup", "passes_per_gate") if key in entry
                    )
                    if extra:
                        print(f"{'':<67}{extra}", flush=True)
                bench.rate(
                    "fusion-plan",
                    f"{label} plan n={n} {dtype} ({len(gates)} gates)",
                    lambda o=objects: velqa.prepare_fusion_chunk_gates(n, o),
                    len(gates),
                    "gates/s",
                    params=params,
                )
            del state
    rng = np.random.default_rng(3)
    count = 1000 if quick else 10000
    objects = [GateObject(g) for g in random_gates(30, count, rng)]
    bench.rate(
        "fusion-plan",
        f"random plan n=30 ({count} gates, parse included)",
        lambda: velqa.prepare_fusion_chunk_gates(30, objects),
        count,
        "gates/s",
        params={"n": 30, "gates": count},
    )
