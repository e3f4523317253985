"""Host-device transfers of a whole state: from_numpy, to_numpy and copy_to_numpy, with
and without page-locking the caller's buffer."""

import numpy as np


def register(bench):
    velqa = bench.velqa
    for n in bench.config.sv_sizes:
        for dtype in ("complex64", "complex128"):
            width = np.dtype(dtype).itemsize
            nbytes = 2 * width * (1 << n)  # read once and written once
            host = np.zeros(1 << n, dtype=dtype)
            host[0] = 1
            state = velqa.DeviceState.from_numpy(n, host)
            for pinned in (False, True):
                params = {"n": n, "dtype": dtype, "pinned": pinned}
                tag = f"n={n} {dtype} pinned={pinned}"
                bench.bandwidth(
                    "transfer", f"to_numpy {tag}", lambda s=state, p=pinned: s.to_numpy(p), nbytes, params=params
                )
                bench.bandwidth(
                    "transfer",
                    f"copy_to_numpy {tag}",
                    lambda s=state, p=pinned: s.copy_to_numpy(host, p),
                    nbytes,
                    params=params,
                )
                bench.bandwidth(
                    "transfer",
                    f"from_numpy {tag}",
                    lambda p=pinned: velqa.DeviceState.from_numpy(n, host, use_pinned_host=p),
                    nbytes,
                    params=params,
                )
            del state
