#!/usr/bin/env bash
# The GPU check: on a machine with an NVIDIA GPU and no network access, builds and
# installs the cuda build, runs the C++ tests (when GoogleTest is present), the Python
# tests and the benchmarks, and leaves OUTDIR/gpu_check.log and OUTDIR/bench behind.
#
#   tools/gpu_check.sh [--build cuda|host] OUTDIR
#
# Every stage runs under a time limit taken from one budget for the whole run (eight
# minutes on one H100 is the target). A failed stage does not stop the later ones; the
# script exits non-zero if any stage failed. `--build host` runs the same flow on the
# host build, for trying the script on a machine without a GPU.
#
# Needs, already installed: python3 (3.12) with pybind11, NumPy, pytest and
# scikit-build-core; CMake; nvcc for the cuda build. Optional: ninja, GoogleTest, matplotlib.
# Environment:
#   QUORRA_PYTHON              interpreter to build the venv from (default: python3, else python3.12)
#   QUORRA_CUDA_ARCHITECTURES  architectures to build (default: those of the local GPUs)
#   QUORRA_GPU_CHECK_BUDGET    seconds for the whole run (default 450; stages are cut to fit)
#   QUORRA_BENCH_ARGS          extra arguments for bench/run.py (for example --quick)
set -uo pipefail

usage() {
    echo "usage: $0 [--build cuda|host] OUTDIR" >&2
    exit 2
}

BUILD=cuda
OUTDIR=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build)
            [ $# -ge 2 ] || usage
            BUILD=$2
            shift 2
            ;;
        --build=*)
            BUILD=${1#--build=}
            shift
            ;;
        -h | --help) usage ;;
        -*) usage ;;
        *)
            [ -z "$OUTDIR" ] || usage
            OUTDIR=$1
            shift
            ;;
    esac
done
[ -n "$OUTDIR" ] || usage
case "$BUILD" in cuda | host) ;; *) usage ;; esac

ROOT=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$OUTDIR" || exit 2
OUTDIR=$(cd "$OUTDIR" && pwd)
LOG=$OUTDIR/gpu_check.log
WORK=$ROOT/build/gpu-check
VENV=$ROOT/build/gpu-venv
BUILD_DIR=$WORK/$BUILD
BUDGET=${QUORRA_GPU_CHECK_BUDGET:-450}
: >"$LOG"
mkdir -p "$WORK"
rm -f "$WORK"/stage-*.out "$WORK/gtest-found" "$WORK/cxx-tests-built" "$WORK/modules-installed"
cd "$ROOT" || exit 2

if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="$PATH:/usr/local/cuda/bin"
fi
export PYTHONUNBUFFERED=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

log() {
    echo "$*" | tee -a "$LOG"
}

now() {
    date +%s.%N
}

T0=$(now)
DEADLINE=$(awk -v t="$T0" -v b="$BUDGET" 'BEGIN { printf "%d", t + b }')
SUMMARY=()
FAILED=0

