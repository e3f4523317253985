"""DLPack exchange of DeviceState and DeviceDensityState: exported views and imported arrays
share memory, device work becomes visible after synchronize(), both sides may go first
without leaks or double frees, every refusal says what is wrong and allocates nothing.
CuPy cases run on the cuda build when CuPy is installed."""

import ctypes
import gc
import pathlib
import sys
import weakref

import dravik
import numpy as np
import pytest
import velqa
from dravik_ops import unitary
from reference import density as dm
from reference import statevector as sv

DTYPES = ["complex64", "complex128"]
TOLERANCE = {"complex64": 3e-6, "complex128": 1e-12}
HOST_BUILD = velqa.DeviceState.zero_state(1).__dlpack_device__()[0] == 1

try:
    import cupy
except ImportError:
    cupy = None

needs_host = pytest.mark.skipif(not HOST_BUILD, reason="host build: states are exchanged as CPU arrays")


def X(target):
    return {"id": "x", "target": [target], "control": [], "control_state": [], "parameter": []}


class Vector:
    """velqa's side of the tests: a 1-D state of n qubits."""

    module = velqa
    cls = velqa.DeviceState

    @staticmethod
    def shape(n):
        return (1 << n,)

    @staticmethod
    def random(n, dtype, seed):
        return sv.random_state(n, np.random.default_rng(seed)).astype(dtype)

    @staticmethod
    def apply_x(state, target):
        velqa.run_circuit_device(state, [X(target)])

    @staticmethod
    def reference_x(array, target):
        return sv.apply_gate(array.astype(np.complex128), X(target))


class Density:
    """dravik's side: a (2^n, 2^n) density matrix."""

    module = dravik
    cls = dravik.DeviceDensityState

    @staticmethod
    def shape(n):
        return (1 << n, 1 << n)

    @staticmethod
    def random(n, dtype, seed):
        return dm.random_density(n, np.random.default_rng(seed)).astype(dtype)

    @staticmethod
    def apply_x(state, target):
        dravik.run_density_operations_device(state, state.num_qubits, [unitary("x", [target])])

    @staticmethod
    def reference_x(array, target):
        return dm.apply_unitary(array.astype(np.complex128), dm.gate_matrix("x"), [target])


KINDS = [pytest.param(Vector, id="velqa"), pytest.param(Density, id="dravik")]


def registry_count(kind):
    """Live entries of the host stand-in's device-memory registry inside the kind's module."""
    library = ctypes.CDLL(kind.module.__file__)
    count = library._ZN8hostcuda16allocation_countEv
    count.restype = ctypes.c_size_t
    return count()


class Capsule(ctypes.Structure):
    """Reads a DLPack capsule's tensor with ctypes (DLManagedTensorVersioned or DLManagedTensor)."""

    @staticmethod
    def read(capsule):
        get_name = ctypes.pythonapi.PyCapsule_GetName
        get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        name = get_name(capsule)
        address = get_pointer(capsule, name)
        # DLManagedTensorVersioned: version, manager_ctx, deleter, flags, then the DLTensor.
        words = (ctypes.c_uint64 * 4).from_address(address)
        if name == b"dltensor_versioned":
            version = (words[0] & 0xFFFFFFFF, words[0] >> 32)
            flags, tensor = words[3], address + 32
        else:
            version, flags, tensor = None, None, address
        ndim = ctypes.c_int32.from_address(tensor + 16).value
        code = ctypes.c_uint8.from_address(tensor + 20).value
        bits = ctypes.c_uint8.from_address(tensor + 21).value
        lanes = ctypes.c_uint16.from_address(tensor + 22).value
        shape_at = ctypes.c_void_p.from_address(tensor + 24).value
        strides_at = ctypes.c_void_p.from_address(tensor + 32).value
        shape = tuple((ctypes.c_int64 * ndim).from_address(shape_at))
        strides = tuple((ctypes.c_int64 * ndim).from_address(strides_at)) if strides_at else None
        device = (ctypes.c_int32.from_address(tensor + 8).value, ctypes.c_int32.from_address(tensor + 12).value)
        return {
            "name": name.decode(),
            "version": version,
            "flags": flags,
            "data": ctypes.c_void_p.from_address(tensor).value,
            "device": device,
            "dtype": (code, bits, lanes),
            "shape": shape,
            "strides": strides,
        }


class LegacyProducer:
    """A producer from before DLPack 1.0: no max_version, only the unversioned capsule."""

    def __init__(self, source):
        self.source = source

    def __dlpack__(self, stream=None):
        return self.source.__dlpack__(stream=stream)

    def __dlpack_device__(self):
        return self.source.__dlpack_device__()


