"""dare + ties_merge: native kernels against the same computation in NumPy.

For each size, two float32 vectors are drawn, the native bench binary runs
dare on each and ties_merge on the two results (its timings are printed), the
same is computed with vectorised NumPy, and the two results are compared bit
for bit. --check-reference also runs a small size through the plain-Python
reference kernels (tests/python/reference_kernels.py).

    python3 bench/kernels_numpy.py --native build/model_bench --sizes 10000000 100000000
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import reference_kernels as ref  # noqa: E402

MASK64 = (1 << 64) - 1
CHUNK = 1 << 20  # keeps NumPy's temporaries in cache-sized pieces


def dare_np(delta: np.ndarray, p: float, seed: int) -> np.ndarray:
    if not (0.0 < p < 1.0):
        raise ValueError(f"dare: p must be in (0,1), got {ref.plain(p)}")
    keep = 1.0 / (1.0 - p)
    n = delta.size
    out = np.empty(n, dtype=np.float32)
    base = np.uint64((seed + ref.DARE_START) & MASK64)
    gamma = np.uint64(ref.GAMMA)
    c1 = np.uint64(0xBF58476D1CE4E5B9)
    c2 = np.uint64(0x94D049BB133111EB)
    idx = np.arange(min(n, CHUNK), dtype=np.uint64)
    for s in range(0, n, CHUNK):
        e = min(n, s + CHUNK)
        z = idx[: e - s] + np.uint64(s)
        z *= gamma
        z += base
        z ^= z >> np.uint64(30)
        z *= c1
        z ^= z >> np.uint64(27)
        z *= c2
        z ^= z >> np.uint64(31)
        z >>= np.uint64(11)
        u = z.astype(np.float64)
        u *= 2.0**-53
        kept = delta[s:e].astype(np.float64)
        kept *= keep
        res = kept.astype(np.float32)
        res[p > u] = 0.0
        out[s:e] = res
    return out


def thresholds_np(deltas: list[np.ndarray], keep_top: float) -> list[np.ndarray]:
    n = deltas[0].size
    trimmed = []
    for d in deltas:
        if keep_top <= 0.0 or n == 0:
            trimmed.append(d)
        elif keep_top >= 1.0:
            trimmed.append(np.zeros(n, dtype=np.float32))
        else:
            mags = np.abs(d)
            idx = min(int(keep_top * n), n - 1)
            threshold = np.partition(mags, idx)[idx]
            trimmed.append(np.where(mags < threshold, np.float32(0.0), d))
    return trimmed


def elect_np(trimmed: list[np.ndarray], scale: float) -> np.ndarray:
    n = trimmed[0].size
    out = np.empty(n, dtype=np.float32)
    wide_scale = np.float64(np.float32(scale))
    for s in range(0, n, CHUNK):
        e = min(n, s + CHUNK)
        ts = [t[s:e].astype(np.float64) for t in trimmed]
        pos = np.zeros(e - s)
        neg = np.zeros(e - s)
        for t in ts:
            pos += np.where(t > 0, t, 0.0)
            neg += np.where(t < 0, -t, 0.0)
        negative = pos < neg
        total = np.zeros(e - s)
        count = np.zeros(e - s, dtype=np.int64)
        for t in ts:
            sel = np.where(negative, t < 0, t > 0)
            total += np.where(sel, t, 0.0)
            count += sel
        mean = np.divide(total, count, out=np.zeros(e - s), where=count > 0)
        out[s:e] = (mean * wide_scale).astype(np.float32)
    return out


def run_native(native: str, a: np.ndarray, b: np.ndarray, p: float, sa: int, sb: int, alpha: float, tmp: str):
    src = os.path.join(tmp, "in.f32")
    dst = os.path.join(tmp, "out.f32")
    np.concatenate([a, b]).tofile(src)
    proc = subprocess.run(
        [native, "kernels", src, str(a.size), dst, repr(p), str(sa), str(sb), repr(alpha)],
        check=True, capture_output=True, text=True)
    result = np.fromfile(dst, dtype=np.float32)
    os.unlink(src)
    os.unlink(dst)
    times = {}
    for line in proc.stdout.splitlines():
        # "name (28 columns) seconds s [rate]"
        fields = line[28:].split()
        if len(fields) >= 2 and fields[1] == "s":
            times[line[:28].strip()] = float(fields[0])
    return result, proc.stdout, times


def vectors(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    a = (rng.standard_normal(n, dtype=np.float32) * np.float32(0.01)).astype(np.float32)
    b = (rng.standard_normal(n, dtype=np.float32) * np.float32(0.01)).astype(np.float32)
    return a, b


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--native", default=os.path.join(HERE, "..", "build", "model_bench"))
    ap.add_argument("--sizes", type=int, nargs="+", default=[10_000_000])
    ap.add_argument("--check-reference", type=int, default=0, metavar="N",
                    help="also compare native and NumPy with the plain-Python reference on N floats")
    ap.add_argument("--p", type=float, default=0.7)
    ap.add_argument("--alpha", type=float, default=0.5)
    args = ap.parse_args()
    sa, sb = 0, 255
    ok = True
    with tempfile.TemporaryDirectory(dir=os.path.join(HERE, "..", "build")) as tmp:
        if args.check_reference:
            n = args.check_reference
            a, b = vectors(n, 7)
            native, _, _ = run_native(args.native, a, b, args.p, sa, sb, args.alpha, tmp)
            da = ref.dare(a.tolist(), args.p, sa)
            db = ref.dare(b.tolist(), args.p, sb)
            expected = np.array(ref.ties_merge([da, db], 0.2, args.alpha), dtype=np.float32)
            mine = elect_np(thresholds_np([dare_np(a, args.p, sa), dare_np(b, args.p, sb)], 0.2), args.alpha)
            same_native = np.array_equal(native.view(np.uint32), expected.view(np.uint32))
            same_numpy = np.array_equal(mine.view(np.uint32), expected.view(np.uint32))
            print(f"reference check on {n} floats: native {'identical' if same_native else 'DIFFERS'}, "
                  f"numpy {'identical' if same_numpy else 'DIFFERS'}")
            ok &= same_native and same_numpy
        for n in args.sizes:
            print(f"== n = {n:,} floats per vector")
            a, b = vectors(n, n)
            native, text, times = run_native(args.native, a, b, args.p, sa, sb, args.alpha, tmp)
            sys.stdout.write(text)
            t0 = time.perf_counter()
            da = dare_np(a, args.p, sa)
            t1 = time.perf_counter()
            db = dare_np(b, args.p, sb)
            t2 = time.perf_counter()
            trimmed = thresholds_np([da, db], 0.2)
            t3 = time.perf_counter()
            merged = elect_np(trimmed, args.alpha)
            t4 = time.perf_counter()
            del trimmed
            numpy_total = t4 - t0
            print(f"numpy dare A                 {t1 - t0:9.3f} s")
            print(f"numpy dare B                 {t2 - t1:9.3f} s")
            print(f"numpy 2 thresholds + trim    {t3 - t2:9.3f} s")
            print(f"numpy coordinate pass        {t4 - t3:9.3f} s")
            print(f"numpy total                  {numpy_total:9.3f} s")
            same = np.array_equal(native.view(np.uint32), merged.view(np.uint32))
            ok &= same
            native_total = times.get("native total", float("nan"))
            print(f"results bit-identical: {same}")
            print(f"speed-up native over numpy: {numpy_total / native_total:.1f}x")
            del a, b, da, db, merged, native
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
