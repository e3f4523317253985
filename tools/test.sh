#!/usr/bin/env bash
# Builds both modules with the C++ tests and runs every test: GoogleTest through CTest,
# then pytest. QUORRA_BUILD=cuda|host|auto picks the build (default auto).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup_env.sh

BUILD=${QUORRA_BUILD:-auto}
DIR=${QUORRA_TEST_BUILD_DIR:-build/test-$BUILD}
mkdir -p "$(dirname "$DIR")"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DQUORRA_BUILD="$BUILD" -DQUORRA_TESTS=ON \
    ${QUORRA_CMAKE_ARGS:-} >"$DIR.configure.log" 2>&1 || { cat "$DIR.configure.log"; exit 1; }
grep -E '^-- quorra:' "$DIR.configure.log" || true
cmake --build "$DIR" --parallel "${QUORRA_JOBS:-$(nproc)}"

(cd "$DIR" && ctest --output-on-failure)

export QUORRA_MODULE_DIRS="$PWD/$DIR/velqa:$PWD/$DIR/dravik"
.venv/bin/python -m pytest -q tests/python "$@"
