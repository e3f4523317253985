"""Expectation values on the device.

"expectation-paulis": 200 random Pauli strings on 20 distinct X/Y flip masks (ten strings each)
plus 20 Z-only strings, one pauli_expectations_device call on a complex128 state. The work is
21 read-only passes (20 flip masks and the Z-only group), so the call should cost at most the
time of 21 single-gate passes of the same state: "gate_passes" is its time over the time of one
H gate (run_circuit_device, one read and one write of the state) measured in the same run. The
bandwidth counts the 21 reads of the state. "expectation-naive" is the same work by the route a
caller has without this function: to_numpy and NumPy (grouped by mask as well), up to 24 qubits.

"expectation-pass": one flip mask with ten strings, as a fraction of the copy bandwidth: the
pass reads the state once; on a GPU it is the figure to hold against the read bandwidth.
"""

import numpy as np

MASKS = 20
PER_MASK = 10
Z_ONLY = 20
NAIVE_MAX_QUBITS = 24


def random_state(n, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return (v / np.linalg.norm(v)).astype(np.complex128)


def pauli_workload(n, rng):
    """(letters, qubits) strings: PER_MASK per flip mask, then Z_ONLY strings of Z and I."""
    strings = []
    for _ in range(MASKS):
        flips = [int(q) for q in rng.permutation(n)[: rng.integers(1, n + 1)]]
        for _ in range(PER_MASK):
            letters = "".join(rng.choice(["X", "Y"]) if q in flips else rng.choice(["I", "Z"]) for q in range(n))
            strings.append((letters, list(range(n))))
    for _ in range(Z_ONLY):
        strings.append(("".join(rng.choice(["I", "Z"], size=n)), list(range(n))))
    return strings


def naive_expectations(state, strings):
    """to_numpy, then per flip mask one product conj(psi[i ^ x]) psi[i] and per string its signs."""
    psi = state.to_numpy()
    index = np.arange(psi.size, dtype=np.int64)
    groups = {}
    for position, (letters, qubits) in enumerate(strings):
        x = sum(1 << q for letter, q in zip(letters, qubits) if letter in "XY")
        z = sum(1 << q for letter, q in zip(letters, qubits) if letter in "YZ")
        groups.setdefault(x, []).append((position, z, letters.count("Y")))
    values = np.empty(len(strings))
    for x, members in groups.items():
        products = np.conj(psi[index ^ x]) * psi
        for position, z, y in members:
            signs = 1 - 2 * (np.bitwise_count(index & z) & 1).astype(np.float64)
            values[position] = ((1j**y) * np.dot(products, signs)).real
    return values


def latest(bench, family):
    """The entry just recorded for `family`, or None when --only left the case out."""
    return bench.results[-1] if bench.results and bench.results[-1]["family"] == family else None


def register(bench):
    velqa = bench.velqa
    sync = bench.velqa_sync()
    rng = np.random.default_rng(2024)
    for n in bench.config.sv_sizes[:1] if bench.config.quick else bench.config.sv_sizes:
        state = velqa.DeviceState.from_numpy(n, random_state(n, n))
        strings = pauli_workload(n, rng)
        read_bytes = 16 * (1 << n)
        params = {"n": n, "dtype": "complex128", "strings": len(strings), "passes": MASKS + 1}

        gate = [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}]
        bench.bandwidth("expectation-unit", f"n={n} complex128 one H gate pass",
                        lambda s=state: velqa.run_circuit_device(s, gate), 2 * read_bytes, sync=sync,
                        params={"n": n, "dtype": "complex128"})  # fmt: skip
        unit = latest(bench, "expectation-unit")

        bench.bandwidth("expectation-paulis", f"n={n} complex128 {len(strings)} strings, {MASKS} masks + Z-only",
                        lambda s=state, p=strings: velqa.pauli_expectations_device(s, p), (MASKS + 1) * read_bytes,
                        params=params)  # fmt: skip
        device = latest(bench, "expectation-paulis")
        if device and unit:
            device["gate_passes"] = device["seconds"] / unit["seconds"]
            print(f"{'':<67}  gate_passes={device['gate_passes']:.2f} (budget {MASKS + 1})", flush=True)

        if n <= NAIVE_MAX_QUBITS:
            bench.bandwidth("expectation-naive", f"n={n} complex128 same strings, to_numpy + NumPy",
                            lambda s=state, p=strings: naive_expectations(s, p), (MASKS + 1) * read_bytes,
                            params=params)  # fmt: skip
            naive = latest(bench, "expectation-naive")
            if naive and unit:
                naive["gate_passes"] = naive["seconds"] / unit["seconds"]
                print(f"{'':<67}  gate_passes={naive['gate_passes']:.2f}", flush=True)
            if naive and device:
                print(f"{'':<67}  device route {naive['seconds'] / device['seconds']:.1f}x faster", flush=True)

        one_mask = strings[:PER_MASK]
        bench.bandwidth("expectation-pass", f"n={n} complex128 one flip mask, {PER_MASK} strings",
                        lambda s=state, p=one_mask: velqa.pauli_expectations_device(s, p), read_bytes,
                        params={"n": n, "dtype": "complex128", "strings": PER_MASK})  # fmt: skip
        del state
