"""Reference model-merge kernels in plain Python.

Written element by element from the definitions, with no shortcut the native
kernels take (full sort instead of selection, branches instead of masks), so
that the two can be checked bit for bit against each other. Floats are Python
floats (IEEE doubles); every value meant to be a 32-bit float goes through
`f32`, which rounds to nearest like a C cast.
"""

from __future__ import annotations

import math
import struct
from decimal import Decimal
from typing import Iterable, Sequence

MASK64 = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
DARE_START = 0x3C6EF372FE94F82A  # two increments: skips one output


def f32(x: float) -> float:
    """Rounds a double to the nearest 32-bit float (overflow gives infinity)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        # pack refuses only finite values whose rounding is infinite.
        return math.copysign(math.inf, x)


def plain(x: float) -> str:
    """Plain decimal, shortest round trip, never an exponent: 0, 1.5, 0.0000001, NaN, inf."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def mix(z: int) -> int:
    """The SplitMix64 output function."""
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def draws(seed: int, n: int) -> list[float]:
    """The n uniform draws dare makes for a vector of length n."""
    state = (seed + DARE_START) & MASK64
    out = []
    for _ in range(n):
        out.append((mix(state) >> 11) * 2.0**-53)
        state = (state + GAMMA) & MASK64
    return out


class KernelError(ValueError):
    """The message is the whole error text of the native kernel."""


def dare(delta: Sequence[float], p: float, seed: int) -> list[float]:
    if not (0.0 < p < 1.0):
        raise KernelError(f"dare: p must be in (0,1), got {plain(p)}")
    keep_scale = 1.0 / (1.0 - p)
    out = []
    for x, u in zip(delta, draws(seed & MASK64, len(delta))):
        out.append(0.0 if p > u else f32(f32(x) * keep_scale))
    return out


def _trim(delta: Sequence[float], keep_top: float) -> list[float]:
    n = len(delta)
    if keep_top <= 0.0:
        return list(delta)
    if keep_top >= 1.0:
        return [0.0] * n
    if n == 0:
        return []
    mags = sorted(abs(x) for x in delta)
    k = int(keep_top * n)  # truncation towards zero
    threshold = mags[min(k, n - 1)]
    return [0.0 if abs(x) < threshold else x for x in delta]


def ties_merge(deltas: Sequence[Sequence[float]], keep_top: float, scale: float) -> list[float]:
    if len(deltas) == 0:
        raise KernelError("ties_merge: no deltas")
    length = len(deltas[0])
    for i, d in enumerate(deltas):
        if len(d) != length:
            raise KernelError(f"ties_merge: delta {i} has len {len(d)}, expected {length}")
    if not (0.0 <= keep_top <= 1.0):
        raise KernelError(f"ties_merge: keep_top must be in [0,1], got {plain(keep_top)}")
    scale = f32(scale)
    trimmed = [_trim([f32(x) for x in d], keep_top) for d in deltas]
    out = []
    for c in range(length):
        pos = 0.0
        neg = 0.0
        for t in trimmed:
            if t[c] > 0:
                pos += t[c]
            elif t[c] < 0:
                neg += -t[c]
        negative = pos < neg
        total = 0.0
        count = 0
        for t in trimmed:
            if (t[c] < 0) if negative else (t[c] > 0):
                total += t[c]
                count += 1
        mean = total / count if count else 0.0
        out.append(f32(mean * scale))
    return out


def as_f32_list(values: Iterable[float]) -> list[float]:
    return [f32(v) for v in values]