# run_stage NAME CAP_SECONDS FUNCTION: runs FUNCTION in a child shell under a time
# limit of CAP_SECONDS or what is left of the budget, whichever is less, with all its
# output in the log. Records the stage's status and time for the summary.
run_stage() {
    local name=$1 cap=$2 fn=$3
    local left limit start end elapsed rc status
    left=$((DEADLINE - $(date +%s)))
    limit=$((cap < left ? cap : left))
    log ""
    log "==== stage $name (limit ${limit}s) ==== $(date -u +%H:%M:%S)"
    if [ "$limit" -lt 10 ]; then
        log "---- $name: SKIPPED, the time budget of ${BUDGET}s is spent"
        SUMMARY+=("$(printf '%-10s %-28s %8s' "$name" "FAILED (no time left)" "-")")
        FAILED=1
        return 1
    fi
    start=$(now)
    local tail_file=$WORK/stage-$name.out
    timeout -k 15 "$limit" bash -c "$fn" >"$tail_file" 2>&1
    rc=$?
    cat "$tail_file" >>"$LOG"
    end=$(now)
    elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1fs", b - a }')
    case $rc in
        0) status="ok" ;;
        124 | 137) status="FAILED (timeout ${limit}s)" ;;
        *) status="FAILED (exit $rc)" ;;
    esac
    # A stage may declare itself skipped (exit 3): not a failure, noted in the summary.
    if [ "$rc" -eq 3 ]; then
        status="skipped"
    elif [ "$rc" -ne 0 ]; then
        FAILED=1
        echo "---- last lines of $name:" >&2
        tail -n 40 "$tail_file" >&2
    fi
    log "---- $name: $status in $elapsed"
    SUMMARY+=("$(printf '%-10s %-28s %8s' "$name" "$status" "$elapsed")")
    [ "$rc" -eq 0 ] || [ "$rc" -eq 3 ]
}

# ---- the stages; each runs in its own shell (exported below) -----------------------

stage_system() {
    set -u
    echo "date: $(date -u)"
    echo "host: $(uname -a)"
    echo "cpus: $(nproc)"
    free -g 2>/dev/null || true
    echo "build: $BUILD"
    local rc=0
    if command -v nvidia-smi >/dev/null 2>&1; then
        nvidia-smi || rc=1
        nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total --format=csv || rc=1
    else
        echo "nvidia-smi: not found"
        rc=1
    fi
    command -v nvcc >/dev/null 2>&1 && nvcc --version || echo "nvcc: not found"
    cmake --version | head -n 1
    if command -v ninja >/dev/null 2>&1; then echo "ninja $(ninja --version)"; else echo "ninja: not found (make is used)"; fi
    echo "python: $PYTHON ($("$PYTHON" --version 2>&1))"
    echo "cuda architectures: $ARCHS"
    # Without a GPU only the host build can be checked.
    [ "$BUILD" = host ] || return $rc
}

stage_venv() {
    set -u
    "$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' || {
        echo "$PYTHON is not Python 3.12"
        return 1
    }
    if [ ! -x "$VENV/bin/python" ]; then
        "$PYTHON" -m venv --system-site-packages "$VENV" || "$PYTHON" -m venv --system-site-packages --without-pip "$VENV" \
            || return 1
    fi
    # When the interpreter is itself a virtual environment, --system-site-packages sees
    # only its base installation; point the new venv at the parent's packages as well.
    local parent
    parent=$("$PYTHON" -c 'import site, sys; print(repr(site.getsitepackages()) if sys.prefix != sys.base_prefix else "")')
    local site_dir
    site_dir=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    if [ -n "$parent" ]; then
        echo "import site; [site.addsitedir(p) for p in $parent]" >"$site_dir/_quorra_parent_env.pth"
        echo "parent environment: $parent"
    fi
    "$VENV/bin/python" - <<'EOF'
import importlib
missing = []
for name in ("numpy", "pybind11", "pytest", "scikit_build_core", "pip"):
    try:
        module = importlib.import_module(name)
        print(f"{name} {getattr(module, '__version__', '?')}")
    except ImportError:
        missing.append(name)
for name in ("matplotlib", "ninja"):
    try:
        importlib.import_module(name)
        print(f"{name} present")
    except ImportError:
        print(f"{name} absent (optional)")
if missing:
    raise SystemExit("missing: " + ", ".join(missing))
EOF
}

# Whether CMake finds GoogleTest, tried on a two-line project.
stage_gtest_probe() {
    set -u
    local probe=$WORK/gtest-probe
    mkdir -p "$probe"
    cat >"$probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.24)
project(gtest_probe CXX)
find_package(GTest)
if(NOT GTest_FOUND)
  message(FATAL_ERROR "GoogleTest not found")
endif()
EOF
    if cmake -S "$probe" -B "$probe/build" >"$probe/configure.log" 2>&1; then
        echo "GoogleTest found: the C++ tests are built with the modules"
        touch "$WORK/gtest-found"
    else
        echo "GoogleTest not found: the C++ tests will be skipped"
        tail -n 5 "$probe/configure.log"
        return 3
    fi
}

