#!/usr/bin/env bash
# Installs what the module needs, builds and installs it into .venv, and runs
# the demo (arguments are passed on: bash scripts/demo.sh [STORE_DIR]).
# Safe to run again: only what is missing is installed or rebuilt.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

qv_ensure_system_packages
qv_find_pythons
qv_ensure_tools
wheel=$(qv_build_wheel "$QV_ROOT/build/dist")
qv_install_wheel "$QV_BUILD_PYTHON" "$QV_ROOT/.venv" "$wheel"
"$QV_ROOT/.venv/bin/python" "$QV_ROOT/scripts/demo.py" "$@"
