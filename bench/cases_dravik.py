"""Density-matrix kernels: dense unitaries on one to six targets, the diagonal and
permutation fast paths, and measurement, as effective bandwidth (bytes each operation must
read plus write) in both precisions."""

from types import SimpleNamespace

import numpy as np



def _op(name, target, control=(), control_state=(), parameter=None, matrix=None):
    op = SimpleNamespace(
        id=name,
        target=list(target),
        control=list(control),
        control_state=list(control_state),
        parameter=parameter,
        has_stored_matrix=matrix is not None,
    )
    if matrix is not None:
        op.stored_matrix = matrix
    return op


def _unitary(k, seed):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def _cases(n, full):
    """(family, name, operation, fraction of the matrix's elements read and written, passes)."""
    low, mid, high = 0, n // 2, n - 1
    cases = [
        ("dm_unitary1", f"target={high}", _op("u", [high], matrix=_unitary(1, 1)), 1.0, 1),
        ("dm_unitary2", f"targets={mid},{high}", _op("u", [mid, high], matrix=_unitary(2, 2)), 1.0, 1),
        # rz: only the blocks whose row and column differ in the target change
        ("dm_diagonal", f"rz target={mid}", _op("rz", [mid], parameter=[0.3]), 0.5, 1),
        ("dm_permutation", f"x target={mid}", _op("x", [mid]), 1.0, 1),
    ]
    if full:
        cases += [
            ("dm_unitary1", f"target={low}", _op("u", [low], matrix=_unitary(1, 3)), 1.0, 1),
            ("dm_unitary2", f"targets={high},{low}", _op("u", [high, low], matrix=_unitary(2, 4)), 1.0, 1),
            # a control satisfied by half of the rows and half of the columns
            ("dm_unitary1", f"controlled target={mid}", _op("u", [mid], [low], [1], matrix=_unitary(1, 5)), 0.75, 1),
            ("dm_diagonal", f"crz target={mid} control={low}", _op("crz", [mid], [low], [1], [0.3]), 0.75, 1),
            ("dm_permutation", f"swap targets={low},{high}", _op("swap", [low, high]), 0.75, 1),
            ("dm_permutation", f"cx target={mid} control={low}", _op("cx", [mid], [low], [1]), 7 / 16, 1),
        ]
        for k in (3, 4, 5, 6):
            # high targets, and the lowest ones, where the column pass's vectors are contiguous
            for targets in (list(range(n - k, n))[::-1], list(range(k))):
                op = _op("u", targets, matrix=_unitary(k, k))
                cases.append(("dm_unitary_wide", f"k={k} targets={targets}", op, 1.0, 2))  # a left and a right pass
    return cases


def density_sizes(bench):
    """(n, full, per_call) for each size of a density bench: `full` asks for every case (the
    largest size, unless a smoke run); `per_call` is how many operations one run call carries."""
    sizes = bench.config.dm_sizes
    # On a GPU one run call carries several operations, so its parsing, upload and final
    # synchronisation fade; the host build's kernels are slow enough without that.
    per_call = 4 if bench.config.build == "cuda" else 1
    for n in sizes:
        yield n, n == sizes[-1] and not bench.config.quick, per_call


def register(bench):
    dravik = bench.dravik
    if dravik is None:
        return
    for n, full, per_call in density_sizes(bench):
        for dtype in ("complex64", "complex128"):
            width = np.dtype(dtype).itemsize
            matrix_bytes = width * (1 << (2 * n))
            state = dravik.DeviceDensityState.zero_state(n, dtype)
            tiny = dravik.DeviceDensityState.zero_state(0, dtype)
            for family, name, op, fraction, passes in _cases(n, full):
                ops = [op] * per_call
                nbytes = per_call * passes * 2 * fraction * matrix_bytes
                bench.bandwidth(
                    family,
                    f"n={n} {dtype} {name}",
                    lambda s=state, o=ops: dravik.run_density_operations_device(s, n, o),
                    nbytes,
                    sync=tiny.to_numpy,
                    params={"n": n, "dtype": dtype, "case": name},
                )
            if full or bench.config.quick:
                # The state is a basis state here, so every repeated measurement is certain.
                bench.rate(
                    "dm_measure",
                    f"n={n} {dtype} targets=0..{n - 1}",
                    lambda s=state: dravik.measure_device(s, list(range(n)), "little", 5),
                    1,
                    "measurements",
                    sync=tiny.to_numpy,
                    params={"n": n, "dtype": dtype},
                )
            del state, tiny
