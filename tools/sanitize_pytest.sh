#!/usr/bin/env bash
# Runs pytest against the AddressSanitizer + UndefinedBehaviorSanitizer host build that
# tools/sanitize.sh builds (same folder, QUORRA_SANITIZE_BUILD_DIR), so the kernels the C++
# tests do not reach run under the sanitizers too. By default it runs the whole pytest suite
# but the import-guard file (so every kernel family in every mode and precision, SWAP,
# UNITARY, measurement, the density-matrix operations and measurement), with the threads of
# each block in shuffled order, then the distributed tests under mpiexec on the same build;
# arguments replace that selection with a pytest run of their own.
#
#   tools/sanitize_pytest.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup_env.sh

DIR=${QUORRA_SANITIZE_BUILD_DIR:-build/sanitize}
if [ ! -f "$DIR/CMakeCache.txt" ]; then
    echo "sanitize_pytest: no sanitizer build in $DIR; run tools/sanitize.sh first" >&2
    exit 1
fi
cmake --build "$DIR" --parallel "${QUORRA_JOBS:-$(nproc)}" --target velqa dravik

# The sanitizer runtimes must be the first libraries of the process: the interpreter is not
# instrumented, so they are preloaded. The compiler that built the modules names its own.
CXX_COMPILER=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$DIR/CMakeCache.txt")
runtimes=""
for lib in libasan.so libubsan.so; do
    path=$("${CXX_COMPILER:-c++}" -print-file-name="$lib")
    if [ ! -e "$path" ]; then
        echo "sanitize_pytest: $lib not found by ${CXX_COMPILER:-c++}" >&2
        exit 1
    fi
    runtimes="$runtimes${runtimes:+:}$(readlink -f "$path")"
done

# detect_leaks=0: CPython keeps interned objects, module state and arena memory alive until
# exit on purpose, so LeakSanitizer would report thousands of interpreter allocations that
# are no fault of ours (a suppression list would have to name CPython's and NumPy's internals
# and go stale with each release). Leaks of the modules' own C++ objects are checked where the
# interpreter is absent: the C++ tests run with leak detection on in tools/sanitize.sh.
# PYTHONMALLOC=malloc sends Python objects through the sanitizer's allocator, so an overrun of
# a NumPy or bytes buffer the modules fill is reported instead of landing in a pymalloc pool.
# The remaining options are those of tools/sanitize.sh.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:detect_stack_use_after_return=1:allocator_may_return_null=1:strict_string_checks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export PYTHONMALLOC=malloc
ABS_DIR=$(cd "$DIR" && pwd)  # DIR may be relative or absolute
export QUORRA_MODULE_DIRS="$ABS_DIR/velqa:$ABS_DIR/dravik"

# The threads of every block run in an order drawn per block and barrier phase, so a store
# from the wrong thread of a block shows whatever the number of barriers before it. The seed
# is printed; QUORRA_HOSTCUDA_ORDER_SEED=<it> repeats a failing run.
export QUORRA_HOSTCUDA_ORDER=${QUORRA_HOSTCUDA_ORDER:-shuffle}
export QUORRA_HOSTCUDA_ORDER_SEED=${QUORRA_HOSTCUDA_ORDER_SEED:-$(od -An -N8 -tu8 /dev/urandom | tr -d ' ')}
echo "sanitize_pytest: QUORRA_HOSTCUDA_ORDER=$QUORRA_HOSTCUDA_ORDER QUORRA_HOSTCUDA_ORDER_SEED=$QUORRA_HOSTCUDA_ORDER_SEED"

# The whole suite runs in about a minute here, so it is the default; test_module_import.py
# starts other interpreters, which the preloaded runtime does not suit.
if [ $# -ne 0 ]; then
    LD_PRELOAD="$runtimes${LD_PRELOAD:+:$LD_PRELOAD}" .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
    exit
fi
LD_PRELOAD="$runtimes${LD_PRELOAD:+:$LD_PRELOAD}" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python \
    --ignore=tests/python/test_module_import.py
# The distributed state under mpiexec on the same build: exchanges, offsets and buffers.
QUORRA_DISTRIBUTED_PRELOAD="$runtimes" tools/test_distributed.sh
