"""Distributed-state tests: collected only under mpiexec (tools/test_distributed.sh), where
every rank runs the same tests in the same order. A plain pytest run skips this folder."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

if os.environ.get("QUORRA_DISTRIBUTED_TESTS") != "1":
    collect_ignore_glob = ["test_*.py"]


# Every distributed test runs with each transport of QUORRA_DISTRIBUTED_TRANSPORTS.
@pytest.fixture(autouse=True, params=os.environ.get("QUORRA_DISTRIBUTED_TRANSPORTS", "host,cuda_aware").split(","))
def transport(request):
    import distributed_helpers

    distributed_helpers._transport[0] = request.param
    yield request.param
    distributed_helpers._transport[0] = distributed_helpers.TRANSPORTS[0]