stage_build() {
    set -u
    local tests=OFF
    [ -f "$WORK/gtest-found" ] && tests=ON
    pip_install() {
        QUORRA_BUILD=$BUILD QUORRA_CUDA_ARCHITECTURES=$ARCHS "$VENV/bin/python" -m pip install \
            --no-build-isolation --no-deps --no-index --no-cache-dir -v \
            -C "build-dir=$BUILD_DIR" -C "cmake.define.QUORRA_TESTS=$1" .
    }
    rm -f "$WORK/cxx-tests-built" "$WORK/modules-installed"
    # Drop what an earlier run installed, so a failed build cannot leave old modules
    # for the test stages to pick up.
    local site_dir
    site_dir=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])') || return 1
    rm -rf "$site_dir"/velqa.* "$site_dir"/dravik.* "$site_dir"/quorra_gpu-*.dist-info
    local rc=0
    if ! pip_install $tests; then
        [ $tests = ON ] || return 1
        # Keep the Python stages going when only a C++ test fails to build.
        echo "!!!! the build with the C++ tests failed; building the modules alone"
        pip_install OFF || return 1
        rc=1
    fi
    if [ $tests = ON ] && [ $rc -eq 0 ]; then
        touch "$WORK/cxx-tests-built"
    fi
    installed_modules_ok || return 1
    touch "$WORK/modules-installed"
    return $rc
}

# Both modules import from this venv (not from a parent environment or the source tree).
installed_modules_ok() {
    (cd / && "$VENV/bin/python" - "$VENV" <<'EOF'
import os, sys
venv = os.path.realpath(sys.argv[1])
for name in ("velqa", "dravik"):
    module = __import__(name)
    path = os.path.realpath(module.__file__)
    print(f"{name}: {path}")
    if not path.startswith(venv + os.sep):
        raise SystemExit(f"{name} is not the one installed in {venv}")
EOF
    )
}

# The test stages run only against modules the build stage installed in this run.
require_installed() {
    if [ ! -f "$WORK/modules-installed" ]; then
        echo "not run: the build stage installed no modules"
        return 1
    fi
}

stage_cxx_tests() {
    set -u
    if [ ! -f "$WORK/gtest-found" ]; then
        echo "skipped: GoogleTest is not installed"
        return 3
    fi
    [ -f "$WORK/cxx-tests-built" ] || {
        echo "the C++ tests were not built (see the build stage)"
        return 1
    }
    ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 120 -j "$(nproc)"
}

stage_pytest() {
    set -u
    require_installed || return 1
    # The installed modules, not a build folder.
    env -u QUORRA_MODULE_DIRS "$VENV/bin/python" -m pytest -q -p no:cacheprovider -rfE --tb=short \
        --junitxml="$OUTDIR/pytest.xml" tests/python
}

