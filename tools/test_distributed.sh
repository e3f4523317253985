#!/usr/bin/env bash
# Runs the distributed-state tests under mpiexec with 1, 2 and 4 ranks (4 oversubscribed on a
# small machine), each under a timeout so a hang fails instead of blocking. Uses the modules
# of QUORRA_MODULE_DIRS, else of the build that tools/test.sh made (QUORRA_TEST_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
DIR=${QUORRA_TEST_BUILD_DIR:-build/test-${QUORRA_BUILD:-host}}
export QUORRA_MODULE_DIRS=${QUORRA_MODULE_DIRS:-$PWD/$DIR/velqa:$PWD/$DIR/dravik}
export QUORRA_DISTRIBUTED_TESTS=1 OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# Open MPI's shared-memory transport between the oversubscribed ranks; no network is needed.
export OMPI_MCA_btl=self,sm OMPI_MCA_pml=ob1
export QUORRA_DISTRIBUTED_LOG_DIR=${QUORRA_DISTRIBUTED_LOG_DIR:-$PWD/build/distributed-logs}
# QUORRA_DISTRIBUTED_PRELOAD: libraries the ranks (not mpiexec) preload, with the sanitizer
# options passed on (tools/sanitize_pytest.sh runs these tests on its sanitizer build).
forward=()
if [ -n "${QUORRA_DISTRIBUTED_PRELOAD:-}" ]; then
    forward=(-x "LD_PRELOAD=$QUORRA_DISTRIBUTED_PRELOAD")
    for name in ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC QUORRA_HOSTCUDA_ORDER QUORRA_HOSTCUDA_ORDER_SEED; do
        if [ -n "${!name:-}" ]; then
            forward+=(-x "$name")
        fi
    done
fi
status=0
for ranks in 1 2 4; do
    echo "distributed tests: $ranks rank(s)"
    timeout "${QUORRA_DISTRIBUTED_TIMEOUT:-300}" .venv/bin/mpiexec -n "$ranks" --oversubscribe "${forward[@]}" \
        .venv/bin/python tests/python/distributed/run_ranks.py "$@" || status=1
done
exit $status
