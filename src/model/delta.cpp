#include "model/delta.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "core/float_text.h"

// The hot loops are integer work and single float operations, so neither a
// wider instruction set nor vectorising changes a result (no fused
// multiply-add can form: no product feeds an addition). Where the compiler
// and loader support it, an AVX-512 or AVX2 clone is picked at load time.
// Selects are written as bit masks: the compiler keeps a float-compare
// select as a branch (to preserve exception flags), which blocks vectorising.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QV_NO_TARGET_CLONES)
#define QV_HOT_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define QV_HOT_CLONES
#endif

namespace qv {
namespace {

constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ull;
// Two increments: the first value drawn is the one that follows a discarded
// output of a generator started at the seed.
constexpr uint64_t kDareStart = 0x3C6EF372FE94F82Aull;
static_assert(kDareStart == 2 * kGamma);  // wraps mod 2^64 by design

std::unexpected<CoreError> out_of_memory(std::string_view op, size_t n) {
  return io_error(std::string(op) + ": out of memory for " + std::to_string(n) + " floats");
}

// Element i's draw depends only on the start state and i, so the loop has no
// carried dependency and vectorises. A draw u = m * 2^-53 (m < 2^53) drops the
// element when p > u, which for the integer m is exactly m < ceil(p * 2^53);
// scaling by a power of two is exact, so this is the same test without the
// int-to-double conversion.
QV_HOT_CLONES
void dare_loop(const float* in, float* out, size_t n, uint64_t start, uint64_t drop_below, double keep_scale) {
  for (size_t i = 0; i < n; ++i) {
    uint64_t z = start + static_cast<uint64_t>(i) * kGamma;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const float kept = static_cast<float>(static_cast<double>(in[i]) * keep_scale);
    const uint32_t keep = 0u - static_cast<uint32_t>((z >> 11) >= drop_below);
    out[i] = std::bit_cast<float>(std::bit_cast<uint32_t>(kept) & keep);  // dropped: +0.0
  }
}

// Magnitude as the float's bits without the sign: for every non-NaN value the
// unsigned order of these equals the order of |x|, and NaNs sort above
// infinity, so the order is total and selection never sees an inconsistent
// comparison.
inline uint32_t magnitude_bits(float x) { return std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu; }

// Below this length a copy plus nth_element is cheaper than three histogram
// passes (each clears and scans a few KiB of counters).
constexpr size_t kRadixMinLength = size_t{1} << 15;

// Radix selection over the 31 magnitude bits in three digits (11, 10, 10
// bits). Each pass counts digits into four interleaved counter sets, which
// breaks the store-to-load chains that long runs of equal values (the zeros
// dare leaves) would otherwise create. Counters are 32-bit; a set sees about
// n/4 elements (longer vectors take the copy path).
constexpr int kTopBins = (1 << 11) + 1;  // digit 0: exact zeros; 1 + (bits >> 20) otherwise
constexpr int kLowBins = (1 << 10) + 1;  // the last slot collects elements outside the prefix

// First digit. Exact zeros get their own digit, so that the common case after
// dare (the rank falls among the zeros) is settled in one pass.
QV_HOT_CLONES
void count_top_digits(const float* d, size_t n, uint32_t* counts) {
  auto slot = [](uint32_t m) { return (m >> 20) + (m != 0); };
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++counts[0 * kTopBins + slot(magnitude_bits(d[i + 0]))];
    ++counts[1 * kTopBins + slot(magnitude_bits(d[i + 1]))];
    ++counts[2 * kTopBins + slot(magnitude_bits(d[i + 2]))];
    ++counts[3 * kTopBins + slot(magnitude_bits(d[i + 3]))];
  }
  for (; i < n; ++i) ++counts[slot(magnitude_bits(d[i]))];
}

// A 10-bit digit at kShift, counted only for elements whose bits above the
// digit equal prefix; the others land in the spare slot (no branch: about
// a third of the elements mismatch at random).
template <int kShift>
QV_HOT_CLONES void count_low_digits(const float* d, size_t n, uint32_t prefix, uint32_t* counts) {
  auto slot = [prefix](uint32_t m) -> uint32_t {
    const uint32_t digit = (m >> kShift) & 1023u;
    const uint32_t match = 0u - static_cast<uint32_t>((m >> (kShift + 10)) == prefix);
    return (digit & match) | (1024u & ~match);
  };
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++counts[0 * kLowBins + slot(magnitude_bits(d[i + 0]))];
    ++counts[1 * kLowBins + slot(magnitude_bits(d[i + 1]))];
    ++counts[2 * kLowBins + slot(magnitude_bits(d[i + 2]))];
    ++counts[3 * kLowBins + slot(magnitude_bits(d[i + 3]))];
  }
  for (; i < n; ++i) ++counts[slot(magnitude_bits(d[i]))];
}

