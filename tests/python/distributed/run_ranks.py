"""Runs the distributed tests on this rank: rank 0 reports on the terminal, the others into
a log file each, which they name on failure. Used by tools/test_distributed.sh."""

import os
import sys

import pytest
from mpi4py import MPI


def main() -> int:
    rank = MPI.COMM_WORLD.Get_rank()
    size = MPI.COMM_WORLD.Get_size()
    here = os.path.dirname(os.path.abspath(__file__))
    args = ["-q", "-p", "no:cacheprovider", here, *sys.argv[1:]]
    if rank == 0:
        return pytest.main(args)
    log_dir = os.environ.get("QUORRA_DISTRIBUTED_LOG_DIR", "build/distributed-logs")
    os.makedirs(log_dir, exist_ok=True)
    log = os.path.join(log_dir, f"ranks{size}-rank{rank}.log")
    terminal = os.dup(2)
    with open(log, "w") as out:
        os.dup2(out.fileno(), 1)
        os.dup2(out.fileno(), 2)
        code = pytest.main(args)
    if code != 0:
        os.write(terminal, f"rank {rank} of {size}: tests failed, see {log}\n".encode())
    return int(code)


if __name__ == "__main__":
    sys.exit(main())