def assert_close(actual, expected, dtype):
    np.testing.assert_allclose(actual, expected, rtol=0, atol=TOLERANCE[dtype])


# ---- export -------------------------------------------------------------------------------


@needs_host
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_export_is_a_view_that_sees_gates_after_synchronize(kind, dtype):
    start = kind.random(3, dtype, seed=1)
    state = kind.cls.from_numpy(3, start)
    view = np.from_dlpack(state)
    assert view.shape == kind.shape(3) and view.dtype == np.dtype(dtype)
    assert view.flags.c_contiguous
    assert_close(view, start, dtype)
    kind.apply_x(state, 1)
    state.synchronize()
    assert_close(view, kind.reference_x(start, 1), dtype)
    assert_close(state.to_numpy(), view, dtype)


@needs_host
@pytest.mark.parametrize("versioned", [True, False], ids=["versioned", "legacy"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_capsule_describes_the_state(kind, dtype, versioned):
    state = kind.cls.zero_state(2, dtype=dtype)
    capsule = state.__dlpack__(max_version=(1, 2)) if versioned else state.__dlpack__()
    tensor = Capsule.read(capsule)
    side = kind.shape(2)
    assert tensor["name"] == ("dltensor_versioned" if versioned else "dltensor")
    assert tensor["device"] == (1, 0) and state.__dlpack_device__() == (1, 0)
    assert tensor["dtype"] == (5, 64 if dtype == "complex64" else 128, 1)
    assert tensor["shape"] == side
    assert tensor["strides"] == ((1,) if len(side) == 1 else (side[1], 1))
    if versioned:
        assert tensor["version"][0] == 1 and tensor["flags"] == 0
    # The same memory twice, and a legacy consumer sees it too.
    assert Capsule.read(state.__dlpack__())["data"] == tensor["data"]
    legacy_view = np.from_dlpack(LegacyProducer(state))
    assert legacy_view.ctypes.data == tensor["data"]


@needs_host
@pytest.mark.parametrize("kind", KINDS)
def test_copy_true_exports_an_independent_copy(kind):
    start = kind.random(2, "complex128", seed=2)
    state = kind.cls.from_numpy(2, start)
    copy = np.from_dlpack(state, copy=True)
    shared = np.from_dlpack(state, copy=False)
    capsule = state.__dlpack__(max_version=(1, 0), copy=True)
    assert Capsule.read(capsule)["flags"] == 2  # DLPack's "is copied" flag
    assert Capsule.read(capsule)["data"] != shared.ctypes.data
    kind.apply_x(state, 0)
    state.synchronize()
    assert_close(copy, start, "complex128")
    assert_close(shared, kind.reference_x(start, 0), "complex128")


@needs_host
@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"stream": 1}, ValueError, "stream must be None for a state exported to the CPU, got: 1"),
        ({"stream": -1}, ValueError, "stream must be None for a state exported to the CPU, got: -1"),
        ({"max_version": "1.0"}, ValueError, "max_version must be a pair of ints, got: '1.0'"),
        ({"max_version": (1,)}, ValueError, "max_version must be a pair of ints, got: (1,)"),
        ({"dl_device": (2, 0)}, BufferError, "is on DLPack device (1, 0) and cannot be exported to (2, 0)"),
        ({"dl_device": (1, 3)}, BufferError, "is on DLPack device (1, 0) and cannot be exported to (1, 3)"),
        ({"dl_device": None, "copy": 1}, ValueError, "copy must be None, True or False, got: 1"),
    ],
)
@pytest.mark.parametrize("kind", KINDS)
def test_export_refusals(kind, arguments, error, message):
    state = kind.cls.zero_state(1)
    gc.collect()
    before = registry_count(kind)
    with pytest.raises(error) as caught:
        state.__dlpack__(**arguments)
    assert message in str(caught.value)
    del caught
    gc.collect()
    assert registry_count(kind) == before
    with pytest.raises(TypeError):
        state.__dlpack__(None)  # the arguments are keyword-only


# ---- import -------------------------------------------------------------------------------


@needs_host
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_import_is_a_view_of_the_producers_array(kind, dtype):
    array = kind.random(3, dtype, seed=3)
    start = array.copy()
    state = kind.cls.from_dlpack(array)
    assert state.dtype == dtype and state.device_id == 0
    assert np.from_dlpack(state).ctypes.data == array.ctypes.data
    kind.apply_x(state, 2)
    state.synchronize()
    assert_close(array, kind.reference_x(start, 2), dtype)
    assert_close(state.to_numpy(), array, dtype)


