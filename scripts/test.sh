#!/usr/bin/env bash
# Installs what the tests need and runs every test:
#   bash scripts/test.sh             C++ units (ctest), the stable-ABI check of the
#                                    wheel, then pytest on CPython 3.11, 3.12, 3.13
#                                    against that one wheel
#   bash scripts/test.sh --sanitize  the same C++ units and pytest, built with
#                                    AddressSanitizer and UBSan
# Safe to run again: only what is missing is installed or rebuilt.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

mode=normal
case "${1:-}" in
  "") ;;
  --sanitize) mode=sanitize ;;
  *) qv_die "usage: bash scripts/test.sh [--sanitize]" ;;
esac

qv_ensure_system_packages
qv_find_pythons
qv_ensure_tools

if [[ $mode == normal ]]; then
  qv_cxx_tests "$QV_ROOT/build/ctest"
  wheel=$(qv_build_wheel "$QV_ROOT/build/dist")
  qv_check_abi "$wheel"
  for python in "${QV_PYTHONS[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=$QV_ROOT/.venv-test-$version
    qv_install_wheel "$python" "$venv" "$wheel" test
    qv_log "pytest on CPython $version"
    (cd "$QV_ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
  done
else
  qv_cxx_tests "$QV_ROOT/build/ctest-asan" -DQV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  wheel=$(qv_build_wheel "$QV_ROOT/build/dist-asan" -C cmake.define.QV_SANITIZE=ON \
    -C cmake.build-type=RelWithDebInfo -C "build-dir=build/asan-{wheel_tag}")
  venv=$QV_ROOT/.venv-asan
  qv_install_wheel "$QV_BUILD_PYTHON" "$venv" "$wheel" test
  # The interpreter is not instrumented, so the runtimes must be loaded first;
  # its own allocations are never freed at exit, hence no leak detection.
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  qv_log "pytest under ASan+UBSan"
  (cd "$QV_ROOT" && LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
fi
qv_log "all tests passed ($mode)"
