# Steps shared by scripts/test.sh, scripts/demo.sh and scripts/bench.sh.
#
# Every step installs or builds only what is missing or out of date, so each
# script can be run again at any time. Sourced, not run.

# A failure inside $(...) fails the command that uses it.
shopt -s inherit_errexit

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_TOOLS=$QV_ROOT/.venv-tools          # cmake, ninja, scikit-build-core, abi3audit
QV_PYTHON_VERSIONS=(3.11 3.12 3.13)    # the interpreters the one abi3 wheel is tested on

qv_log() { printf '==> %s\n' "$*" >&2; }
qv_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Installs the Debian packages among the arguments that are not installed yet.
qv_apt_install_missing() {
  command -v dpkg-query >/dev/null || { qv_log "no dpkg: assuming $* are present"; return 0; }
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  [[ $(id -u) == 0 ]] || qv_die "missing Debian packages (run as root to install them): ${missing[*]}"
  qv_log "apt-get install ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

qv_ensure_system_packages() {
  # cmake and ninja come from PyPI into the tools venv (Debian 12's cmake is
  # older than the build needs); ninja-build only serves a system without pip.
  qv_apt_install_missing build-essential g++ binutils pkg-config libssl-dev libzstd-dev libgtest-dev zstd \
    python3 python3-dev python3-venv ca-certificates ccache
}

# The C++ units and the wheel compile the same core with the same flags:
# ccache lets the second build (and every rerun) reuse the first one's objects.
qv_launcher() {
  if command -v ccache >/dev/null; then echo ccache; fi
}

# Prints the path of a CPython of version $1 (e.g. 3.12) that can make venvs, or fails.
qv_python_for() {
  local version=$1 candidate
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" \
    /usr/local/bin/python"$version" /usr/bin/python"$version"; do
    [[ -x $candidate ]] || continue
    if "$candidate" -c "import sys, venv, ensurepip; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
      2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Sets QV_PYTHONS (every tested interpreter found) and QV_BUILD_PYTHON (the oldest).
qv_find_pythons() {
  QV_PYTHONS=()
  local version py
  for version in "${QV_PYTHON_VERSIONS[@]}"; do
    if py=$(qv_python_for "$version"); then
      QV_PYTHONS+=("$py")
    else
      qv_log "warning: no CPython $version found; its tests are skipped"
    fi
  done
  ((${#QV_PYTHONS[@]} > 0)) || qv_die "no CPython 3.11 or later found"
  QV_BUILD_PYTHON=${QV_PYTHONS[0]}
}

# A venv at $2 made by interpreter $1, recreated when broken or of another interpreter.
qv_make_venv() {
  local python=$1 venv=$2
  local want
  want=$("$python" -c 'import sys; print(sys.version)')
  if [[ -x $venv/bin/python ]] && [[ $("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null) == "$want" ]]; then
    return 0
  fi
  qv_log "creating $venv"
  rm -rf "$venv"
  "$python" -m venv "$venv"
}

qv_ensure_tools() {
  qv_make_venv "$QV_BUILD_PYTHON" "$QV_TOOLS"
  "$QV_TOOLS/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.26" "ninja>=1.10" "abi3audit>=0.0.20" >&2
  export PATH="$QV_TOOLS/bin:$PATH"
}

# Builds the wheel into directory $1 (emptied first) and prints its path.
# Further arguments go to pip as build settings (-C key=value).
qv_build_wheel() {
  local dist=$1
  shift
  rm -rf "$dist"
  mkdir -p "$dist"
  qv_log "building the wheel ($*)"
  local launcher
  launcher=$(qv_launcher)
  (cd "$QV_ROOT" && "$QV_TOOLS/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation \
    --no-deps -w "$dist" ${launcher:+-C "cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$launcher"} "$@" . >&2)
  local wheels=("$dist"/qivara-*.whl)
  [[ -f ${wheels[0]} ]] || qv_die "no wheel was built"
  echo "${wheels[0]}"
}

# venv $2 of interpreter $1 with the wheel $3 (and pytest when $4 is "test").
qv_install_wheel() {
  local python=$1 venv=$2 wheel=$3 with=${4:-}
  qv_make_venv "$python" "$venv"
  if [[ $with == test ]]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "pytest>=7" >&2
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel" >&2
}

# Configures, builds and runs the GoogleTest units in build dir $1; further
# arguments are CMake definitions.
qv_cxx_tests() {
  local build=$1
  shift
  qv_log "C++ units in $build"
  local launcher
  launcher=$(qv_launcher)
  "$QV_TOOLS/bin/cmake" -S "$QV_ROOT" -B "$build" -G Ninja -DQV_BUILD_TESTS=ON -DQV_BUILD_PYTHON=OFF \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} "$@" >/dev/null
  "$QV_TOOLS/bin/cmake" --build "$build" -j 2
  "$QV_TOOLS/bin/ctest" --test-dir "$build" --output-on-failure -j 2
}

# Fails unless the wheel is a cp311-abi3 wheel whose module uses the stable
# ABI only and exports nothing but its init function.
qv_check_abi() {
  local wheel=$1
  qv_log "stable-ABI check of $(basename "$wheel")"
  [[ $(basename "$wheel") == qivara-*-cp311-abi3-*.whl ]] || qv_die "wheel is not tagged cp311-abi3: $wheel"
  "$QV_TOOLS/bin/abi3audit" --strict --assume-minimum-abi3 3.11 --report "$wheel" >&2 ||
    qv_die "abi3audit found symbols outside the stable ABI"
  local tmp
  tmp=$(mktemp -d)
  "$QV_TOOLS/bin/python" -m zipfile -e "$wheel" "$tmp"
  [[ -f $tmp/_qv_py.abi3.so ]] || qv_die "the wheel holds no _qv_py.abi3.so"
  local exported
  exported=$(nm -D --defined-only "$tmp/_qv_py.abi3.so" | awk '{print $3}')
  rm -rf "$tmp"
  [[ $exported == PyInit__qv_py ]] || qv_die "the module exports more than PyInit__qv_py: $exported"
  qv_log "stable ABI: ok (only PyInit__qv_py exported)"
}
