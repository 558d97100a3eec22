#include "model/delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace qv {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const double kNaN = std::nan("");

// Straightforward versions of the kernels' definitions, written without the
// shortcuts of the library (no closed-form state, no integer threshold, no
// selection, no masks).
std::vector<double> draws(uint64_t seed, size_t n) {
  std::vector<double> u;
  uint64_t state = seed + 0x3C6EF372FE94F82Aull;
  for (size_t i = 0; i < n; ++i) {
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z = z ^ (z >> 31);
    u.push_back(static_cast<double>(z >> 11) * 0x1p-53);
    state += 0x9E3779B97F4A7C15ull;
  }
  return u;
}

std::vector<float> slow_dare(const std::vector<float>& d, double p, uint64_t seed) {
  const double keep = 1.0 / (1.0 - p);
  auto u = draws(seed, d.size());
  std::vector<float> out;
  for (size_t i = 0; i < d.size(); ++i) out.push_back(p > u[i] ? 0.0f : static_cast<float>(d[i] * keep));
  return out;
}

std::vector<float> slow_ties(const std::vector<std::vector<float>>& deltas, double keep_top, float scale) {
  std::vector<std::vector<float>> t;
  for (const auto& d : deltas) {
    std::vector<float> trimmed = d;
    if (keep_top >= 1.0) {
      std::fill(trimmed.begin(), trimmed.end(), 0.0f);
    } else if (keep_top > 0.0 && !d.empty()) {
      std::vector<float> mags;
      for (float x : d) mags.push_back(std::fabs(x));
      std::sort(mags.begin(), mags.end());
      size_t k = static_cast<size_t>(keep_top * static_cast<double>(d.size()));
      float threshold = mags[std::min(k, d.size() - 1)];
      for (float& x : trimmed) {
        if (std::fabs(x) < threshold) x = 0.0f;
      }
    }
    t.push_back(std::move(trimmed));
  }
  std::vector<float> out;
  for (size_t c = 0; c < deltas[0].size(); ++c) {
    double pos = 0, neg = 0;
    for (const auto& v : t) {
      if (v[c] > 0) pos += v[c];
      if (v[c] < 0) neg += -v[c];
    }
    const bool negative = pos < neg;
    double sum = 0;
    size_t count = 0;
    for (const auto& v : t) {
      if (negative ? v[c] < 0 : v[c] > 0) {
        sum += v[c];
        ++count;
      }
    }
    const double mean = count == 0 ? 0.0 : sum / static_cast<double>(count);
    out.push_back(static_cast<float>(mean * static_cast<double>(scale)));
  }
  return out;
}

std::vector<uint32_t> bits(const std::vector<float>& v) {
  std::vector<uint32_t> b;
  for (float x : v) b.push_back(std::bit_cast<uint32_t>(x));
  return b;
}

Result<std::vector<float>> ties(const std::vector<std::vector<float>>& deltas, double keep_top, float scale) {
  std::vector<std::span<const float>> views(deltas.begin(), deltas.end());
  return ties_merge(views, keep_top, scale);
}

// A mix that stresses the magnitude order: exact zeros of both signs, runs of
// equal values, subnormals, huge values and infinities, random bit patterns.
std::vector<float> awkward_vector(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<float> v(n);
  const float pool[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1e-45f, -1e-40f, 3e38f, -kInf, kInf, 0.1f, -0.1f};
  for (float& x : v) {
    switch (rng() % 4) {
      case 0: x = pool[rng() % std::size(pool)]; break;
      case 1: x = std::normal_distribution<float>(0.0f, 0.01f)(rng); break;
      case 2: x = 0.0f; break;
      default: {
        uint32_t b = rng();
        if ((b & 0x7F800000u) == 0x7F800000u) b &= 0xFF7FFFFFu;  // no NaN
        x = std::bit_cast<float>(b);
      }
    }
  }
  return v;
}

