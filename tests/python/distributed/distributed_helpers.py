"""What the distributed tests share: the communicator, random circuits that put targets and
controls on both sides of the local/global boundary, states made with the transport under
test, and collective failure checks."""

import os

import numpy as np
from mpi4py import MPI

import velqa
from gate_helpers import angles, gate
from reference import statevector as sv

COMM = MPI.COMM_WORLD
RANK = COMM.Get_rank()
SIZE = COMM.Get_size()
G = SIZE.bit_length() - 1  # global qubits
LOCAL_BITS = [2, 3, 4]

SINGLE = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "rx", "ry", "rz",
          "phase", "u"]  # fmt: skip
PARAMS = {"rx": 1, "ry": 1, "rz": 1, "phase": 1, "u": 3}


def on_root(value):
    """Rank 0's value on every rank (for inputs that rank 0 draws)."""
    return COMM.bcast(value, root=0)


def diagonal_unitary(k, rng):
    return np.diag(np.exp(1j * rng.uniform(-np.pi, np.pi, size=1 << k)))


def random_circuit(n, count, rng, max_targets):
    """Gates of every kind, targets and controls anywhere, so global targets, global controls,
    diagonal gates on global qubits, SWAPs across the boundary and UNITARY across it occur."""
    gates = []
    kinds = SINGLE + ["swap", "cswap", "global_phase", "unitary", "diagonal"]
    for _ in range(count):
        kind = kinds[rng.integers(len(kinds))]
        qubits = [int(q) for q in rng.permutation(n)]
        ncontrols = int(rng.integers(0, min(3, n - 2) + 1))
        controls = qubits[2 : 2 + ncontrols]
        states = [int(s) for s in rng.integers(0, 2, size=ncontrols)]
        if kind in SINGLE:
            gates.append(gate(kind, [qubits[0]], controls, states, angles(PARAMS.get(kind, 0), rng)))
        elif kind == "swap":
            gates.append(gate("swap", qubits[:2]))
        elif kind == "cswap":
            gates.append(gate("swap", qubits[:2], controls[:1], states[:1]))
        elif kind == "global_phase":
            gates.append(gate("global_phase", [], controls, states, angles(1, rng)))
        else:
            k = int(rng.integers(1, min(max_targets, n - ncontrols) + 1))
            targets = qubits[:k] if k <= 2 else [*qubits[:2], *qubits[2 + ncontrols : 2 + ncontrols + k - 2]]
            matrix = diagonal_unitary(len(targets), rng) if kind == "diagonal" else sv.random_unitary(1 << len(targets), rng)
            gates.append(gate("unitary", targets, controls, states, matrix=matrix))
    return gates


# Every test runs with each transport of QUORRA_DISTRIBUTED_TRANSPORTS (comma-separated; the
# folder's conftest reads it); by default those the host build has: through host memory, and
# with the exchange buffers handed to MPI as device pointers. Naming "nccl" there says that the
# build under test has NCCL.
TRANSPORTS = os.environ.get("QUORRA_DISTRIBUTED_TRANSPORTS", "host,cuda_aware").split(",")
NCCL_BUILD = "nccl" in TRANSPORTS
NO_NCCL = ("transport 'nccl' needs velqa built for CUDA with NCCL, which this build is not; use transport='host' "
           "or 'cuda_aware'")  # fmt: skip
_transport = [TRANSPORTS[0]]


def zero_state(n, *args, **kwargs):
    return velqa.DistributedState.zero_state(n, *args, transport=_transport[0], **kwargs)


def from_numpy(n, state, **kwargs):
    return velqa.DistributedState.from_numpy(n, state, transport=_transport[0], **kwargs)


def scatter(n, psi, dtype, root=0):
    return from_numpy(n, np.asarray(psi, dtype=dtype) if RANK == root else None, root=root)


def raised_on_every_rank(call):
    """Runs a collective call that must fail everywhere; returns (type name, message) per rank."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the type is part of what is compared
        outcome = (type(error).__name__, str(error))
    else:
        outcome = ("none", "")
    return COMM.allgather(outcome)
