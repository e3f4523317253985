"""Benchmark harness: times cases registered by the bench/cases_*.py files and reports
each as a fraction of the machine's own device-to-device copy bandwidth, measured in the
same run (on the host build the device is the CPU, so the reference is a memory copy)."""

from __future__ import annotations

import ctypes
import ctypes.util
import dataclasses
import glob
import os
import time
import traceback
from typing import Callable, Optional

import numpy as np


@dataclasses.dataclass
class Config:
    build: str  # "host" or "cuda"
    sv_sizes: list[int]
    dm_sizes: list[int]
    quick: bool
    min_seconds: float


def _noop() -> None:
    pass


class _CudaRuntime:
    """Just enough of the CUDA runtime, through ctypes, to time a device-to-device copy
    without depending on the modules under test."""

    def __init__(self) -> None:
        candidates = [ctypes.util.find_library("cudart")]
        for root in (os.environ.get("CUDA_HOME", ""), "/usr/local/cuda"):
            if root:
                candidates += sorted(glob.glob(os.path.join(root, "lib64", "libcudart.so*")))
        candidates += sorted(glob.glob("/usr/local/cuda*/targets/*/lib/libcudart.so*"))
        last_error: Optional[Exception] = None
        for name in candidates:
            if not name:
                continue
            try:
                self.lib = ctypes.CDLL(name)
                return
            except OSError as error:
                last_error = error
        raise RuntimeError(f"libcudart not found: {last_error}")

    def check(self, status: int, what: str) -> None:
        if status != 0:
            raise RuntimeError(f"{what} failed with CUDA status {status}")

    def copy_bandwidth(self, nbytes: int, min_seconds: float) -> float:
        lib = self.lib
        src, dst = ctypes.c_void_p(), ctypes.c_void_p()
        self.check(lib.cudaMalloc(ctypes.byref(src), ctypes.c_size_t(nbytes)), "cudaMalloc")
        try:
            self.check(lib.cudaMalloc(ctypes.byref(dst), ctypes.c_size_t(nbytes)), "cudaMalloc")
            try:
                self.check(lib.cudaMemset(src, 0, ctypes.c_size_t(nbytes)), "cudaMemset")

                def run() -> None:
                    lib.cudaMemcpy(dst, src, ctypes.c_size_t(nbytes), 3)  # device to device

                def sync() -> None:
                    self.check(lib.cudaDeviceSynchronize(), "cudaDeviceSynchronize")

                seconds = time_call(run, sync, min_seconds)
            finally:
                lib.cudaFree(dst)
        finally:
            lib.cudaFree(src)
        return 2.0 * nbytes / seconds


def _host_copy_bandwidth(nbytes: int, min_seconds: float) -> float:
    src = np.ones(nbytes // 8, dtype=np.float64)
    dst = np.empty_like(src)
    seconds = time_call(lambda: np.copyto(dst, src), _noop, min_seconds)
    return 2.0 * nbytes / seconds


def time_call(run: Callable[[], None], sync: Callable[[], None], min_seconds: float) -> float:
    """Seconds per call of run(): one warm-up, then batches grown until a batch lasts
    min_seconds; the best of three batches (the least disturbed) is kept."""
    run()
    sync()
    reps = 1
    while True:
        start = time.perf_counter()
        for _ in range(reps):
            run()
        sync()
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds or reps >= 1 << 20:
            break
        reps = max(reps * 2, int(reps * min_seconds / max(elapsed, 1e-9) * 1.2))
    best = elapsed / reps
    for _ in range(2):
        start = time.perf_counter()
        for _ in range(reps):
            run()
        sync()
        best = min(best, (time.perf_counter() - start) / reps)
    return best


class Bench:
    def __init__(self, config: Config, velqa, dravik, only: Optional[str]) -> None:
        self.config = config
        self.velqa = velqa
        self.dravik = dravik
        self.only = only
        self.results: list[dict] = []
        self.copy_bandwidth = self._measure_copy_bandwidth()

    def velqa_sync(self) -> Callable[[], None]:
        """Waits for all velqa work queued on device 0: a synchronous device-to-host copy
        of a 1-qubit state is ordered after every earlier kernel on the default stream."""
        tiny = self.velqa.DeviceState.zero_state(1)
        return lambda: tiny.to_numpy()

    def velqa_modes(self) -> dict:
        """The per-gate kernel modes by name."""
        return {"AllState": self.velqa.AllState, "Pair": self.velqa.Pair, "PairAuto": self.velqa.PairAuto}

    def _measure_copy_bandwidth(self) -> float:
        nbytes = (64 << 20) if self.config.quick else (512 << 20)
        if self.config.build == "cuda":
            return _CudaRuntime().copy_bandwidth(nbytes, self.config.min_seconds)
        return _host_copy_bandwidth(nbytes, self.config.min_seconds)

    def _selected(self, family: str, name: str) -> bool:
        return self.only is None or self.only in f"{family}/{name}"

    def bandwidth(self, family: str, name: str, run, bytes_moved: float, sync=_noop, params=None) -> None:
        if not self._selected(family, name):
            return
        seconds = time_call(run, sync, self.config.min_seconds)
        achieved = bytes_moved / seconds
        self._record(
            family,
            name,
            params,
            seconds=seconds,
            bytes_moved=bytes_moved,
            bandwidth=achieved,
            fraction=achieved / self.copy_bandwidth,
        )

    def rate(self, family: str, name: str, run, items: float, unit: str, sync=_noop, params=None) -> None:
        if not self._selected(family, name):
            return
        seconds = time_call(run, sync, self.config.min_seconds)
        self._record(family, name, params, seconds=seconds, items=items, unit=unit, rate=items / seconds)

    def _record(self, family: str, name: str, params, **values) -> None:
        entry = {"family": family, "name": name, "params": params or {}, **values}
        self.results.append(entry)
        print(format_entry(entry), flush=True)

    def run_case_file(self, path: str) -> None:
        namespace: dict = {"__name__": os.path.splitext(os.path.basename(path))[0], "__file__": path}
        try:
            with open(path, encoding="utf-8") as handle:
                exec(compile(handle.read(), path, "exec"), namespace)
            namespace["register"](self)
        except Exception as error:  # one broken case file must not hide the others' figures
            print(f"!! {os.path.basename(path)} failed: {error}", flush=True)
            traceback.print_exc()
            self.results.append(
                {"family": "error", "name": os.path.basename(path), "params": {}, "error": repr(error)}
            )


def format_extras(entry: dict) -> str:
    """The comparisons and memory figures some cases add to their entries."""
    text = ""
    for key in ("speedup", "vs_whole"):
        if entry.get(key) is not None:
            text += f"  {key}={entry[key]:.3f}"
    if entry.get("peak_bytes") is not None:
        text += f"  peak={entry['peak_bytes'] / (1 << 20):.2f} MiB"
    return text


def format_entry(entry: dict) -> str:
    label = f"{entry['family']:<14} {entry['name']:<52}"
    if "fraction" in entry:
        return (
            f"{label} {entry['seconds'] * 1e3:10.3f} ms {entry['bandwidth'] / 1e9:9.2f} GB/s"
            f" {100 * entry['fraction']:6.1f}% of copy{format_extras(entry)}"
        )
    if "rate" in entry:
        return f"{label} {entry['seconds'] * 1e3:10.3f} ms {entry['rate']:12.4g} {entry['unit']}"
    return f"{label} ERROR {entry.get('error', '')}"
