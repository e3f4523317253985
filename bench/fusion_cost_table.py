"""Measures the fusion planner's cost table (kCostTable in velqa/fusion/velqa_fusion_planner.cpp)
on this machine and prints it in the table's own C++ form, ready to paste over the old one.

  python bench/fusion_cost_table.py [--sizes 14,16,18,20,22,24] [--dtype complex64] [--repeats 5]

For an n-qubit state and a group of k qubits (k = 1 to 7), each row holds the planner's two
estimates in one unit: a SparseShareMem pass costs, for every gate it applies, base + the
gate's weight (weight_x = weight_y = weight_swap = 0, weight_generic = 1, which fixes the unit:
the extra time of one general 2x2 gate over an X); a DenseMM product costs `dense`, whatever
the gate count. Measured here: the time per added gate of X, H, RZ (diagonal), RX (rxy) and
U (generic) in a SparseShareMem group of width k, and the time of a DenseMM group of width k,
each the best of --repeats runs of a chunk planned to take that one strategy.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cases_fusion import GateObject  # noqa: E402
from cases_gates import record  # noqa: E402
from run import import_modules  # noqa: E402

KINDS = {"x": [], "h": [], "rz": [0.3], "rx": [0.7], "u": [0.3, 0.5, 0.7]}
WIDTHS = range(1, 8)


def gates_on(name: str, k: int, count: int) -> list[GateObject]:
    """`count` gates `name` dealt round-robin over qubits 0..k-1: one group of width k."""
    return [GateObject(record(name, i % k) | {"parameter": list(KINDS[name])}) for i in range(count)]


def best_time(velqa, state, chunk, repeats: int) -> float:
    velqa.execute_prepared_fusion_chunk(state, chunk)  # warm-up
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        velqa.execute_prepared_fusion_chunk(state, chunk)
        best = min(best, time.perf_counter() - start)
    return best


def row(velqa, n: int, k: int, dtype: str, repeats: int, count: int) -> list[float]:
    state = velqa.DeviceState.zero_state(n, dtype)
    sparse = {"sparsesharemem_qubits": k, "pad_sparsesharemem": False, "densemm_max_qubits": 0}
    dense = {"sparsesharemem_qubits": k, "densemm_min_qubits": k, "densemm_max_qubits": k,
             "densemm_gate_threshold_scale": -1e30}
    per_gate = {}
    for name in KINDS:
        times = []
        for g in (count, 2 * count):
            chunk = velqa.prepare_fusion_chunk_gates(n, gates_on(name, k, g), **sparse)
            times.append(best_time(velqa, state, chunk, repeats))
        per_gate[name] = (times[1] - times[0]) / count
    unit = per_gate["u"] - per_gate["x"]
    if unit <= 0:
        raise SystemExit(f"n={n} k={k}: a U gate measured no slower than an X; rerun with more --repeats")
    chunk = velqa.prepare_fusion_chunk_gates(n, gates_on("u", k, count), **dense)
    dense_time = best_time(velqa, state, chunk, repeats)
    del state
    return [per_gate["x"] / unit, (per_gate["h"] - per_gate["x"]) / unit, (per_gate["rz"] - per_gate["x"]) / unit,
            (per_gate["rx"] - per_gate["x"]) / unit, dense_time / unit]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="14,16,18,20,22,24", help="the breakpoints of n, ascending")
    parser.add_argument("--dtype", default="complex64", choices=["complex64", "complex128"])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gates", type=int, default=32, help="gates of the shorter of the two timed groups")
    args = parser.parse_args()
    velqa, _ = import_modules()
    sizes = [int(s) for s in args.sizes.split(",")]
    rows = [[row(velqa, n, k, args.dtype, args.repeats, args.gates) for k in WIDTHS] for n in sizes]
    print(f"constexpr std::array<int64_t, {len(sizes)}> kCostSizes = {{{', '.join(map(str, sizes))}}};")
    print(f"constexpr double kCostTable[{len(sizes)}][{len(WIDTHS)}][5] = {{")
    for block in rows:
        lines = ["{" + ", ".join(f"{v:.10g}" for v in values) + "}" for values in block]
        print("    {" + ",\n     ".join(lines) + "},")
    print("};")


if __name__ == "__main__":
    main()
