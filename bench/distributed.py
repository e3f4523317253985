"""Distributed state: bytes moved per rank, swap rounds and time for a QFT and a 20-layer
random circuit on 1, 2 and 4 ranks, the kept-permutation planner against the naive
swap-in/apply/swap-back baseline, with a GPU model line beside each measured case.

    python bench/distributed.py --out DIR [--n 16] [--layers 20]

Starts one `mpiexec -n K` per rank count (the ranks oversubscribe this machine's cores, so the
host times say little about scaling; bytes and rounds are exact). Writes DIR/distributed.json,
DIR/distributed.txt and, with matplotlib, DIR/distributed.png.

Model: each gate is one pass over the slice (read and write) at the device's copy bandwidth,
plus the bytes a rank sends at the link's bandwidth: NVLink about 450 GB/s a direction,
InfiniBand NDR about 50 GB/s. Printed for the measured n and scaled to n = 34 in complex64.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LINKS = {"NVLink": 450e9, "IB NDR": 50e9}
REPEATS = 7  # timed runs of each route for the one-rank comparison
GPU_COPY = 2.6e12  # bytes read plus written per second on an H100-class device (assumed)


def gate(name, target, control=(), parameter=()):
    control = list(control)
    return {"id": name, "target": list(target), "control": control, "control_state": [1] * len(control),
            "parameter": list(parameter)}  # fmt: skip


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        gates += [gate("cp", [j], [k], [math.pi / (1 << (j - k))]) for k in reversed(range(j))]
    return gates + [gate("swap", [q, n - 1 - q]) for q in range(n // 2)]


def random_layers(n, layers, seed):
    import numpy as np  # noqa: PLC0415

    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(layers):
        for q in range(n):
            name = ["rx", "ry", "rz", "h", "sqrtx"][int(rng.integers(5))]
            gates.append(gate(name, [q], parameter=[float(rng.uniform(-3, 3))] if name[0] == "r" else []))
        order = [int(q) for q in rng.permutation(n)]
        for i in range(0, n - 1, 2):
            gates.append(gate("cz" if i % 4 == 0 else "cx", [order[i]], [order[i + 1]]))
    return gates


def worker(args):
    sys.path[:0] = [p for p in os.environ.get("QUORRA_MODULE_DIRS", "").split(os.pathsep) if p]
    from mpi4py import MPI  # noqa: PLC0415

    import velqa  # noqa: PLC0415

    comm = MPI.COMM_WORLD
    circuits = {"qft": qft(args.n), f"random{args.layers}": random_layers(args.n, args.layers, 7)}
    rows = []
    for name, gates in circuits.items():
        for planner in ("kept", "naive"):
            state = velqa.DistributedState.zero_state(args.n, "complex128")
            state._set_swap_back(planner == "naive")
            velqa.run_circuit_device(state, [gate("h", [0])])  # warm-up, buffers allocated
            state.reset_comm_stats()
            comm.Barrier()
            start = time.perf_counter()
            velqa.run_circuit_device(state, gates)
            state.synchronize()
            comm.Barrier()
            seconds = time.perf_counter() - start
            stats = comm.allreduce(state.comm_stats["bytes_sent"], op=MPI.MAX)
            rows.append({"circuit": name, "planner": planner, "ranks": comm.Get_size(), "n": args.n,
                         "gates": len(gates), "seconds": seconds, "bytes_per_rank": stats,
                         "swap_rounds": state.comm_stats["swap_rounds"],
                         "slice_bytes": 16 << state.local_qubits})  # fmt: skip
        if comm.Get_size() == 1:
            # One rank against a plain DeviceState: the best of REPEATS runs each, taken in turns,
            # so that a busy moment of a small machine does not decide the ratio.
            single = velqa.DeviceState.zero_state(args.n)
            kept = velqa.DistributedState.zero_state(args.n, "complex128")
            best = {"DeviceState": math.inf, "kept": math.inf}
            for _ in range(REPEATS):
                for planner, state in (("DeviceState", single), ("kept", kept)):
                    start = time.perf_counter()
                    velqa.run_circuit_device(state, gates)
                    state.synchronize()
                    best[planner] = min(best[planner], time.perf_counter() - start)
            rows.append({"circuit": name, "planner": "DeviceState", "ranks": 1, "n": args.n, "gates": len(gates),
                         "seconds": best["DeviceState"], "bytes_per_rank": 0, "swap_rounds": 0,
                         "slice_bytes": 16 << args.n, "best_kept_seconds": best["kept"]})  # fmt: skip
    if comm.Get_rank() == 0:
        with open(args.worker_out, "w") as out:
            json.dump(rows, out)


def model(row, n=None, element=16):
    """Seconds on GPUs for this case's counters, at the measured n or scaled to n qubits."""
    scale = 1.0 if n is None else (element / 16) * 2.0 ** (n - row["n"])
    local = row["gates"] * 2 * row["slice_bytes"] * scale / GPU_COPY
    return {link: local + row["bytes_per_rank"] * scale / bw for link, bw in LINKS.items()}


