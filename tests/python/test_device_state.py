"""DeviceState: factories, copies, properties, and every argument check in its order."""

import threading

import numpy as np
import pytest
import velqa

DTYPES = ["complex64", "complex128"]


def random_state(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(dtype)


def test_module_docstring_and_kernel_modes():
    assert velqa.__doc__ == "CUDA gate backend for quorra"
    assert velqa.PairAuto is velqa.KernelMode.PairAuto
    assert [int(m) for m in (velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion)] == [0, 1, 2, 3]
    assert str(velqa.KernelMode.PairAuto) == "KernelMode.PairAuto"


def test_no_python_constructor():
    with pytest.raises(TypeError, match="No constructor defined"):
        velqa.DeviceState()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [1, 3, 10])
def test_zero_state(n, dtype):
    state = velqa.DeviceState.zero_state(n, dtype)
    expected = np.zeros(1 << n, dtype=dtype)
    expected[0] = 1
    out = state.to_numpy()
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(out, expected)
    assert (state.n, state.num_state, state.device_id, state.dtype) == (n, 1 << n, 0, dtype)


def test_zero_state_defaults_to_complex128_on_device_zero():
    state = velqa.DeviceState.zero_state(1)
    assert state.dtype == "complex128"
    np.testing.assert_array_equal(state.to_numpy(), [1, 0])


@pytest.mark.parametrize("pinned", [False, True])
@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip_is_exact(dtype, pinned):
    host = random_state(6, dtype)
    state = velqa.DeviceState.from_numpy(6, host, use_pinned_host=pinned)
    assert state.dtype == dtype
    np.testing.assert_array_equal(state.to_numpy(use_pinned_host=pinned), host)
    out = np.zeros_like(host)
    assert state.copy_to_numpy(out, use_pinned_host=pinned) is None
    np.testing.assert_array_equal(out, host)


def test_from_numpy_copies_instead_of_aliasing():
    host = random_state(4, "complex128")
    state = velqa.DeviceState.from_numpy(4, host)
    original = host.copy()
    host[:] = 0
    np.testing.assert_array_equal(state.to_numpy(), original)


def test_pinned_copy_of_an_already_registered_buffer_falls_back_silently():
    # Two copies of one buffer at once would register it twice; the second must still copy.
    host = random_state(12, "complex64")
    state = velqa.DeviceState.from_numpy(12, host)
    outs = [np.zeros_like(host) for _ in range(4)]
    errors = []

    def worker(out):
        try:
            for _ in range(20):
                state.copy_to_numpy(out, use_pinned_host=True)
                velqa.DeviceState.from_numpy(12, host, use_pinned_host=True)
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(o,)) for o in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for out in outs:
        np.testing.assert_array_equal(out, host)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((0,), ValueError, "n must be in [1, 62]"),
        ((63,), ValueError, "n must be in [1, 62]"),
        ((-1,), ValueError, "n must be in [1, 62]"),
        ((0, "complex32"), ValueError, "dtype must be 'complex64' or 'complex128', got: complex32"),
        ((0, "complex32", "cpu"), ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        ((2, "Complex64"), ValueError, "dtype must be 'complex64' or 'complex128', got: Complex64"),
    ],
)
def test_zero_state_check_order(args, error, message):
    with pytest.raises(error) as info:
        velqa.DeviceState.zero_state(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "n, dtype",
    [(60, "complex128"), (61, "complex128"), (62, "complex128"), (61, "complex64"), (62, "complex64")],
)
def test_sizes_beyond_64_bits_fail_as_allocation_errors(n, dtype):
    with pytest.raises(RuntimeError) as info:
        velqa.DeviceState.zero_state(n, dtype)
    assert str(info.value) == "CUDA error: out of memory"


def test_allocation_larger_than_the_device_fails_cleanly():
    with pytest.raises(RuntimeError) as info:
        velqa.DeviceState.zero_state(50, "complex64")
    assert str(info.value) == "CUDA error: out of memory"