TEST(DareTest, RejectsPOutsideOpenUnitInterval) {
  struct {
    double p;
    const char* text;
  } cases[] = {{0.0, "0"}, {1.0, "1"}, {-0.1, "-0.1"}, {1.5, "1.5"}, {kNaN, "NaN"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = dare(std::vector<float>{1.0f}, c.p, 0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().message, std::string("dare: p must be in (0,1), got ") + c.text);
  }
}

TEST(DareTest, SeedZeroWorkedValues) {
  const double expected_u[] = {0.4315, 0.0264, 0.9709, 0.1063, 0.3273, 0.1739, 0.7715, 0.2457, 0.9520, 0.3965};
  auto u = draws(0, 10);
  for (size_t i = 0; i < 10; ++i) EXPECT_NEAR(u[i], expected_u[i], 0.00006) << i;

  auto r = dare(std::vector<float>(10, 1.0f), 0.7, 0);
  ASSERT_TRUE(r);
  const float third = static_cast<float>(1.0 / (1.0 - 0.7));
  EXPECT_EQ(third, 3.3333333f);
  const std::vector<float> expected = {0, 0, third, 0, 0, 0, third, 0, third, 0};
  EXPECT_EQ(bits(*r), bits(expected));  // dropped entries are +0.0
}

TEST(DareTest, HalfDropDoublesSurvivorsAndMasksDependOnSeedAndIndexOnly) {
  std::vector<float> values = {0.1f, -3.5f, 7.25f, 1e-30f, -2.0f, 6e37f, 0.3f, 9.0f, -0.0f, 1e-45f};
  auto halves = dare(values, 0.5, 42);
  ASSERT_TRUE(halves);
  auto ones = dare(std::vector<float>(values.size(), 1.0f), 0.5, 42);
  ASSERT_TRUE(ones);
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    if ((*ones)[i] == 0.0f) {
      EXPECT_EQ(std::bit_cast<uint32_t>((*halves)[i]), 0u);
    } else {
      EXPECT_EQ((*ones)[i], 2.0f);
      EXPECT_EQ(std::bit_cast<uint32_t>((*halves)[i]), std::bit_cast<uint32_t>(values[i] * 2.0f));
    }
  }
  auto empty = dare(std::span<const float>(), 0.7, 9);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(DareTest, DropsExactlyWhenPExceedsTheDraw) {
  // p equal to a draw keeps that element; the next double above drops it.
  auto u = draws(7, 64);
  for (size_t i : {0u, 5u, 33u, 63u}) {
    SCOPED_TRACE(i);
    if (u[i] == 0.0) continue;
    std::vector<float> ones(64, 1.0f);
    auto at = dare(ones, u[i], 7);
    auto above = dare(ones, std::nextafter(u[i], 1.0), 7);
    ASSERT_TRUE(at);
    ASSERT_TRUE(above);
    EXPECT_NE((*at)[i], 0.0f);
    EXPECT_EQ((*above)[i], 0.0f);
  }
}

TEST(DareTest, MatchesDefinitionOnAwkwardInputs) {
  const double ps[] = {0.7, 0.5, 1e-300, 0.2, std::nextafter(1.0, 0.0), 0x1p-53, 0.3 + 0x1p-54};
  const uint64_t seeds[] = {0, 1, 0xFFFFFFFFFFFFFFFFull, 0xC3A5C85C97CB3127ull};
  auto v = awkward_vector(5000, 3);
  for (double p : ps) {
    for (uint64_t seed : seeds) {
      SCOPED_TRACE(testing::Message() << "p=" << p << " seed=" << seed);
      auto r = dare(v, p, seed);
      ASSERT_TRUE(r);
      EXPECT_EQ(bits(*r), bits(slow_dare(v, p, seed)));
    }
  }
  // One rounding at the end: a survivor beyond float range becomes infinite.
  auto big = dare(std::vector<float>(8, 3e38f), 0.5, 0);
  ASSERT_TRUE(big);
  for (float x : *big) EXPECT_TRUE(x == 0.0f || x == kInf);
}

TEST(TiesMergeTest, WorkedValues) {
  struct {
    const char* name;
    std::vector<std::vector<float>> deltas;
    double keep_top;
    float scale;
    std::vector<float> expected;
  } cases[] = {
      {"tie elects positive", {{1, -2}, {3, 2}}, 0.0, 1.0f, {2, 2}},
      {"trim two smallest", {{1, 2, 3, 4, 5}}, 0.2, 1.0f, {0, 2, 3, 4, 5}},
      {"trim all", {{1, 2, 3, 4, 5}}, 1.0, 1.0f, {0, 0, 0, 0, 0}},
      {"trim none", {{1, 2, 3, 4, 5}}, 0.0, 1.0f, {1, 2, 3, 4, 5}},
      {"all zero coordinate", {{0, 1}, {0, 3}}, 0.0, 1.0f, {0, 2}},
      {"only negatives survive", {{-1, 4}, {-3, 4}}, 0.0, 0.5f, {-1, 2}},
      {"zeros never count", {{-4, 1}, {-2, 0}, {1, 0}}, 0.0, 1.0f, {-3, 1}},
      {"equal magnitudes at threshold survive", {{1, -1, 1, 2}}, 0.25, 1.0f, {1, -1, 1, 2}},
      {"idx capped at n-1", {{3, 1, 2}}, 0.999, 1.0f, {3, 0, 0}},
      {"empty deltas", {{}, {}}, 0.2, 1.0f, {}},
      {"negative zero mean under alpha 0", {{-1, 2}, {-2, 0}}, 0.0, 0.0f, {-0.0f, 0.0f}},
      {"keep_top 1 under negative scale", {{1, -2}}, 1.0, -1.0f, {-0.0f, -0.0f}},
      {"three deltas, disjoint mean", {{1, -1}, {2, -1}, {-9, 5}}, 0.0, 1.0f, {-9, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = ties(c.deltas, c.keep_top, c.scale);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(bits(*r), bits(c.expected));
  }
}

TEST(TiesMergeTest, ChecksInOrder) {
  struct {
    std::vector<std::vector<float>> deltas;
    double keep_top;
    std::string message;
  } cases[] = {
      {{}, 5.0, "ties_merge: no deltas"},
      {{{1, 2, 3}, {1, 2, 3, 4}}, 7.0, "ties_merge: delta 1 has len 4, expected 3"},
      {{{1}, {1}, {}, {1, 2}}, 0.2, "ties_merge: delta 2 has len 0, expected 1"},
      {{{1}}, 1.5, "ties_merge: keep_top must be in [0,1], got 1.5"},
      {{{1}}, -0.1, "ties_merge: keep_top must be in [0,1], got -0.1"},
      {{{1}}, kNaN, "ties_merge: keep_top must be in [0,1], got NaN"},
      {{{}}, 1e-7 - 1.0, "ties_merge: keep_top must be in [0,1], got -0.9999999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto r = ties(c.deltas, c.keep_top, 1.0f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().message, c.message);
  }
}

// Long vectors take the histogram selection, short ones a copy and
// nth_element; both must give the threshold a full sort gives.
TEST(TiesMergeTest, MatchesDefinitionOnShortAndLongVectors) {
  const size_t lengths[] = {1, 2, 7, 1000, 32767, 32768, 100003};
  const double keep_tops[] = {0.0, 0.2, 0.5, 0.7, 0.999, 1.0};
  for (size_t n : lengths) {
    auto a = awkward_vector(n, static_cast<uint32_t>(n));
    auto b = awkward_vector(n, static_cast<uint32_t>(n) + 1);
    auto c = awkward_vector(n, static_cast<uint32_t>(n) + 2);
    for (double k : keep_tops) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " keep_top=" << k);
      auto two = ties({a, b}, k, 0.5f);
      ASSERT_TRUE(two);
      EXPECT_EQ(bits(*two), bits(slow_ties({a, b}, k, 0.5f)));
      if (n <= 32768) {
        auto three = ties({a, b, c}, k, -1.25f);
        ASSERT_TRUE(three);
        EXPECT_EQ(bits(*three), bits(slow_ties({a, b, c}, k, -1.25f)));
      }
    }
  }
  // Thresholds among exact zeros, among the tiniest subnormals, and above.
  std::vector<float> layered(40000);
  for (size_t i = 0; i < layered.size(); ++i) {
    const uint32_t tiny = static_cast<uint32_t>(1 + (i * 7919) % 100000);  // below 2^-146
    layered[i] = i % 4 == 0 ? 0.0f : i % 4 == 1 ? std::bit_cast<float>(tiny) : 1.0f + static_cast<float>(i % 97);
  }
  for (double k : {0.1, 0.3, 0.4999, 0.6, 0.9}) {
    SCOPED_TRACE(k);
    auto r = ties({layered, layered}, k, 1.0f);
    ASSERT_TRUE(r);
    EXPECT_EQ(bits(*r), bits(slow_ties({layered, layered}, k, 1.0f)));
  }
  // After dare most entries are zero: the threshold falls inside the zeros.
  auto sparse = dare(awkward_vector(50000, 11), 0.7, 5);
  auto sparse2 = dare(awkward_vector(50000, 12), 0.7, 6);
  ASSERT_TRUE(sparse && sparse2);
  for (double k : {0.2, 0.69, 0.71, 0.95}) {
    SCOPED_TRACE(k);
    auto r = ties({*sparse, *sparse2}, k, 0.5f);
    ASSERT_TRUE(r);
    EXPECT_EQ(bits(*r), bits(slow_ties({*sparse, *sparse2}, k, 0.5f)));
  }
}

}  // namespace
}  // namespace qv
