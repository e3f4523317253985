"""Distributed-state tests: collected only under mpiexec (tools/test_distributed.sh), where
every rank runs the same tests in the same order. A plain pytest run skips this folder."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

if os.environ.get("QUORRA_DISTRIBUTED_TESTS") != "1":
    collect_ignore_glob = ["test_*.py"]