@pytest.mark.parametrize(
    "device, outcome",
    [
        ("cuda", 0),
        ("gpu", 0),
        ("cuda:0", 0),
        ("cuda:1", "CUDA error: invalid device ordinal"),
        ("cuda: 2", "CUDA error: invalid device ordinal"),
        ("cuda:1x", "CUDA error: invalid device ordinal"),
        ("cuda:0x", 0),
        ("cuda:+0", 0),
        ("cuda:-1", "CUDA error: invalid device ordinal"),
        ("cuda:", ValueError("invalid stoi argument")),
        ("cuda:x", ValueError("invalid stoi argument")),
        ("cuda:99999999999", IndexError("stoi argument out of range")),
        ("CUDA", ValueError("device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA")),
        ("cpu", ValueError("device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu")),
        ("cuda0", ValueError("device must be 'cuda', 'gpu', or 'cuda:<id>', got: cuda0")),
    ],
)
def test_device_texts(device, outcome):
    if isinstance(outcome, int):
        assert velqa.DeviceState.zero_state(1, device=device).device_id == outcome
    elif isinstance(outcome, str):
        with pytest.raises(RuntimeError) as info:
            velqa.DeviceState.zero_state(1, device=device)
        assert str(info.value) == outcome
    else:
        with pytest.raises(type(outcome)) as info:
            velqa.DeviceState.zero_state(1, device=device)
        assert str(info.value) == str(outcome)


@pytest.mark.parametrize(
    "n, array, message",
    [
        (2, np.zeros((2, 2), np.complex64), "state must be a 1-D contiguous numpy array"),
        (2, np.zeros(8, np.complex64)[::2], "state must be C-contiguous"),
        (0, np.zeros(1, np.complex64), "n must be in [1, 62]"),
        (63, np.zeros(4, np.complex64), "n must be in [1, 62]"),
        (2, np.zeros(3, np.complex64), "state.size must equal 2**n"),
        (2, np.zeros(4, np.float64), "dtype must be 'complex64' or 'complex128', got: float64"),
        (2, np.zeros(4, np.complex256), "dtype must be 'complex64' or 'complex128', got: complex256"),
        # Shape is checked before size, size before dtype.
        (2, np.zeros((3, 3), np.float64), "state must be a 1-D contiguous numpy array"),
        (2, np.zeros(3, np.float64), "state.size must equal 2**n"),
    ],
)
def test_from_numpy_rejects(n, array, message):
    with pytest.raises(ValueError) as info:
        velqa.DeviceState.from_numpy(n, array)
    assert str(info.value) == message


def test_from_numpy_bad_device_after_array_checks():
    with pytest.raises(ValueError, match="state.size must equal"):
        velqa.DeviceState.from_numpy(2, np.zeros(3, np.complex64), device="cpu")
    with pytest.raises(ValueError, match="device must be"):
        velqa.DeviceState.from_numpy(2, np.zeros(4, np.complex64), device="cpu")


def test_copy_to_numpy_checks_in_order():
    state = velqa.DeviceState.zero_state(2, "complex128")
    readonly = np.zeros(3, np.complex64)  # also wrong size and dtype: writability comes first
    readonly.setflags(write=False)
    with pytest.raises(ValueError) as info:
        state.copy_to_numpy(readonly)
    assert str(info.value) == "state array must be writable"
    with pytest.raises(ValueError) as info:
        state.copy_to_numpy(np.zeros(8, np.complex128))
    assert str(info.value) == "state.size must equal 2**n"
    target = np.full(4, 7, np.complex64)
    with pytest.raises(ValueError) as info:
        state.copy_to_numpy(target)
    assert str(info.value) == "numpy state dtype does not match DeviceState"
    np.testing.assert_array_equal(target, 7)  # nothing written on failure


def test_state_survives_garbage_collection_of_the_source_array():
    host = random_state(5, "complex64")
    expected = host.copy()
    state = velqa.DeviceState.from_numpy(5, host)
    del host
    np.testing.assert_array_equal(state.to_numpy(), expected)


def test_a_reported_cuda_failure_does_not_resurface_at_the_next_launch():
    with pytest.raises(RuntimeError, match="invalid device ordinal"):
        velqa.DeviceState.zero_state(1, device="cuda:7")
    state = velqa.DeviceState.zero_state(1)
    velqa.run_circuit_device(state, [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}])
    np.testing.assert_allclose(state.to_numpy(), [2**-0.5, 2**-0.5])