@needs_host
@pytest.mark.parametrize("kind", KINDS)
def test_import_of_a_legacy_capsule_and_of_an_exported_state(kind):
    array = kind.random(2, "complex64", seed=4)
    start = array.copy()
    legacy = kind.cls.from_dlpack(LegacyProducer(array))
    # A state's own export, imported again: a second view of the same allocation.
    owner = kind.cls.from_numpy(2, start)
    again = kind.cls.from_dlpack(owner)
    kind.apply_x(legacy, 0)
    kind.apply_x(again, 1)
    legacy.synchronize()
    again.synchronize()
    assert_close(array, kind.reference_x(start, 0), "complex64")
    assert_close(owner.to_numpy(), kind.reference_x(start, 1), "complex64")


# ---- lifetimes ----------------------------------------------------------------------------


@needs_host
@pytest.mark.parametrize("state_first", [True, False], ids=["state-first", "view-first"])
@pytest.mark.parametrize("kind", KINDS)
def test_exported_memory_lives_until_both_sides_are_gone(kind, state_first):
    gc.collect()
    before = registry_count(kind)
    start = kind.random(4, "complex128", seed=5)
    state = kind.cls.from_numpy(4, start)
    view = np.from_dlpack(state)
    unused = state.__dlpack__(max_version=(1, 0))  # a capsule nobody consumes
    assert registry_count(kind) == before + 1
    if state_first:
        del state
        gc.collect()
        assert registry_count(kind) == before + 1
        assert_close(view, start, "complex128")
        del unused
        assert registry_count(kind) == before + 1
        del view
    else:
        del view, unused
        gc.collect()
        assert registry_count(kind) == before + 1
        assert_close(state.to_numpy(), start, "complex128")
        del state
    gc.collect()
    assert registry_count(kind) == before


@needs_host
@pytest.mark.parametrize("state_first", [True, False], ids=["state-first", "array-first"])
@pytest.mark.parametrize("kind", KINDS)
def test_imported_array_lives_until_both_sides_are_gone(kind, state_first):
    gc.collect()
    before = registry_count(kind)
    array = kind.random(3, "complex128", seed=6)
    start = array.copy()
    alive = weakref.ref(array)
    references = sys.getrefcount(array)
    state = kind.cls.from_dlpack(array)
    assert registry_count(kind) == before + 1  # the array is registered as device memory
    if state_first:
        del state
        gc.collect()
        assert registry_count(kind) == before
        assert sys.getrefcount(array) == references
        assert_close(array, start, "complex128")
        del array
    else:
        del array
        gc.collect()
        assert alive() is not None  # the state keeps the producer alive
        kind.apply_x(state, 0)
        assert_close(state.to_numpy(), kind.reference_x(start, 0), "complex128")
        del state
    gc.collect()
    assert alive() is None
    assert registry_count(kind) == before


@needs_host
@pytest.mark.parametrize("kind", KINDS)
def test_releasing_a_view_waits_for_its_queued_work(kind):
    array = kind.random(3, "complex128", seed=8)
    start = array.copy()
    gc.collect()
    before = registry_count(kind)
    state = kind.cls.from_dlpack(array)
    kind.apply_x(state, 0)
    del state  # no synchronize(): letting the array go waits for the gate first
    gc.collect()
    assert registry_count(kind) == before
    assert_close(array, kind.reference_x(start, 0), "complex128")


@needs_host
@pytest.mark.parametrize("kind", KINDS)
def test_chain_of_views_releases_in_any_order(kind):
    gc.collect()
    before = registry_count(kind)
    owner = kind.cls.zero_state(2)
    through_numpy = kind.cls.from_dlpack(np.from_dlpack(owner))
    del owner
    second = kind.cls.from_dlpack(through_numpy)
    kind.apply_x(second, 1)
    del through_numpy
    gc.collect()
    expected = kind.reference_x(kind.cls.zero_state(2).to_numpy(), 1)
    assert_close(second.to_numpy(), expected, "complex128")
    del second
    gc.collect()
    assert registry_count(kind) == before


# ---- import refusals ----------------------------------------------------------------------


class ForeignDevice:
    """A producer on a device this build cannot address."""

    def __init__(self, device_type):
        self.device_type = device_type
        self.asked = False

    def __dlpack_device__(self):
        return (self.device_type, 0)

    def __dlpack__(self, **kwargs):
        self.asked = True
        raise AssertionError("a capsule was requested from a refused device")


def misaligned(kind):
    # complex128 elements on an 8-byte boundary: valid for NumPy, not for 16-byte loads.
    count = int(np.prod(kind.shape(1)))
    raw = np.zeros(16 * count + 16, np.uint8)
    offset = 8 if raw.ctypes.data % 16 == 0 else 0
    return raw[offset : offset + 16 * count].view(np.complex128).reshape(kind.shape(1))


