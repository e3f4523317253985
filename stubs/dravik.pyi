"""CUDA dense density-matrix backend for quorra"""

from typing import Any, Iterable, Sequence

import numpy
import numpy.typing

class DeviceDensityState:
    """An n-qubit density matrix (n <= 15) held in the memory of one CUDA device."""

    @staticmethod
    def from_numpy(n: int, state: numpy.ndarray, device: str = "cuda:0") -> DeviceDensityState: ...
    @staticmethod
    def zero_state(n: int, dtype: str = "complex128", device: str = "cuda:0") -> DeviceDensityState: ...
    def to_numpy(self) -> numpy.ndarray: ...
    def copy(self) -> DeviceDensityState: ...
    @property
    def num_qubits(self) -> int: ...
    @property
    def dimension(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    @property
    def device_id(self) -> int: ...
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
        """Export the matrix as a DLPack capsule that shares the state's memory (copy=True: a new copy)."""
    def __dlpack_device__(self) -> tuple[int, int]:
        """The (DLPack device type, device id) pair of the state's memory."""
    @staticmethod
    def from_dlpack(array: Any) -> DeviceDensityState:
        """Wrap a C-contiguous complex64 or complex128 DLPack array as a DeviceDensityState without copying."""

def run_density_operations_device(state: DeviceDensityState, num_qubits: int, operations: Iterable[Any]) -> None: ...
def measure_device(
    state: DeviceDensityState, targets: Sequence[int], endian: str = "little", seed: object = None
) -> str: ...

# A Pauli string: (letters, qubits), letters from "IXYZ" (either case), one per listed qubit.
PauliString = tuple[str, Sequence[int]]

def pauli_expectations_device(
    state: DeviceDensityState, paulis: Sequence[PauliString]
) -> numpy.typing.NDArray[numpy.float64]:
    """Tr(rho P) of each Pauli string (letters, qubits), as float64."""

def expectation_device(state: DeviceDensityState, terms: Sequence[tuple[complex, PauliString]]) -> float | complex:
    """Tr(rho H) for H given as (coefficient, (letters, qubits)) terms; 0.0 for no terms."""

def probabilities_device(
    state: DeviceDensityState, targets: Sequence[int], endian: str = "little"
) -> numpy.typing.NDArray[numpy.float64]:
    """Outcome probabilities of the targets without collapsing; bit j of the index is the value of targets[j]."""
