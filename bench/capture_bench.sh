#!/usr/bin/env bash
# Capture of a copy of the Python standard library, measured in one run against
#   new content:  tar -cf - DIR | zstd -19 -T2   and   git init; git add -A; git write-tree
#   unchanged:    find DIR -type f -print0 | xargs -0 -P2 sha256sum
# with wall time, CPU time and peak memory from /usr/bin/time.
#
# Usage: bench/capture_bench.sh [WORKERS ...]      (default: the built-in worker count)
# Environment: SRC (tree to copy), WORK (scratch dir), BUILD (build dir), MAX_MB (cap the copy).
# Leaves WORK/data, WORK/store, WORK/tree.digest, WORK/data.tar.zst and WORK/git for restore_bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-bench}
WORK=${WORK:-/tmp/qv-fs-bench}
SRC=${SRC:-$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_BENCH=ON -DQV_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD" -j2 capture_bench >/dev/null
BIN=$PWD/$BUILD/capture_bench

rm -rf "$WORK"
mkdir -p "$WORK/data"
DATA=$WORK/data
tar -C "$SRC" --exclude=./site-packages -cf - . | tar -C "$DATA" -xf -
if [ -n "${MAX_MB:-}" ]; then
  # Keep the smallest files first until the cap is reached.
  find "$DATA" -type f -printf '%s %p\n' | sort -n | awk -v cap=$((MAX_MB << 20)) '{t += $1; if (t > cap) print substr($0, index($0, " ") + 1)}' |
    tr '\n' '\0' | xargs -0 -r rm -f
fi
echo "data: $(find "$DATA" -type f | wc -l) files, $(find "$DATA" -type d | wc -l) dirs, $(du -sb "$DATA" | cut -f1) bytes (copy of $SRC without site-packages)"
echo "cpus available: $(nproc); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
# Warm the page cache so every tool reads from memory.
find "$DATA" -type f -print0 | xargs -0 cat >/dev/null

# measure LABEL COMMAND...: one run; prints wall, CPU, CPU/wall and peak RSS; leaves wall in $WALL.
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

echo "== new content"
measure "tar -cf - | zstd -19 -T2" bash -c "tar -C '$DATA' -cf - . | zstd -19 -T2 -q -c >'$WORK/data.tar.zst'"
TAR=$WALL
measure "git init; git add -A; git write-tree" bash -c \
  "git init -q --bare '$WORK/git' && GIT_DIR='$WORK/git' GIT_WORK_TREE='$DATA' git add -A && GIT_DIR='$WORK/git' GIT_WORK_TREE='$DATA' git write-tree >'$WORK/git.tree'"
GIT=$WALL
workers_list=("$@")
[ ${#workers_list[@]} -eq 0 ] && workers_list=(0)
for w in "${workers_list[@]}"; do
  rm -rf "$WORK/store"
  label="qv capture, empty store"
  [ "$w" != 0 ] && label="$label, $w workers"
  measure "$label" "$BIN" capture "$WORK/store" "$DATA" "$w"
  cp "$WORK/out" "$WORK/tree.digest"
  echo "   vs tar|zstd: $(ratio "$WALL" "$TAR")x the time; vs git: $(ratio "$WALL" "$GIT")x"
done

echo "== unchanged content"
measure "find | xargs -0 -P2 sha256sum" bash -c "find '$DATA' -type f -print0 | xargs -0 -P2 sha256sum >/dev/null"
SHA=$WALL
measure "find | xargs -0 -P2 -n64 sha256sum" bash -c "find '$DATA' -type f -print0 | xargs -0 -P2 -n64 sha256sum >/dev/null"
SHA64=$WALL
measure "qv capture, same store again" "$BIN" capture "$WORK/store" "$DATA"
cmp -s "$WORK/out" "$WORK/tree.digest" || { echo "re-capture gave another digest" >&2; exit 1; }
echo "   sha256sum -P2 / re-capture: $(ratio "$SHA" "$WALL")x (with -n64: $(ratio "$SHA64" "$WALL")x)"

echo "== tree record"
"$BIN" decode 100000
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
