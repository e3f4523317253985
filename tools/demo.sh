#!/usr/bin/env bash
# Installs both modules into .venv (cuda build where a GPU is present, host build otherwise;
# QUORRA_BUILD=cuda|host overrides) and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup_env.sh
QUORRA_BUILD=${QUORRA_BUILD:-auto} .venv/bin/pip install --quiet --no-build-isolation --no-deps .
.venv/bin/python examples/demo.py
