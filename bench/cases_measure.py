"""Measurement: the outcome-probability pass and many-shot sampling.

Probabilities ("measure-probs"): one seeded shot without collapse, as bandwidth: the pass must
read the whole state once and write 2^k doubles. Targets on the lowest k qubits and on the
highest k qubits, k from 1 to 20. The call also copies the 2^k probabilities to the host and
forms their running sums there, work that grows with 2^k and shows from k = 16 on;
"measure-probs-host" times the same call on a k-qubit state, where on a GPU the device pass
is negligible, so the pass alone takes about the difference of the two times.

Sampling ("measure-sample"): shots per second of sample_measure_device over 1, 10 and 20
targets, from 10^3 to 10^7 shots, counts dictionary included. The state has as many qubits as
targets, so the device pass is negligible and the figure is the host's drawing and counting.
"""

import numpy as np

K_FULL = [1, 2, 4, 8, 12, 16, 20]
K_QUICK = [1, 8, 20]


def random_state(n, dtype, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return (v / np.linalg.norm(v)).astype(dtype)


def register(bench):
    velqa = bench.velqa
    quick = bench.config.quick
    sizes = bench.config.sv_sizes[:1] if quick else bench.config.sv_sizes
    dtypes = ["complex64"] if quick else ["complex64", "complex128"]

    for n in sizes:
        for dtype in dtypes:
            state = velqa.DeviceState.from_numpy(n, random_state(n, dtype, seed=n))
            width = np.dtype(dtype).itemsize
            for k in [k for k in (K_QUICK if quick else K_FULL) if k <= n]:
                for layout, targets in (("low", list(range(k))), ("high", list(range(n - k, n)))):
                    params = {"n": n, "dtype": dtype, "k": k, "targets": layout}
                    bench.bandwidth(
                        "measure-probs",
                        f"n={n} {dtype} k={k} {layout} targets",
                        lambda s=state, t=targets: velqa.sample_measure_device(s, t, 1, seed=1, collapse_last=False),
                        width * (1 << n) + 8 * (1 << k),
                        params=params,
                    )
            del state

    for k in [k for k in (K_QUICK if quick else K_FULL) if k <= max(sizes)]:
        small = velqa.DeviceState.from_numpy(k, random_state(k, "complex64", seed=k))
        bench.rate(
            "measure-probs-host",
            f"k={k} same call on a {k}-qubit state",
            lambda s=small, t=list(range(k)): velqa.sample_measure_device(s, t, 1, seed=1, collapse_last=False),
            1,
            "calls/s",
            params={"k": k},
        )
        del small

    shot_counts = [10**3, 10**5] if quick else [10**3, 10**4, 10**5, 10**6, 10**7]
    for k in (1, 10, 20):
        state = velqa.DeviceState.from_numpy(k, random_state(k, "complex128", seed=k))
        targets = list(range(k))
        for shots in shot_counts:
            bench.rate(
                "measure-sample",
                f"k={k} shots={shots}",
                lambda s=state, t=targets, c=shots: velqa.sample_measure_device(s, t, c, seed=7, collapse_last=False),
                shots,
                "shots/s",
                params={"k": k, "shots": shots},
            )
        del state
