"""DLPack exports taken right after gates were queued: whatever the branch (view or copy,
versioned or legacy capsule, a CPU consumer or a consumer on another CUDA stream), the consumer
reads the state with those gates applied, with no synchronize() of its own. Each case starts
from a state whose gates are still queued and whose old amplitudes differ from the new ones,
so an export that skipped its wait would hand out stale data."""

import dravik
import numpy as np
import pytest
from test_dlpack import DTYPES, KINDS, LegacyProducer, assert_close, cupy, cupy_skip_reason, needs_host

# Gates queued on targets 0 and 2: every amplitude moves, so a stale read cannot match.
TARGETS = (0, 2)


def state_with_queued_gates(kind, dtype, n, repeats=1):
    """A state whose X gates (each target `repeats` times, an odd number) are still queued,
    the amplitudes those gates give, and what must stay alive while the state is read. dravik's runner waits for its own gates, so its state
    is a copy() of the gated one, which is queued on the device: either way, the memory the
    export hands out holds other values until the queued work has run."""
    start = kind.random(n, dtype, seed=23)
    state = kind.cls.from_numpy(n, start)
    state.synchronize()  # only the work below is queued
    expected = start
    for target in TARGETS:
        for _ in range(repeats):
            kind.apply_x(state, target)
        expected = kind.reference_x(expected, target)
    assert not np.allclose(expected, start), "a stale read would pass"
    if kind.cls is dravik.DeviceDensityState:
        # The gated state stays alive: freeing it would wait for the queued copy.
        return state.copy(), expected, state
    return state, expected, None


class Exporter:
    """A producer that forwards to the state with fixed keyword arguments (copy, max_version),
    so that every export branch can be reached through the consumer's own from_dlpack."""

    def __init__(self, source, **fixed):
        self.source = source
        self.fixed = fixed

    def __dlpack__(self, stream=None, **ignored):
        return self.source.__dlpack__(stream=stream, **self.fixed)

    def __dlpack_device__(self):
        return self.source.__dlpack_device__()


CPU_EXPORTS = [
    pytest.param(lambda state: np.from_dlpack(state), id="view"),
    pytest.param(lambda state: np.from_dlpack(state, copy=False), id="view-copy-false"),
    pytest.param(lambda state: np.from_dlpack(state, device="cpu"), id="view-dl-device"),
    pytest.param(lambda state: np.from_dlpack(state, copy=True), id="copy"),
    pytest.param(lambda state: np.from_dlpack(LegacyProducer(state)), id="legacy-view"),
    pytest.param(lambda state: np.from_dlpack(Exporter(state, copy=True)), id="legacy-copy"),
]


@needs_host
@pytest.mark.parametrize("export", CPU_EXPORTS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_cpu_export_right_after_queued_gates_reads_them(kind, dtype, export):
    state, expected, _keep = state_with_queued_gates(kind, dtype, 4)
    array = export(state)
    assert_close(array, expected, dtype)
    assert_close(state.to_numpy(), expected, dtype)


# On the cuda build: a consumer on a stream of its own (a handle, so the export must wait for
# the legacy default stream), or on the legacy default stream itself (ordered by the stream).
# Many gates are queued, so a read that did not wait for them would start before they end.
CUDA_EXPORTS = [
    pytest.param(False, {}, id="view"),
    pytest.param(False, {"copy": True}, id="copy"),
    pytest.param(False, {"max_version": None}, id="legacy-view"),
    pytest.param(True, {}, id="view-legacy-default-stream"),
    pytest.param(True, {"copy": True}, id="copy-legacy-default-stream"),
]


@pytest.mark.parametrize("default_stream, fixed", CUDA_EXPORTS)
@pytest.mark.parametrize("kind", KINDS)
def test_cuda_export_right_after_queued_gates_is_ordered_before_the_consumer(kind, default_stream, fixed):
    reason = cupy_skip_reason()
    if reason is not None:
        print(f"skipped: {reason}")
        pytest.skip(reason)
    qubits = 22 if kind.shape(1) == (2,) else 11
    state, expected, _keep = state_with_queued_gates(kind, "complex64", qubits, repeats=101)
    stream = cupy.cuda.Stream.null if default_stream else cupy.cuda.Stream(non_blocking=True)
    with stream:
        array = cupy.from_dlpack(Exporter(state, **fixed))
        result = array.copy()
    stream.synchronize()
    assert_close(cupy.asnumpy(result), expected, "complex64")
