"""CUDA gate backend for quorra"""

import enum
from typing import Any, Iterable, Sequence

import numpy
import numpy.typing

class KernelMode(enum.IntEnum):
    AllState = 0
    Pair = 1
    PairAuto = 2
    PairAutoFusion = 3

AllState: KernelMode
Pair: KernelMode
PairAuto: KernelMode
PairAutoFusion: KernelMode

class DeviceState:
    """An n-qubit state vector held in the memory of one CUDA device."""

    @staticmethod
    def from_numpy(
        n: int, state: numpy.ndarray, device: str = "cuda:0", use_pinned_host: bool = False
    ) -> DeviceState: ...
    @staticmethod
    def zero_state(n: int, dtype: str = "complex128", device: str = "cuda:0") -> DeviceState: ...
    def to_numpy(self, use_pinned_host: bool = False) -> numpy.ndarray: ...
    def copy_to_numpy(self, state: numpy.ndarray, use_pinned_host: bool = False) -> None: ...
    @property
    def n(self) -> int: ...
    @property
    def num_state(self) -> int: ...
    @property
    def device_id(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    def synchronize(self) -> None:
        """Wait until all work queued on the state's device has finished."""
    def __dlpack__(
        self,
        *,
        stream: int | None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> Any:
        """Export the amplitudes as a DLPack capsule that shares the state's memory (copy=True: a new copy)."""
    def __dlpack_device__(self) -> tuple[int, int]:
        """The (DLPack device type, device id) pair of the state's memory."""
    @staticmethod
    def from_dlpack(array: Any) -> DeviceState:
        """Wrap a C-contiguous complex64 or complex128 DLPack array as a DeviceState without copying."""

class PreparedFusionChunk:
    """A gate chunk planned into fused groups on the CPU, ready to execute."""

    @property
    def n(self) -> int:
        """Number of qubits the chunk was planned for."""
    @property
    def gate_count(self) -> int:
        """Number of gates in the chunk."""

class DistributedState:
    """An n-qubit state vector split over the 2**g ranks of an MPI communicator: g global qubits in the rank number, n - g local qubits in each rank's slice on its own device. Every method is collective."""

    @staticmethod
    def zero_state(
        n: int, dtype: str = "complex128", comm: Any | None = None, device: str | None = None, transport: str = "host"
    ) -> DistributedState:
        """Allocate a DistributedState of n qubits in |0...0> over comm (mpi4py's COMM_WORLD when None)."""
    @staticmethod
    def from_numpy(
        n: int,
        state: numpy.ndarray | None,
        comm: Any | None = None,
        root: int = 0,
        device: str | None = None,
        transport: str = "host",
    ) -> DistributedState:
        """Scatter a 1-D complex64 or complex128 numpy state of 2**n amplitudes, passed on root only (None elsewhere), into a new DistributedState."""
    def to_numpy(self, root: int = 0) -> numpy.ndarray | None:
        """Gather the amplitudes in logical qubit order: a new numpy array on root, None on the other ranks."""
    def local_state(self) -> DeviceState:
        """This rank's slice as a DeviceState sharing its memory; its index bits follow `layout`."""
    def synchronize(self) -> None:
        """Wait for all work queued on this rank's device."""
    def reset_comm_stats(self) -> None:
        """Set every counter of comm_stats to zero."""
    def _set_message_elements(self, elements: int) -> None:
        """Testing aid: bound every message to this many amplitudes."""
    def _set_swap_back(self, swap_back: bool) -> None:
        """Benchmark aid: swap global qubits back after every gate (the naive baseline)."""
    @property
    def n(self) -> int:
        """Number of qubits."""
    @property
    def num_state(self) -> int:
        """Number of amplitudes over all ranks, 2**n."""
    @property
    def dtype(self) -> str:
        """Amplitude dtype: 'complex64' or 'complex128'."""
    @property
    def device_id(self) -> int:
        """CUDA device ordinal of this rank's slice."""
    @property
    def rank(self) -> int:
        """This process's rank in the communicator."""
    @property
    def size(self) -> int:
        """Number of ranks."""
    @property
    def global_qubits(self) -> int:
        """g: index bits held in the rank number."""
    @property
    def local_qubits(self) -> int:
        """n - g: index bits of each slice."""
    @property
    def layout(self) -> list[int]:
        """The logical qubit held by each index bit: local bits first, then the rank bits."""
    @property
    def transport(self) -> str:
        """How slices travel between ranks: 'host' (through host memory), 'cuda_aware' (device pointers handed to MPI) or 'nccl' (NCCL send/receive; cuda build with NCCL); transport='auto' resolves to one of the first two."""
    @property
    def comm_stats(self) -> dict[str, int]:
        """Amplitude traffic of this rank since creation or reset_comm_stats(): bytes and messages sent and received, swap rounds and swapped bits."""

# The functions below that take `state` accept a DeviceState or a DistributedState (then
# they are collective: every rank calls them with the same arguments).
AnyState = DeviceState | DistributedState

def run_circuit_device(
    state: AnyState, gate_ir: list[dict[str, Any]], endian: str = "little", mode: KernelMode = KernelMode.PairAuto
) -> None:
    """Run a gate_ir chunk on an existing CUDA DeviceState."""

def prepare_fusion_chunk_gates(
    n: int,
    gates: Iterable[Any],
    fuse_swap: bool = True,
    sparsesharemem_qubits: int = 10,
    densemm_min_qubits: int = 1,
    densemm_max_qubits: int = 7,
    densemm_gate_threshold_scale: float = 1.0,
    max_gates_per_group: int = 512,
    pad_sparsesharemem: bool = True,
) -> PreparedFusionChunk:
    """Parse and plan one streamed chunk on the CPU without launching CUDA."""

def execute_prepared_fusion_chunk(state: AnyState, chunk: PreparedFusionChunk) -> None:
    """Execute one CPU-prepared fusion chunk and wait for its CUDA work."""

def run_circuit_device_gates(
    state: AnyState, gates: Iterable[Any], endian: str = "little", mode: KernelMode = KernelMode.PairAuto
) -> None:
    """Run a QuantumGate object chunk on an existing CUDA DeviceState."""

def measure_device(
    state: AnyState, targets: Sequence[int], endian: str = "little", seed: int | None = None
) -> str:
    """Measure target qubits on an existing CUDA DeviceState."""

def sample_measure_device(
    state: AnyState,
    targets: Sequence[int],
    shots: int,
    endian: str = "little",
    seed: int | None = None,
    collapse_last: bool = True,
) -> tuple[dict[str, int], str]:
    """Batch-sample target qubits and optionally collapse to the final outcome."""

def run_circuit(
    n: int,
    state: numpy.ndarray,
    gate_ir: list[dict[str, Any]],
    endian: str = "little",
    device: str = "cuda:0",
    mode: KernelMode = KernelMode.PairAuto,
    use_pinned_host: bool = False,
) -> numpy.ndarray:
    """Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned."""

def measure(
    n: int,
    state: numpy.ndarray,
    targets: Sequence[int],
    endian: str = "little",
    device: str = "cuda:0",
    use_pinned_host: bool = False,
) -> str:
    """Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is returned."""

# A Pauli string: (letters, qubits), letters from "IXYZ" (either case), one per listed qubit.
PauliString = tuple[str, Sequence[int]]

def pauli_expectations_device(
    state: AnyState, paulis: Sequence[PauliString], endian: str = "little"
) -> numpy.typing.NDArray[numpy.float64]:
    """<psi|P|psi> of each Pauli string (letters, qubits) on an existing CUDA DeviceState, as float64.

    Not divided by the state's norm. With endian "big", qubit q is index bit n-1-q (as in measurement)."""

def expectation_device(
    state: AnyState, terms: Sequence[tuple[complex, PauliString]], endian: str = "little"
) -> float | complex:
    """<psi|H|psi> for H given as (coefficient, (letters, qubits)) terms; 0.0 for no terms.

    A float when every coefficient is real, a complex when any is a Python or NumPy complex."""

def matrix_expectation_device(state: AnyState, matrix: numpy.typing.ArrayLike, targets: Sequence[int]) -> complex:
    """<psi|M|psi> for a dense 2**k x 2**k matrix on k targets (bit j of its index is targets[j])."""

def probabilities_device(
    state: AnyState, targets: Sequence[int], endian: str = "little"
) -> numpy.typing.NDArray[numpy.float64]:
    """Outcome probabilities of the targets without collapsing; bit j of the index is the value of targets[j]."""