def report(rows):
    lines = [f"{'circuit':<10} {'planner':<11} {'ranks':>5} {'rounds':>6} {'bytes/rank':>11} {'host s':>8} "
             f"{'model NVLink':>13} {'model IB':>10} {'n=34 c64 NVLink':>16} {'n=34 c64 IB':>12}"]  # fmt: skip
    for row in rows:
        here, big = model(row), model(row, 34, 8)
        lines.append(f"{row['circuit']:<10} {row['planner']:<11} {row['ranks']:>5} {row['swap_rounds']:>6} "
                     f"{row['bytes_per_rank']:>11} {row['seconds']:>8.4f} {here['NVLink']:>13.2e} "
                     f"{here['IB NDR']:>10.2e} {big['NVLink']:>16.3f} {big['IB NDR']:>12.3f}")  # fmt: skip
    lines.append("")
    for circuit in sorted({r["circuit"] for r in rows}):
        for ranks in sorted({r["ranks"] for r in rows if r["ranks"] > 1}):
            pick = {r["planner"]: r for r in rows if r["circuit"] == circuit and r["ranks"] == ranks}
            kept, naive = pick["kept"]["bytes_per_rank"], pick["naive"]["bytes_per_rank"]
            lines.append(f"{circuit} on {ranks} ranks: naive/kept bytes = {naive / kept if kept else math.inf:.2f}")
        single = next(r for r in rows if r["circuit"] == circuit and r["planner"] == "DeviceState")
        lines.append(f"{circuit} on 1 rank: DistributedState / DeviceState time = "
                     f"{single['best_kept_seconds'] / single['seconds']:.3f} (best of {REPEATS} each)")  # fmt: skip
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib.pyplot as plt  # noqa: PLC0415

    cases = [r for r in rows if r["planner"] != "DeviceState" and r["ranks"] > 1]
    labels = [f"{r['circuit']} {r['ranks']} ranks {r['planner']}" for r in cases]
    fig, ax = plt.subplots(figsize=(9, 0.35 * len(cases) + 1.5))
    ax.barh(range(len(cases)), [r["bytes_per_rank"] for r in cases],
            color=["tab:blue" if r["planner"] == "kept" else "tab:red" for r in cases])  # fmt: skip
    ax.set_yticks(range(len(cases)), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("bytes sent per rank")
    ax.set_title(f"distributed state, n = {cases[0]['n']} complex128: kept permutation vs naive swap-back")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default="build/bench-distributed")
    parser.add_argument("--n", type=int, default=16)
    parser.add_argument("--layers", type=int, default=20)
    parser.add_argument("--worker", action="store_true")
    parser.add_argument("--worker-out")
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return
    os.makedirs(args.out, exist_ok=True)
    env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_btl="self,sm", OMPI_MCA_pml="ob1")  # fmt: skip
    mpiexec = os.path.join(os.path.dirname(sys.executable), "mpiexec")
    rows = []
    for ranks in (1, 2, 4):
        part = os.path.join(args.out, f"ranks{ranks}.json")
        subprocess.run([mpiexec, "-n", str(ranks), "--oversubscribe", sys.executable, os.path.abspath(__file__),
                        "--worker", "--worker-out", part, "--n", str(args.n), "--layers", str(args.layers)],
                       check=True, env=env, cwd=ROOT, timeout=600)  # fmt: skip
        with open(part) as f:
            rows += json.load(f)
    text = report(rows)
    print(text)
    with open(os.path.join(args.out, "distributed.json"), "w") as out:
        json.dump(rows, out, indent=1)
    with open(os.path.join(args.out, "distributed.txt"), "w") as out:
        out.write(text + "\n")
    try:
        plot(rows, os.path.join(args.out, "distributed.png"))
    except ImportError:
        pass


if __name__ == "__main__":
    main()
