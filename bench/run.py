"""Runs the benchmark suite: every bench/cases_*.py file, then writes results.json,
results.txt, fractions.png, speedup.png and expectation.png (when matplotlib is present) into --out.

  python bench/run.py --out DIR [--build host|cuda] [--only TEXT] [--quick]
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import Bench, Config, format_entry  # noqa: E402


def gpu_present() -> bool:
    try:
        out = subprocess.run(["nvidia-smi", "-L"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    return out.returncode == 0 and "GPU" in out.stdout


def import_modules():
    for path in reversed(os.environ.get("QUORRA_MODULE_DIRS", "").split(os.pathsep)):
        if path and os.path.isdir(path):
            sys.path.insert(0, path)
    import velqa  # noqa: PLC0415

    try:
        import dravik  # noqa: PLC0415
    except ImportError:
        dravik = None
    return velqa, dravik


def bar_chart(rows: list[dict], values: list[float], labels: list[str], colours, reference: float, xlabel: str,
              title: str, path: str) -> None:
    """One horizontal bar per row, a line at the reference value, saved as a PNG."""
    import matplotlib.pyplot as plt  # noqa: PLC0415

    fig, ax = plt.subplots(figsize=(11, max(3.0, 0.22 * len(rows) + 1.5)))
    ax.barh(range(len(rows)), values, color=colours)
    ax.set_yticks(range(len(rows)), labels, fontsize=7)
    ax.invert_yaxis()
    ax.axvline(reference, color="black", linewidth=0.8)
    ax.set_xlabel(xlabel)
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def have_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: PLC0415
    except ImportError:
        return False
    matplotlib.use("Agg")
    return True


def plot(results: list[dict], copy_bandwidth: float, title: str, path: str) -> bool:
    rows = [r for r in results if "fraction" in r]
    if not rows or not have_matplotlib():
        return False
    import matplotlib.pyplot as plt  # noqa: PLC0415

    families = sorted({r["family"] for r in rows})
    colours = {f: plt.cm.tab10(i % 10) for i, f in enumerate(families)}
    bar_chart(
        rows,
        [100 * r["fraction"] for r in rows],
        [f"{r['family']}: {r['name']}" for r in rows],
        [colours[r["family"]] for r in rows],
        100,
        f"% of device-to-device copy bandwidth ({copy_bandwidth / 1e9:.1f} GB/s)",
        title,
        path,
    )
    return True


def plot_speedup(results: list[dict], title: str, path: str) -> bool:
    """Bars of the fused runs' speed-up over gate-by-gate execution (bench/cases_fusion.py)."""
    rows = [r for r in results if "speedup" in r]
    if not rows or not have_matplotlib():
        return False
    bar_chart(rows, [r["speedup"] for r in rows], [r["name"] for r in rows], "tab:green", 1,
              "speed-up over PairAuto (time per circuit)", title, path)  # fmt: skip
    return True


def plot_gate_passes(results: list[dict], title: str, path: str) -> bool:
    """Bars of the expectation-value calls' cost in single-gate passes (bench/cases_expectation.py),
    with the budget of one pass per flip mask and one for the Z-only strings as the line."""
    rows = [r for r in results if "gate_passes" in r]
    if not rows or not have_matplotlib():
        return False
    budget = rows[0]["params"].get("passes", 1)
    bar_chart(rows, [r["gate_passes"] for r in rows], [f"{r['family']}: {r['name']}" for r in rows], "tab:blue",
              budget, f"time in single-gate passes of the same state (line: {budget})", title, path)  # fmt: skip
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="folder for results.json, results.txt, fractions.png")
    parser.add_argument("--build", choices=["auto", "host", "cuda"], default="auto")
    parser.add_argument("--only", default=None, help="run only cases whose 'family/name' contains this text")
    parser.add_argument("--quick", action="store_true", help="smallest sizes, short timings (a smoke run)")
    args = parser.parse_args()

    build = args.build if args.build != "auto" else ("cuda" if gpu_present() else "host")
    if build == "cuda":
        config = Config(build, [28, 30], [12, 13, 14], args.quick, 0.05 if args.quick else 0.2)
    else:
        config = Config(build, [20], [10], args.quick, 0.02 if args.quick else 0.1)
    if args.quick:
        config.sv_sizes = config.sv_sizes[:1]
        config.dm_sizes = config.dm_sizes[:1]

    velqa, dravik = import_modules()
    os.makedirs(args.out, exist_ok=True)
    started = time.time()
    bench = Bench(config, velqa, dravik, args.only)
    print(f"build={build} copy bandwidth {bench.copy_bandwidth / 1e9:.2f} GB/s", flush=True)
    def write_reports() -> None:
        report = {
            "build": build,
            "machine": platform.node(),
            "config": vars(config),
            "copy_bandwidth": bench.copy_bandwidth,
            "seconds": time.time() - started,
            "results": bench.results,
        }
        with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as handle:
            json.dump(report, handle, indent=1)
        with open(os.path.join(args.out, "results.txt"), "w", encoding="utf-8") as handle:
            handle.write(f"build={build} copy bandwidth {bench.copy_bandwidth / 1e9:.2f} GB/s\n")
            handle.writelines(format_entry(r) + "\n" for r in bench.results)

    # Reports are rewritten after every case file, so a run cut short by a time limit
    # still leaves the figures it reached.
    for path in sorted(glob.glob(os.path.join(HERE, "cases_*.py"))):
        bench.run_case_file(path)
        write_reports()
    write_reports()
    drew = plot(bench.results, bench.copy_bandwidth, f"quorra {build} build", os.path.join(args.out, "fractions.png"))
    plot_speedup(bench.results, f"quorra {build} build: fusion", os.path.join(args.out, "speedup.png"))
    plot_gate_passes(bench.results, f"quorra {build} build: expectation values",
                     os.path.join(args.out, "expectation.png"))  # fmt: skip
    print(f"wrote {args.out}/results.json{' and fractions.png' if drew else ''} in {time.time() - started:.0f} s")
    return 1 if any(r["family"] == "error" for r in bench.results) else 0


if __name__ == "__main__":
    sys.exit(main())