# Zero-copy exchange with CuPy through DLPack, both directions, both modules; skipped
# when CuPy is not installed (the host build has no CUDA memory to share).
stage_cupy_dlpack() {
    set -u
    require_installed || return 1
    if [ "$BUILD" != cuda ]; then
        echo "skipped: the host build exchanges CPU arrays, not CUDA memory"
        return 3
    fi
    if ! "$VENV/bin/python" -c 'import cupy' >/dev/null 2>&1; then
        echo "skipped: cupy is not installed"
        return 3
    fi
    (cd / && env -u QUORRA_MODULE_DIRS "$VENV/bin/python" - <<'EOF'
import cupy as cp
import numpy as np
import dravik
import velqa

x = {"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}
for dtype in ("complex64", "complex128"):
    state = velqa.DeviceState.zero_state(20, dtype=dtype)
    assert state.__dlpack_device__() == (2, state.device_id), state.__dlpack_device__()
    view = cp.from_dlpack(state)
    velqa.run_circuit_device(state, [x])
    state.synchronize()
    assert complex(view[1]) == 1 and float(cp.abs(view).sum()) == 1, "velqa export"
    psi = cp.zeros(1 << 20, dtype=dtype)
    psi[0] = 1
    wrapped = velqa.DeviceState.from_dlpack(psi)
    velqa.run_circuit_device(wrapped, [x])
    wrapped.synchronize()
    assert complex(psi[1]) == 1 and complex(psi[0]) == 0, "velqa import"
    del wrapped, state
    assert complex(view[1]) == 1, "velqa view after the state is gone"

    rho = dravik.DeviceDensityState.zero_state(6, dtype=dtype)
    matrix = cp.from_dlpack(rho)
    assert matrix.shape == (64, 64) and complex(matrix[0, 0]) == 1, "dravik export"
    wrapped_rho = dravik.DeviceDensityState.from_dlpack(cp.asarray(np.eye(64, dtype=dtype) / 64))
    assert np.allclose(wrapped_rho.to_numpy(), np.eye(64) / 64), "dravik import"
    print(f"{dtype}: velqa and dravik exchange CuPy arrays without copies")
EOF
    )
}

# The distributed tests under mpiexec: two ranks sharing the GPU with transport "host"; with
# "nccl" (cuda build made with NCCL) two ranks where there are two GPUs, else one rank, since
# NCCL refuses two ranks on one GPU; that refusal must then reach both ranks, not hang them.
stage_distributed() {
    set -u
    require_installed || return 1
    local mpiexec="" candidate
    for candidate in "$VENV/bin/mpiexec" "$("$PYTHON" -c 'import sys; print(sys.prefix)')/bin/mpiexec" \
        "$(command -v mpiexec || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            mpiexec=$candidate
            break
        fi
    done
    if [ -z "$mpiexec" ] || ! "$VENV/bin/python" -c 'import mpi4py' >/dev/null 2>&1; then
        echo "skipped: mpi4py or mpiexec is not installed"
        return 3
    fi
    local transports=host gpus ranks transport limit rc=0
    if [ "$BUILD" = cuda ] && grep -q '^QUORRA_NCCL_INCLUDE_DIR:PATH=/' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null; then
        transports="host nccl"
    else
        echo "transport nccl: not checked, this build has no NCCL"
    fi
    gpus=$(nvidia-smi -L 2>/dev/null | grep -c '^GPU' || true)
    export QUORRA_DISTRIBUTED_TESTS=1 OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    export OMPI_MCA_btl=self,sm OMPI_MCA_pml=ob1 QUORRA_DISTRIBUTED_LOG_DIR=$OUTDIR/distributed-logs
    for transport in $transports; do
        # NCCL sets up a communicator for every state the tests make: slower than MPI alone.
        limit=80
        [ "$transport" = nccl ] && limit=100
        ranks=2
        [ "$transport" = nccl ] && [ "${gpus:-0}" -lt 2 ] && ranks=1
        echo "distributed tests: transport $transport, $ranks rank(s) on ${gpus:-0} GPU(s)"
        env -u QUORRA_MODULE_DIRS QUORRA_DISTRIBUTED_TRANSPORTS="$transport" timeout $limit "$mpiexec" -n $ranks \
            --oversubscribe "$VENV/bin/python" tests/python/distributed/run_ranks.py -rfE --tb=short || rc=1
    done
    if [[ " $transports " == *" nccl "* ]] && [ "${gpus:-0}" -eq 1 ]; then
        echo "transport nccl with two ranks on one GPU: refused on both"
        env -u QUORRA_MODULE_DIRS timeout 40 "$mpiexec" -n 2 --oversubscribe "$VENV/bin/python" -c '
from mpi4py import MPI
import velqa
try:
    velqa.DistributedState.zero_state(3, transport="nccl")
    outcome = "created"
except RuntimeError as error:
    outcome = str(error)
outcomes = MPI.COMM_WORLD.allgather(outcome)
assert all(o.startswith("ncclCommInitRank failed: ") for o in outcomes), outcomes
print(outcomes[0])
' || rc=1
    fi
    return $rc
}

stage_bench() {
    set -u
    if [ ! -f bench/run.py ]; then
        echo "skipped: bench/run.py is missing, no benchmarks were run"
        return 3
    fi
    require_installed || return 1
    # shellcheck disable=SC2086
    env -u QUORRA_MODULE_DIRS "$VENV/bin/python" bench/run.py --out "$OUTDIR/bench" --build "$BUILD" \
        ${QUORRA_BENCH_ARGS:-}
    local rc=$?
    [ -f "$OUTDIR/bench/results.txt" ] && cat "$OUTDIR/bench/results.txt"
    return $rc
}

# ---- set-up shared by the stages ---------------------------------------------------

PYTHON=${QUORRA_PYTHON:-}
if [ -z "$PYTHON" ]; then
    for candidate in python3 python3.12; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            PYTHON=$(command -v "$candidate")
            break
        fi
    done
    PYTHON=${PYTHON:-python3}
fi

ARCHS=${QUORRA_CUDA_ARCHITECTURES:-}
if [ -z "$ARCHS" ] && [ "$BUILD" = cuda ] && command -v nvidia-smi >/dev/null 2>&1; then
    # "9.0" -> "90-real": machine code for the local GPUs only keeps the build short.
    ARCHS=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | tr -d ' .' | grep -E '^[0-9]+$' |
        sort -u | sed 's/$/-real/' | paste -sd ';' -)