// The digit holding the element of rank `rank` (0-based) among the counted
// ones; `rank` becomes relative to that digit.
uint32_t pick_digit(const uint32_t* counts, int stride, int bins, size_t& rank) {
  for (int b = 0; b < bins; ++b) {
    const size_t c = size_t{counts[b]} + counts[stride + b] + counts[2 * stride + b] + counts[3 * stride + b];
    if (rank < c) return static_cast<uint32_t>(b);
    rank -= c;
  }
  return static_cast<uint32_t>(bins - 1);  // unreachable: rank < number of counted elements
}

uint32_t select_by_copy(std::span<const float> d, size_t idx, std::vector<uint32_t>& scratch) {
  scratch.resize(d.size());
  for (size_t i = 0; i < d.size(); ++i) scratch[i] = magnitude_bits(d[i]);
  std::nth_element(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(idx), scratch.end());
  return scratch[idx];
}

// The magnitude bits of rank idx (0-based) in ascending order of |x|.
uint32_t select_magnitude(std::span<const float> d, size_t idx, std::vector<uint32_t>& scratch) {
  const size_t n = d.size();
  if (n < kRadixMinLength || n / 4 >= UINT32_MAX - 4) return select_by_copy(d, idx, scratch);
  std::array<uint32_t, 4 * kTopBins> top;
  top.fill(0);
  count_top_digits(d.data(), n, top.data());
  size_t rank = idx;
  const uint32_t t = pick_digit(top.data(), kTopBins, kTopBins, rank);
  if (t == 0) return 0;  // among the exact zeros, the smallest magnitude
  const uint32_t d1 = t - 1;
  // Non-zero magnitudes below 2^-146 share their top digit with zero; too
  // rare to deserve passes that would have to tell the two apart.
  if (d1 == 0) return select_by_copy(d, idx, scratch);
  std::array<uint32_t, 4 * kLowBins> low;
  low.fill(0);
  count_low_digits<10>(d.data(), n, d1, low.data());
  const uint32_t d2 = pick_digit(low.data(), kLowBins, 1024, rank);
  low.fill(0);
  count_low_digits<0>(d.data(), n, (d1 << 10) | d2, low.data());
  const uint32_t d3 = pick_digit(low.data(), kLowBins, 1024, rank);
  return (d1 << 20) | (d2 << 10) | d3;
}

// The trimmed value: +0.0 below the threshold, the element otherwise.
inline float trimmed(float x, uint32_t threshold) {
  const uint32_t keep = 0u - static_cast<uint32_t>(magnitude_bits(x) >= threshold);
  return std::bit_cast<float>(std::bit_cast<uint32_t>(x) & keep);
}
// v when c holds, else +0.0.
inline double keep_if(double v, bool c) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & (0ull - static_cast<uint64_t>(c)));
}

// Two deltas, the merge's case. pos and neg start from +0.0 and add only
// strictly signed values, so adding +0.0 for the others changes nothing. The
// agreeing sum is pos itself (positive election) or exactly -neg (negation
// commutes with rounding), and exactly one of the two masked terms below is
// non-zero unless both are +0.0. With no agreeing entry the sum is +0.0, the
// 0 the definition asks for; dividing by 1 or 2 equals multiplying by 1 or 0.5.
QV_HOT_CLONES
void ties_two(const float* x0, const float* x1, uint32_t th0, uint32_t th1, double scale, float* out, size_t n) {
  for (size_t c = 0; c < n; ++c) {
    const double t0 = trimmed(x0[c], th0);
    const double t1 = trimmed(x1[c], th1);
    const bool p0 = t0 > 0, p1 = t1 > 0, n0 = t0 < 0, n1 = t1 < 0;
    double pos = 0.0, neg = 0.0;
    pos += keep_if(t0, p0);
    neg += keep_if(-t0, n0);
    pos += keep_if(t1, p1);
    neg += keep_if(-t1, n1);
    const bool negative = pos < neg;
    const double sum = keep_if(-neg, negative) + keep_if(pos, !negative);
    const bool two = negative ? (n0 & n1) : (p0 & p1);
    const double mean = sum * (1.0 - keep_if(0.5, two));
    out[c] = static_cast<float>(mean * scale);
  }
}

