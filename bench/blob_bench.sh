#!/usr/bin/env bash
# Blob store throughput next to the zstd command line on the same data.
#
#   bench/blob_bench.sh [build-dir] [work-dir]
#
# Data: the first QV_BENCH_FILES (default 10000) regular files of at most
# 256 KiB from a sorted walk of the Python standard library directory, and a
# 64 MiB file made by concatenating files of the same walk. The build needs
# -DQV_BUILD_BENCH=ON. The zstd runs write to /dev/null: compression only, no
# file writes or fsync, which the store's put includes.
set -euo pipefail

BUILD=${1:-build}
WORK=${2:-$(mktemp -d /tmp/qv-blob-bench.XXXXXX)}
N=${QV_BENCH_FILES:-10000}
BIG_MIB=${QV_BENCH_BIG_MIB:-64}
mkdir -p "$WORK"
TIMEFORMAT="%R s wall, %U+%S s cpu"

python3 - "$WORK" "$N" "$BIG_MIB" <<'PY'
import os, sys, sysconfig
work, n = sys.argv[1], int(sys.argv[2])
root = sysconfig.get_paths()["stdlib"]
files = []
for d, dirs, names in os.walk(root):
    dirs.sort()
    for name in sorted(names):
        p = os.path.join(d, name)
        if os.path.isfile(p) and not os.path.islink(p):
            files.append(p)
small = [p for p in files if os.path.getsize(p) <= 256 * 1024][:n]
with open(os.path.join(work, "files.txt"), "w") as f:
    f.write("\n".join(small) + "\n")
target = int(sys.argv[3]) << 20
with open(os.path.join(work, "big.bin"), "wb") as out:
    left = target
    for p in files:
        with open(p, "rb") as f:
            chunk = f.read(left)
        out.write(chunk)
        left -= len(chunk)
        if left == 0:
            break
PY
half=$(( (BIG_MIB << 20) / 2 ))
head -c "$half" "$WORK/big.bin" > "$WORK/big.part1"
tail -c +"$(( half + 1 ))" "$WORK/big.bin" > "$WORK/big.part2"
count=$(wc -l < "$WORK/files.txt")
per=$(( (count + 1) / 2 ))

echo "== blob store ($WORK)"
"$BUILD/blob_bench" run "$WORK/files.txt" "$WORK/big.bin" "$WORK"

echo
echo "== zstd $(zstd --version | sed 's/.* v\([0-9.]*\).*/\1/') command line, same input (seconds)"
printf 'zstd -19 small files, 1 process:  '; time (xargs -d '\n' zstd -19 -q -T1 -c < "$WORK/files.txt" > /dev/null)
printf 'zstd -19 small files, 2 processes: '; time (xargs -d '\n' -P2 -n "$per" zstd -19 -q -T1 -c < "$WORK/files.txt" > /dev/null)
find "$WORK/small1/blobs" -name '*.zst' > "$WORK/stored.txt"
printf 'zstd -d stored small blobs (%s), 1 process: ' "$(wc -l < "$WORK/stored.txt")"
time (xargs -d '\n' zstd -d -q -c < "$WORK/stored.txt" > /dev/null)
printf "zstd -19 %s MiB, 1 thread: " "$BIG_MIB"; time (zstd -19 -q -T1 -c "$WORK/big.bin" > "$WORK/big.bin.zst")
printf "zstd -19 two %s MiB halves, 2 processes: " "$((BIG_MIB / 2))"
time (zstd -19 -q -T1 -c "$WORK/big.part1" > /dev/null & zstd -19 -q -T1 -c "$WORK/big.part2" > /dev/null; wait)
echo "  compressed large file: $(stat -c %s "$WORK/big.bin.zst") bytes"
printf "zstd -d %s MiB: " "$BIG_MIB"; time (zstd -d -q -c "$WORK/big.bin.zst" > /dev/null)

if command -v strace > /dev/null; then
  echo
  echo "== system calls on blob paths per put of already-stored content"
  strace -f -qq -e trace=newfstatat,stat,lstat,statx,mkdir,openat,rename,access -o "$WORK/reput.trace" \
    "$BUILD/blob_bench" reput "$WORK/files.txt" "$WORK/small1" > /dev/null
  grep '/blobs/sha256/' "$WORK/reput.trace" | sed 's/^[0-9]* *//; s/(.*//' | sort | uniq -c |
    awk -v n="$count" '{ printf "  %-12s %7d calls, %.3f per put\n", $2, $1, $1 / n }'
fi
echo
echo "work dir kept: $WORK (remove it when done)"