fi
ARCHS=${ARCHS:-75-real;80-real;86-real;89-real;90-real;120-real}

export BUILD OUTDIR WORK VENV BUILD_DIR PYTHON ARCHS
export -f stage_system stage_venv stage_gtest_probe stage_build stage_cxx_tests stage_pytest stage_cupy_dlpack stage_bench \
    stage_distributed \
    installed_modules_ok require_installed

log "quorra GPU check: $BUILD build, output in $OUTDIR, budget ${BUDGET}s"
log "tree: $ROOT ($(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo 'not a git checkout'))"

run_stage system 30 stage_system
run_stage venv 90 stage_venv
VENV_OK=$?
run_stage gtest 30 stage_gtest_probe
if [ $VENV_OK -eq 0 ]; then
    run_stage build 300 stage_build
    run_stage cxx-tests 90 stage_cxx_tests
    run_stage pytest 200 stage_pytest
    run_stage cupy 60 stage_cupy_dlpack
    run_stage distributed 200 stage_distributed
    run_stage bench 150 stage_bench
else
    log "no usable Python environment: build, tests and benchmarks not run"
    FAILED=1
fi

TOTAL=$(awk -v a="$T0" -v b="$(now)" 'BEGIN { printf "%.1fs", b - a }')
log ""
log "==== summary ($BUILD build, $TOTAL of ${BUDGET}s) ===="
for line in "${SUMMARY[@]}"; do
    log "$line"
done
for f in "$WORK"/stage-cxx-tests.out "$WORK"/stage-pytest.out; do
    [ -f "$f" ] || continue
    case $f in
        *cxx-tests*) grep -E 'tests passed|tests failed' "$f" | tail -n 1 | sed 's/^/cxx-tests: /' | tee -a "$LOG" ;;
        *) grep -E '(passed|failed|error)' "$f" | tail -n 1 | sed 's/^/pytest: /' | tee -a "$LOG" ;;
    esac
done
if [ $FAILED -ne 0 ]; then
    log "GPU check FAILED"
    exit 1
fi
log "GPU check passed"