// Any number of deltas: the same rules, one coordinate at a time.
void ties_many(std::span<const std::span<const float>> deltas, const std::vector<uint32_t>& thresholds, double scale,
               float* out, size_t n) {
  const size_t m = deltas.size();
  for (size_t c = 0; c < n; ++c) {
    double pos = 0.0, neg = 0.0;
    size_t cpos = 0, cneg = 0;
    for (size_t j = 0; j < m; ++j) {
      const double t = trimmed(deltas[j][c], thresholds[j]);
      pos += t > 0 ? t : 0.0;
      neg += t < 0 ? -t : 0.0;
      cpos += t > 0;
      cneg += t < 0;
    }
    const bool negative = pos < neg;
    const double sum = negative ? -neg : pos;
    const size_t count = negative ? cneg : cpos;
    const double mean = count == 0 ? 0.0 : sum / static_cast<double>(count);
    out[c] = static_cast<float>(mean * scale);
  }
}

}  // namespace

Result<std::vector<float>> dare(std::span<const float> delta, double p, uint64_t seed) {
  if (!(p > 0.0 && p < 1.0)) return integrity_error("dare: p must be in (0,1), got " + plain_f64(p));
  const double keep_scale = 1.0 / (1.0 - p);
  // p * 2^53 is exact and lies in (0, 2^53), so the ceiling fits.
  const uint64_t drop_below = static_cast<uint64_t>(std::ceil(std::ldexp(p, 53)));
  std::vector<float> out;
  try {
    out.resize(delta.size());
  } catch (const std::bad_alloc&) {
    return out_of_memory("dare", delta.size());
  }
  dare_loop(delta.data(), out.data(), delta.size(), seed + kDareStart, drop_below, keep_scale);
  return out;
}

Result<std::vector<float>> ties_merge(std::span<const std::span<const float>> deltas, double keep_top, float scale) {
  if (deltas.empty()) return integrity_error("ties_merge: no deltas");
  const size_t n = deltas[0].size();
  for (size_t i = 0; i < deltas.size(); ++i) {
    if (deltas[i].size() != n) {
      return integrity_error("ties_merge: delta " + std::to_string(i) + " has len " +
                             std::to_string(deltas[i].size()) + ", expected " + std::to_string(n));
    }
  }
  if (!(keep_top >= 0.0 && keep_top <= 1.0)) {
    return integrity_error("ties_merge: keep_top must be in [0,1], got " + plain_f64(keep_top));
  }
  std::vector<float> out;
  try {
    out.resize(n);
    const double wide_scale = scale;
    if (n == 0) return out;
    if (keep_top >= 1.0) {
      // Everything is trimmed: every coordinate elects positive with no
      // agreeing entry, so its mean is +0.0 (times scale, which keeps a
      // negative or non-finite scale's effect on the sign or NaN).
      std::fill(out.begin(), out.end(), static_cast<float>(0.0 * wide_scale));
      return out;
    }
    // Instead of trimmed copies, each delta gets a magnitude threshold and
    // the trim is applied as the coordinates are visited: the same values,
    // without materialising m more lists. Threshold 0 keeps everything.
    std::vector<uint32_t> thresholds(deltas.size(), 0);
    if (keep_top > 0.0) {
      const size_t k = static_cast<size_t>(keep_top * static_cast<double>(n));
      const size_t idx = std::min(k, n - 1);
      std::vector<uint32_t> scratch;
      for (size_t j = 0; j < deltas.size(); ++j) thresholds[j] = select_magnitude(deltas[j], idx, scratch);
    }
    if (deltas.size() == 2) {
      ties_two(deltas[0].data(), deltas[1].data(), thresholds[0], thresholds[1], wide_scale, out.data(), n);
    } else {
      ties_many(deltas, thresholds, wide_scale, out.data(), n);
    }
  } catch (const std::bad_alloc&) {
    return out_of_memory("ties_merge", n);
  }
  return out;
}

}  // namespace qv
