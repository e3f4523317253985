"""Dense products over bounded chunks against one chunk of the whole state, in the same run:
a fused DenseMM group (a prepared chunk planned onto DenseMM) and UNITARY on six to eight
targets, at the first state size, in both precisions. The "whole" runs set
QUORRA_DENSEMM_CHUNK_BYTES to two states, so one GEMM covers every column through two
state-sized buffers, as before chunking; "chunked" runs use the default bound (the smaller of
1/16 of the state and 1 GiB). Bandwidth counts each amplitude read and written once. Each
path runs on a fresh thread, whose DenseMM cache starts empty, so on the host build the
stand-in's peak of device memory (state included) is the path's own; "vs_whole" is the whole
run's time over the chunked run's (above 1: chunking is faster).
"""

import ctypes
import os
import threading
import time

import numpy as np
from cases_fusion import GateObject
from harness import format_extras

CHUNK_VARIABLE = "QUORRA_DENSEMM_CHUNK_BYTES"


def record(name, target, control=(), parameter=(), matrix=None):
    entry = {"id": name, "target": list(target), "control": list(control), "control_state": [1] * len(control),
             "parameter": list(parameter)}  # fmt: skip
    if matrix is not None:
        entry["matrix"] = matrix
    return entry


def dense_layers(qubits, rng, layers=4):
    gates = []
    for _ in range(layers):
        gates += [record("u", [q], parameter=rng.uniform(-np.pi, np.pi, 3)) for q in qubits]
        gates += [record("x", [b], [a]) for a, b in zip(qubits, qubits[1:])]
    return gates


def random_unitary(dim, rng):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


class PeakMeter:
    """The host stand-in's peak of live device bytes (host build only; None on a GPU)."""

    def __init__(self, velqa, build):
        self.library = ctypes.CDLL(velqa.__file__) if build == "host" else None
        self.base = 0
        if self.library is not None:
            self.library._ZN8hostcuda20peak_allocated_bytesEv.restype = ctypes.c_size_t
            self.library._ZN8hostcuda15allocated_bytesEv.restype = ctypes.c_size_t

    def allocated(self):
        return 0 if self.library is None else self.library._ZN8hostcuda15allocated_bytesEv()

    def reset(self):
        """From here on the peak counts what is allocated above what is live now."""
        if self.library is not None:
            self.base = self.library._ZN8hostcuda15allocated_bytesEv()
            self.library._ZN8hostcuda26reset_peak_allocated_bytesEv()

    def peak(self):
        return None if self.library is None else self.library._ZN8hostcuda20peak_allocated_bytesEv() - self.base


def on_fresh_thread(work, meter):
    """A thread's DenseMM cache is freed when the thread exits, possibly after join()
    returns; waiting for the stand-in's bytes to fall back keeps those frees out of the next
    path's peak."""
    before = meter.allocated()
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    deadline = time.monotonic() + 10
    while meter.allocated() > before and time.monotonic() < deadline:
        time.sleep(0.001)


def register(bench):
    velqa = bench.velqa
    sync = bench.velqa_sync()
    meter = PeakMeter(velqa, bench.config.build)
    n = bench.config.sv_sizes[0]
    results = bench.results
    rng = np.random.default_rng(11)
    for dtype in ("complex64", "complex128"):
        width = np.dtype(dtype).itemsize
        state_bytes = width << n
        cases = []
        for k in (4, 7):
            qubits = sorted(int(q) for q in rng.permutation(n)[:k])
            options = {"densemm_gate_threshold_scale": 0.0, "densemm_min_qubits": k, "densemm_max_qubits": k,
                       "sparsesharemem_qubits": k, "pad_sparsesharemem": False}  # fmt: skip
            chunk = velqa.prepare_fusion_chunk_gates(n, [GateObject(g) for g in dense_layers(qubits, rng)], **options)
            cases.append((f"DenseMM k={k}", lambda s, c=chunk: velqa.execute_prepared_fusion_chunk(s, c), k))
        for k in (6, 7, 8):
            gate = [record("unitary", list(range(n - 1, n - 1 - k, -1)), matrix=random_unitary(1 << k, rng))]
            cases.append((f"UNITARY k={k}", lambda s, g=gate: velqa.run_circuit_device(s, g), k))
        for label, run, k in cases:
            seconds = {}
            for way, override in (("whole", str(2 * state_bytes)), ("chunked", None)):
                if override is None:
                    os.environ.pop(CHUNK_VARIABLE, None)
                else:
                    os.environ[CHUNK_VARIABLE] = override
                before = len(results)

                def measure(run=run, way=way, label=label, k=k):
                    meter.reset()
                    state = velqa.DeviceState.zero_state(n, dtype)
                    bench.bandwidth("dense-chunks", f"{label} {way} n={n} {dtype}", lambda: run(state),
                                    2 * state_bytes, sync, {"n": n, "dtype": dtype, "k": k, "way": way})  # fmt: skip

                try:
                    on_fresh_thread(measure, meter)
                finally:
                    os.environ.pop(CHUNK_VARIABLE, None)
                if len(results) == before:
                    continue
                entry = results[-1]
                entry["peak_bytes"] = meter.peak()
                seconds[way] = entry["seconds"]
                if way == "chunked" and "whole" in seconds:
                    entry["vs_whole"] = seconds["whole"] / entry["seconds"]
                print(f"{'':<67}{format_extras(entry)}", flush=True)
