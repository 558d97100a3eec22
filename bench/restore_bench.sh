#!/usr/bin/env bash
# Restore of the captured standard-library image against
#   zstd -dc DIR.tar.zst | tar -x     (the same tree compressed at level 19)
#   git checkout                      (the same tree, committed, in a fresh clone)
# Reuses what bench/capture_bench.sh left in WORK (run that first).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-bench}
WORK=${WORK:-/tmp/qv-fs-bench}
for f in data store tree.digest data.tar.zst git git.tree; do
  [ -e "$WORK/$f" ] || { echo "missing $WORK/$f: run bench/capture_bench.sh first" >&2; exit 1; }
done
ninja -C "$BUILD" -j2 capture_bench >/dev/null
BIN=$PWD/$BUILD/capture_bench
DIGEST=$(cat "$WORK/tree.digest")
echo "cpus available: $(nproc); load before: $(cut -d' ' -f1-3 /proc/loadavg)"

measure() {
  local label=$1
  shift
  local t0 t1 elapsed user sys rss
  t0=$(date +%s.%N)
  if ! /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" "$@" >"$WORK/out" 2>"$WORK/err"; then
    cat "$WORK/err" >&2
    exit 1
  fi
  t1=$(date +%s.%N)
  read -r elapsed user sys rss <"$WORK/time"
  WALL=$(echo "scale=3; w = $t1 - $t0; if (w < 0.001) w = 0.001; w" | bc)
  local cpu
  cpu=$(echo "$user + $sys" | bc)
  printf '%-44s wall %7.2f s  cpu %7.2f s  cpu/wall %4.2f  peak %5d MiB  (load %s)\n' "$label" "$WALL" "$cpu" \
    "$(echo "$cpu / $WALL" | bc -l)" "$((rss / 1024))" "$(cut -d' ' -f1 /proc/loadavg)"
}
ratio() { echo "scale=2; $1 / $2" | bc; }  # both are at least 0.001

# Warm the page cache for all three sources.
cat "$WORK/data.tar.zst" >/dev/null
find "$WORK/store" "$WORK/git" -type f -print0 | xargs -0 cat >/dev/null

commit=$(GIT_DIR="$WORK/git" git -c user.name=b -c user.email=b@b commit-tree "$(cat "$WORK/git.tree")" -m bench)
GIT_DIR="$WORK/git" git update-ref HEAD "$commit"
rm -rf "$WORK/clone" "$WORK/out-"*
git clone -q --no-checkout "$WORK/git" "$WORK/clone"

for round in 1 2; do
  echo "== round $round"
  measure "zstd -dc | tar -x" bash -c "mkdir '$WORK/out-tar' && zstd -dc -q '$WORK/data.tar.zst' | tar -x -C '$WORK/out-tar'"
  TAR=$WALL
  measure "git checkout (fresh clone)" git -C "$WORK/clone" checkout -q -f "$commit"
  GIT=$WALL
  measure "qv restore" "$BIN" restore "$WORK/store" "$DIGEST" "$WORK/out-qv"
  echo "   qv / tar: $(ratio "$WALL" "$TAR")x the time; qv / git: $(ratio "$WALL" "$GIT")x"
  diff -r "$WORK/data" "$WORK/out-qv" >/dev/null || { echo "restored tree differs" >&2; exit 1; }
  rm -rf "$WORK/out-tar" "$WORK/out-qv"
  git -C "$WORK/clone" rm -q -r --cached . >/dev/null
  find "$WORK/clone" -mindepth 1 -maxdepth 1 ! -name .git -exec rm -rf {} +
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
