"""Density operation objects as the scripting layer hands them to dravik: plain objects
with attributes, no base class."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np


def unitary(name, target, control=(), control_state=(), parameter=None, matrix=None):
    """A named operation, or an explicit matrix when `matrix` is given (the name is then unused)."""
    op = SimpleNamespace(
        id=name,
        target=list(target),
        control=list(control),
        control_state=list(control_state),
        parameter=None if parameter is None else list(parameter),
        has_stored_matrix=matrix is not None,
    )
    if matrix is not None:
        op.stored_matrix = np.asarray(matrix)
    return op


def kraus(target, matrices, channel_name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=np.asarray(matrices))
    if channel_name is not None:
        op.channel_name = channel_name
    return op


DTYPES = ["complex64", "complex128"]
TOLERANCE = {"complex64": 3e-6, "complex128": 1e-13}


def random_rho(n, dtype, seed):
    from reference import density as dm

    return dm.random_density(n, np.random.default_rng(seed)).astype(dtype)


def run(rho, operations, num_qubits=None):
    """Runs `operations` on a device copy of rho and returns the result as an array."""
    import dravik

    n = rho.shape[0].bit_length() - 1
    state = dravik.DeviceDensityState.from_numpy(n, rho)
    dravik.run_density_operations_device(state, n if num_qubits is None else num_qubits, operations)
    return state.to_numpy()


def assert_close(actual, expected, dtype, scale=1):
    assert actual.dtype == np.dtype(dtype)
    np.testing.assert_allclose(actual, expected, rtol=0, atol=scale * TOLERANCE[dtype])
