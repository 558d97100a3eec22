"""Self-check of the reference kernels against known values; needs no native module."""

import math
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import reference_kernels as ref  # noqa: E402

THIRD = ref.f32(1 / 0.3)  # 3.3333333 as a float32


def test_first_draws_of_seed_zero():
    assert ref.mix(ref.DARE_START) == 0x6E789E6AA1B965F4
    expected = [0.4315, 0.0264, 0.9709, 0.1063, 0.3273, 0.1739, 0.7715, 0.2457, 0.9520, 0.3965]
    got = ref.draws(0, 10)
    assert [round(u, 4) for u in got] == expected


def test_dare_ten_ones():
    assert ref.dare([1.0] * 10, 0.7, 0) == [0, 0, THIRD, 0, 0, 0, THIRD, 0, THIRD, 0]
    assert str(THIRD)[:9] == "3.3333332"


@pytest.mark.parametrize(
    "p, text",
    [(0.0, "0"), (1.0, "1"), (-0.1, "-0.1"), (1.5, "1.5"), (math.nan, "NaN"), (1e-7, None)],
)
def test_dare_p_range(p, text):
    if text is None:
        assert ref.dare([1.0], p, 0) == [ref.f32(1.0 / (1.0 - p))]
        return
    with pytest.raises(ref.KernelError, match=r"^dare: p must be in \(0,1\), got " + text + "$"):
        ref.dare([1.0], p, 0)


def test_dare_half_doubles_and_masks_follow_seed():
    values = [ref.f32(v) for v in (0.1, -3.5, 7.25, 1e-30, -2.0, 6e37, 0.3, 9.0)]
    halves = ref.dare(values, 0.5, 42)
    assert all(h == 0.0 or h == 2 * v for h, v in zip(halves, values))
    other = ref.dare([1.0] * len(values), 0.5, 42)
    assert [h == 0 for h in halves] == [o == 0 for o in other]
    assert ref.dare([], 0.7, 3) == []
    # Survivors are scaled in doubles and rounded once; overflow rounds to inf.
    assert ref.dare([3e38], 0.5, 1) in ([0.0], [math.inf])


@pytest.mark.parametrize(
    "deltas, keep_top, scale, expected",
    [
        ([[1, -2], [3, 2]], 0.0, 1.0, [2, 2]),
        ([[1, 2, 3, 4, 5]], 0.2, 1.0, [0, 2, 3, 4, 5]),
        ([[1, 2, 3, 4, 5]], 1.0, 1.0, [0, 0, 0, 0, 0]),
        ([[1, 2, 3, 4, 5]], 0.0, 1.0, [1, 2, 3, 4, 5]),
        ([[0, -1], [0, -3]], 0.0, 0.5, [0, -1]),
        ([[], []], 0.2, 1.0, []),
        # Ties at the threshold all survive: idx 1 of [1, 1, 1, 2] is 1.
        ([[1, -1, 1, 2]], 0.25, 1.0, [1, -1, 1, 2]),
        # Negative election averages only the negatives; zeros never count.
        ([[-4, 1], [-2, 0], [1, 0]], 0.0, 1.0, [-3, 1]),
        # alpha 0 keeps the sign of the elected mean.
        ([[-1.0], [-2.0]], 0.0, 0.0, [-0.0]),
    ],
)
def test_ties_merge_values(deltas, keep_top, scale, expected):
    got = ref.ties_merge(deltas, keep_top, scale)
    assert got == expected
    assert [math.copysign(1, g) for g in got] == [math.copysign(1, e) for e in expected]


@pytest.mark.parametrize(
    "deltas, keep_top, message",
    [
        ([], 0.2, "ties_merge: no deltas"),
        ([[1, 2, 3], [1, 2, 3, 4]], 7.0, "ties_merge: delta 1 has len 4, expected 3"),
        ([[1]], 1.5, "ties_merge: keep_top must be in [0,1], got 1.5"),
        ([[1]], math.nan, "ties_merge: keep_top must be in [0,1], got NaN"),
        ([[1]], -0.1, "ties_merge: keep_top must be in [0,1], got -0.1"),
    ],
)
def test_ties_merge_errors(deltas, keep_top, message):
    with pytest.raises(ref.KernelError) as info:
        ref.ties_merge(deltas, keep_top, 1.0)
    assert str(info.value) == message


def test_plain_text():
    assert [ref.plain(x) for x in (0.0, 1.0, 1.5, 1e-7, math.inf, -math.inf, 123456789012345680000.0)] == [
        "0", "1", "1.5", "0.0000001", "inf", "-inf", "123456789012345680000"]
