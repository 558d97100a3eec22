#!/usr/bin/env bash
# Installs and builds what is missing (as scripts/demo.sh), then runs the
# Python benchmarks in bench/ (arguments are passed on to each).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

qv_ensure_system_packages
qv_find_pythons
qv_ensure_tools
wheel=$(qv_build_wheel "$QV_ROOT/build/dist")
qv_install_wheel "$QV_BUILD_PYTHON" "$QV_ROOT/.venv" "$wheel"
for bench in "$QV_ROOT"/bench/*_bench.py; do
  "$QV_ROOT/.venv/bin/python" "$bench" "$@"
done