def read_only(kind):
    array = np.zeros(kind.shape(1), np.complex128)
    array.flags.writeable = False
    return array


REFUSALS = [
    ("device", lambda kind: ForeignDevice(2), "from_dlpack needs an array in host memory (DLPack device type 1)"),
    ("float64", lambda kind: np.zeros(kind.shape(1), np.float64), "complex64 or complex128 array, got DLPack type code 2 with 64 bits"),
    ("int32", lambda kind: np.zeros(kind.shape(1), np.int32), "complex64 or complex128 array, got DLPack type code 0 with 32 bits"),
    ("odd size", lambda kind: np.zeros((3,) * len(kind.shape(1)), np.complex64), "got shape (3"),
    ("wrong rank", lambda kind: np.zeros((4,) * (3 - len(kind.shape(1))), np.complex64), "got shape (4"),
    ("strided", lambda kind: np.zeros(tuple(2 * s for s in kind.shape(2)), np.complex64)[(slice(None, None, 2),) * len(kind.shape(2))], "from_dlpack needs a C-contiguous array, got strides ("),
    ("misaligned", misaligned, "from_dlpack needs array data aligned to 16 bytes"),
    ("read-only", read_only, "from_dlpack needs a writable array, got a read-only one"),
    ("not an array", lambda kind: [0j, 1j], "from_dlpack needs an object with __dlpack__, got: list"),
]  # fmt: skip


@needs_host
@pytest.mark.parametrize("what, make, message", REFUSALS, ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("kind", KINDS)
def test_import_refusals_allocate_nothing(kind, what, make, message):
    producer = make(kind)
    gc.collect()
    before = registry_count(kind)
    references = sys.getrefcount(producer)
    with pytest.raises(ValueError) as caught:
        kind.cls.from_dlpack(producer)
    assert message in str(caught.value)
    gc.collect()
    assert registry_count(kind) == before
    assert sys.getrefcount(producer) == references  # the refused capsule was given back
    if isinstance(producer, ForeignDevice):
        assert not producer.asked


@needs_host
@pytest.mark.parametrize(
    "kind, shape, text",
    [
        (Density, (2, 4), "from_dlpack needs an array of shape (2**n, 2**n), n in [0, 15], got shape (2, 4)"),
        (Density, (1 << 16, 1 << 16), "n in [0, 15], got shape (65536, 65536)"),
        (Vector, (1,), "from_dlpack needs a 1-D array of 2**n elements, n in [1, 62], got shape (1,)"),
    ],
)
def test_import_refuses_shapes_outside_the_qubit_range(kind, shape, text):
    # A broadcast element has any shape without the memory; the shape is refused before
    # its zero strides or its read-only flag are looked at.
    array = np.broadcast_to(np.zeros(1, np.complex64), shape)
    with pytest.raises(ValueError) as caught:
        kind.cls.from_dlpack(array)
    assert text in str(caught.value)


# ---- CuPy (cuda build) --------------------------------------------------------------------


def cupy_skip_reason():
    if HOST_BUILD:
        return "host build: states are CPU arrays, CuPy needs CUDA memory"
    if cupy is None:
        return "cupy is not installed"
    return None


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_cupy_round_trip(kind, dtype):
    reason = cupy_skip_reason()
    if reason is not None:
        print(f"skipped: {reason}")
        pytest.skip(reason)
    start = kind.random(3, dtype, seed=7)
    state = kind.cls.from_numpy(3, start)
    assert state.__dlpack_device__() == (2, state.device_id)
    view = cupy.from_dlpack(state)
    kind.apply_x(state, 0)
    state.synchronize()
    assert_close(cupy.asnumpy(view), kind.reference_x(start, 0), dtype)
    array = cupy.asarray(start)
    imported = kind.cls.from_dlpack(array)
    kind.apply_x(imported, 1)
    imported.synchronize()
    assert_close(cupy.asnumpy(array), kind.reference_x(start, 1), dtype)
    del imported, state
    assert_close(cupy.asnumpy(view), kind.reference_x(start, 0), dtype)


@needs_host
def test_readme_numpy_example_runs_as_written():
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = readme.split("## Zero-copy exchange", 1)[1].split("\n## ", 1)[0]
    blocks = section.split("```python\n")[1:]
    numpy_example = [block.split("```", 1)[0] for block in blocks if "import numpy as np" in block]
    assert len(numpy_example) == 1
    exec(compile(numpy_example[0], "README.md", "exec"), {})
