"""DeviceDensityState: factories, copies, properties, and every argument check in its order."""

from types import SimpleNamespace

import dravik
import numpy as np
import pytest

DTYPES = ["complex64", "complex128"]


def random_matrix(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    shape = (1 << n, 1 << n)
    return (rng.normal(size=shape) + 1j * rng.normal(size=shape)).astype(dtype)


def test_module_docstring():
    assert dravik.__doc__ == "CUDA dense density-matrix backend for quorra"


def test_no_python_constructor():
    with pytest.raises(TypeError, match="No constructor defined"):
        dravik.DeviceDensityState()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 3, 5])
def test_zero_state(n, dtype):
    state = dravik.DeviceDensityState.zero_state(n, dtype)
    expected = np.zeros((1 << n, 1 << n), dtype=dtype)
    expected[0, 0] = 1
    out = state.to_numpy()
    assert out.dtype == np.dtype(dtype) and out.flags.c_contiguous
    # Fresh device memory reads as NaN, so every zero here was written by the fill.
    np.testing.assert_array_equal(out, expected)
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 1 << n, dtype, 0)


def test_zero_state_defaults_to_complex128_on_device_0():
    state = dravik.DeviceDensityState.zero_state(2)
    assert (state.dtype, state.device_id, state.dimension, state.num_qubits) == ("complex128", 0, 4, 2)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 2, 4])
def test_from_numpy_round_trip_is_exact(n, dtype):
    host = random_matrix(n, dtype)
    state = dravik.DeviceDensityState.from_numpy(n, host)
    assert state.dtype == dtype
    out = state.to_numpy()
    np.testing.assert_array_equal(out, host)
    out[0, 0] = 42  # each to_numpy is a new array
    np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("dtype", DTYPES)
def test_copy_shares_nothing(dtype):
    host = random_matrix(2, dtype, seed=1)
    state = dravik.DeviceDensityState.from_numpy(2, host)
    clone = state.copy()
    assert (clone.num_qubits, clone.dtype, clone.device_id) == (2, dtype, 0)
    np.testing.assert_array_equal(clone.to_numpy(), host)
    # Changing one leaves the other alone, in both directions.
    flip = SimpleNamespace(id="x", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)
    dravik.run_density_operations_device(clone, 2, [flip])
    np.testing.assert_array_equal(state.to_numpy(), host)
    np.testing.assert_array_equal(clone.to_numpy(), host[[1, 0, 3, 2]][:, [1, 0, 3, 2]])
    dravik.run_density_operations_device(state, 2, [flip, flip])
    np.testing.assert_array_equal(clone.to_numpy(), host[[1, 0, 3, 2]][:, [1, 0, 3, 2]])


def test_from_numpy_checks_qubit_count_before_shape():
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\] for the GPU density backend$"):
        dravik.DeviceDensityState.from_numpy(16, np.zeros((2, 2), np.complex64))


def test_negative_qubit_counts_are_refused_with_the_range_message():
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\] for the GPU density backend$"):
        dravik.DeviceDensityState.from_numpy(-1, np.zeros((1, 1), np.complex64))
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\] for the GPU density backend$"):
        dravik.DeviceDensityState.zero_state(-3)


@pytest.mark.parametrize(
    "array",
    [
        np.zeros((2, 2), np.complex128),  # n = 2 needs 4 x 4
        np.zeros(16, np.complex128),
        np.zeros((4, 2), np.complex128),
        np.zeros((4, 4, 1), np.complex128),
    ],
    ids=["too-small", "flat", "not-square", "three-axes"],
)
def test_from_numpy_shape(array):
    with pytest.raises(ValueError, match=r"^state shape must be \(2\*\*n, 2\*\*n\)$"):
        dravik.DeviceDensityState.from_numpy(2, array)


def test_from_numpy_layout_and_writability_in_order():
    fortran = np.asfortranarray(random_matrix(2, np.complex128))
    with pytest.raises(ValueError, match="^state must be C-contiguous$"):
        dravik.DeviceDensityState.from_numpy(2, fortran)
    fortran.flags.writeable = False  # contiguity is reported first
    with pytest.raises(ValueError, match="^state must be C-contiguous$"):
        dravik.DeviceDensityState.from_numpy(2, fortran)
    readonly = random_matrix(2, np.complex128)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="^state must be writable$"):
        dravik.DeviceDensityState.from_numpy(2, readonly)


def test_from_numpy_dtype_then_device():
    with pytest.raises(ValueError, match="^dtype must be 'complex64' or 'complex128', got: float64$"):
        dravik.DeviceDensityState.from_numpy(1, np.zeros((2, 2)), device="cpu")
    with pytest.raises(ValueError, match="^device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu$"):
        dravik.DeviceDensityState.from_numpy(1, np.zeros((2, 2), np.complex64), device="cpu")


def test_zero_state_device_before_dtype_before_size():
    with pytest.raises(ValueError, match="^device must be"):
        dravik.DeviceDensityState.zero_state(16, "float32", "tpu")
    with pytest.raises(ValueError, match="^dtype must be 'complex64' or 'complex128', got: float32$"):
        dravik.DeviceDensityState.zero_state(16, "float32")
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\]"):
        dravik.DeviceDensityState.zero_state(16)


@pytest.mark.parametrize("device", ["cuda", "gpu", "cuda:0", "cuda: 0", "cuda:+0", "cuda:0abc"])
def test_device_texts_naming_device_0(device):
    assert dravik.DeviceDensityState.zero_state(1, device=device).device_id == 0


@pytest.mark.parametrize(
    "device, error, message",
    [
        ("CUDA:0", ValueError, "^device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA:0$"),
        ("cpu", ValueError, "^device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu$"),
        ("cuda:", ValueError, "^invalid stoi argument$"),
        ("cuda:x", ValueError, "^invalid stoi argument$"),
        ("cuda: ", ValueError, "^invalid stoi argument$"),
        ("cuda:99999999999", IndexError, "^stoi argument out of range$"),
        ("cuda:-1", RuntimeError, "^CUDA error: invalid device ordinal$"),
        ("cuda:4096", RuntimeError, "^CUDA error: invalid device ordinal$"),
    ],
)
def test_device_text_errors(device, error, message):
    with pytest.raises(error, match=message):
        dravik.DeviceDensityState.zero_state(1, device=device)


def test_device_1_is_selected_or_refused_by_the_runtime(monkeypatch):
    # The host stand-in emulates two devices here; a one-GPU machine refuses ordinal 1.
    monkeypatch.setenv("QUORRA_HOSTCUDA_DEVICES", "2")
    try:
        state = dravik.DeviceDensityState.zero_state(1, "complex64", "cuda:1")
    except RuntimeError as error:
        assert str(error) == "CUDA error: invalid device ordinal"
    else:
        assert state.device_id == 1
        np.testing.assert_array_equal(state.to_numpy(), np.diag([1, 0]).astype(np.complex64))
        assert state.copy().device_id == 1


def test_a_reported_cuda_failure_is_not_blamed_on_the_next_launch():
    with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
        dravik.DeviceDensityState.zero_state(1, device="cuda:4096")
    state = dravik.DeviceDensityState.zero_state(1)
    h = SimpleNamespace(id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)
    dravik.run_density_operations_device(state, 1, [h])
    np.testing.assert_allclose(state.to_numpy(), np.full((2, 2), 0.5), atol=1e-15)
