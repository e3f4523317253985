#!/usr/bin/env bash
# The race stage: builds the host build with ThreadSanitizer in build/tsan and runs, with
# blocks spread over several OS threads (QUORRA_HOSTCUDA_SPREAD=1, four threads), the host
# stand-in's tests and a pytest subset that drives every kernel family once. A plain `+=`
# where atomicAdd is needed, or two blocks writing one amplitude, is a ThreadSanitizer
# report, and the first report fails the stage.
#
#   tools/race.sh [extra pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup_env.sh

DIR=${QUORRA_RACE_BUILD_DIR:-build/tsan}
mkdir -p "$DIR"
# -O1 keeps the instrumented build short; -g1 gives reports their lines.
cmake -S . -B "$DIR" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DQUORRA_BUILD=host -DQUORRA_TESTS=ON -DQUORRA_TSAN=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g1 -DNDEBUG" >"$DIR/configure.log" 2>&1 || {
    cat "$DIR/configure.log"
    exit 1
}
cmake --build "$DIR" --parallel "${QUORRA_JOBS:-$(nproc)}" --target hostcuda_tests velqa dravik

DIR=$(cd "$DIR" && pwd)
export QUORRA_HOSTCUDA_SPREAD=1
export QUORRA_HOSTCUDA_THREADS=${QUORRA_HOSTCUDA_THREADS:-4}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
(cd "$DIR" && ./tests/cpp/hostcuda_tests --gtest_brief=1)

# The modules are loaded into an uninstrumented Python, so the runtime is preloaded.
# One case of each gate kind, mode and precision, the SWAP and UNITARY paths, both
# measurements, the density-matrix kernels, the noise channels and Kraus maps, expectation values, and fused
# execution (PairAutoFusion is one of the gate files' modes; the DenseMM cache per thread).
# pytest captures standard error, and a halting report would be lost with it: reports go to
# files, shown when the run fails.
rm -f "$DIR"/tsan-pytest.*
LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
    TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$DIR/tsan-pytest" \
    QUORRA_MODULE_DIRS="$DIR/velqa:$DIR/dravik" \
    .venv/bin/python -m pytest -q -p no:cacheprovider \
    tests/python/test_gates_single_qubit.py tests/python/test_swap.py tests/python/test_unitary.py \
    tests/python/test_measure.py tests/python/test_dravik_operations.py tests/python/test_dravik_measure.py \
    tests/python/test_dravik_noise.py tests/python/test_fusion_threads.py tests/python/test_expectation.py \
    tests/python/test_dravik_expectation.py "$@" || {
    status=$?
    cat "$DIR"/tsan-pytest.* 2>/dev/null || true
    exit $status
}
