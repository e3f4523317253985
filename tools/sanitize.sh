#!/usr/bin/env bash
# Builds the host build with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/sanitize (both modules and every C++ test) and runs the C++ tests. Exits
# non-zero on any configure, build or test failure or sanitizer report.
#
#   tools/sanitize.sh [ctest arguments...]     e.g. tools/sanitize.sh -R HostStandIn
#
# The Python modules are built too, so a sanitizer build that no longer links is
# caught; running them needs libasan preloaded into Python, which this script leaves
# to the caller.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup_env.sh

DIR=${QUORRA_SANITIZE_BUILD_DIR:-build/sanitize}
mkdir -p "$DIR"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DQUORRA_BUILD=host -DQUORRA_TESTS=ON -DQUORRA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$DIR/configure.log" 2>&1 || {
    cat "$DIR/configure.log"
    exit 1
}
cmake --build "$DIR" --parallel "${QUORRA_JOBS:-$(nproc)}"

# halt_on_error / -fno-sanitize-recover make the first report fail the test.
# allocator_may_return_null keeps the emulated out-of-memory path (cudaMalloc of more
# than the machine has) an error code rather than an ASan abort.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:allocator_may_return_null=1:strict_string_checks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
(cd "$DIR" && ctest --output-on-failure "$@")
