"""digest_of throughput: one large bytes object and many small ones.

Run: bash scripts/bench.sh   (or: python bench/digest_bench.py with _qv_py installed)
Each figure is the best of a few rounds, by wall-clock time and by the
process's CPU time; on a shared machine the CPU-time figure is the steadier.
hashlib runs the same libcrypto SHA-256 and serves as the machine's reference.
"""

import hashlib
import os
import time

import _qv_py

LARGE = 256 * 1024 * 1024
SMALL_COUNT = 100_000
SMALL_SIZE = 64
ROUNDS = 3


def best_of(fn):
    wall = cpu = float("inf")
    for _ in range(ROUNDS):
        w0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall = min(wall, time.perf_counter() - w0)
        cpu = min(cpu, time.process_time() - c0)
    return wall, cpu


def report(label, seconds, amount, unit):
    wall, cpu = seconds
    print(f"{label:<36} wall {wall * 1e3:8.1f} ms {amount / wall:8.2f} {unit}   cpu {amount / cpu:8.2f} {unit}")


def main():
    digest_of = _qv_py.digest_of
    large = os.urandom(LARGE)
    report("digest_of, 1 x 256 MiB bytes", best_of(lambda: digest_of(large)), LARGE / 1e9, "GB/s")
    report("hashlib.sha256, same object", best_of(lambda: hashlib.sha256(large).hexdigest()), LARGE / 1e9, "GB/s")

    small = [os.urandom(SMALL_SIZE) for _ in range(SMALL_COUNT)]

    def many():
        for b in small:
            digest_of(b)

    def many_hashlib():
        for b in small:
            hashlib.sha256(b).hexdigest()

    label = f"digest_of, {SMALL_COUNT:,} x {SMALL_SIZE} B bytes"
    report(label, best_of(many), SMALL_COUNT / 1e6, "M calls/s")
    report("hashlib.sha256, same objects", best_of(many_hashlib), SMALL_COUNT / 1e6, "M calls/s")

    as_list = list(os.urandom(1024 * 1024))
    report("digest_of, list of 1 Mi ints", best_of(lambda: digest_of(as_list)), len(as_list) / 1e6, "M items/s")


if __name__ == "__main__":
    main()
