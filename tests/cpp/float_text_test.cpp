#include "core/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "core/json.h"

namespace qv {
namespace {

std::string f32_text(float v) {
  std::string out;
  append_f32(out, v);
  return out;
}

TEST(FloatTextTest, CanonicalLayout) {
  struct {
    float value;
    std::string text;
  } cases[] = {
      {1.0f, "1.0"},
      {0.5f, "0.5"},
      {100.0f, "100.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {1e-6f, "0.000001"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {0.1f, "0.1"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {0.00123f, "0.00123"},
      {123.25f, "123.25"},
      {-123.25f, "-123.25"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {-std::numeric_limits<float>::max(), "-3.4028235e+38"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {1.2345678e12f, "1234567800000.0"},
      {9.999999e12f, "9999999000000.0"},
      {1.5e13f, "1.5e+13"},
      {16777216.0f, "16777216.0"},
      {0.3f, "0.3"},
      {1.0e-5f, "0.00001"},
      {2.5e-7f, "2.5e-7"},
      {9.5e-7f, "9.5e-7"},
      {1.25f, "1.25"},
      {12345.678f, "12345.678"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(f32_text(c.value), c.text);
  }
}

TEST(FloatTextTest, PlainF64) {
  struct {
    double value;
    std::string text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {1.5, "1.5"},
      {-0.1, "-0.1"},
      {0.0000001, "0.0000001"},
      {0.7, "0.7"},
      {1e21, "1000000000000000000000"},
      {123456.789, "123456.789"},
      // Shortest digits, then zeros: not the exact binary value.
      {18446744073709551616.0, "18446744073709552000"},
      {1e23, "100000000000000000000000"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {std::nan(""), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(plain_f64(c.value), c.text);
  }
  // The extremes fit too and read back.
  for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   -std::numeric_limits<double>::min()}) {
    std::string t = plain_f64(v);
    EXPECT_EQ(t.find('e'), std::string::npos);
    EXPECT_EQ(std::strtod(t.c_str(), nullptr), v);
  }
}

// Significant digits and decimal exponent of the shortest round-trip form,
// from the library.
struct Shortest {
  int digits = 0;
  int exp = 0;
};
Shortest shortest_form(float v) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  Shortest s;
  const char* p = buf;
  for (; p != res.ptr && *p != 'e'; ++p) s.digits += (*p >= '0' && *p <= '9');
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, s.exp);
  return s;
}

// Checks one finite float: the text reads back to the same bits, has no more
// significant digits than the shortest form, and uses the exponent form
// exactly outside the decimal exponents -6..12.
void check_float(float v) {
  const std::string t = f32_text(v);
  const float back = std::strtof(t.c_str(), nullptr);
  ASSERT_EQ(std::bit_cast<uint32_t>(back), std::bit_cast<uint32_t>(v)) << t;
  ASSERT_EQ(t[0] == '-', std::signbit(v)) << t;
  if (v == 0.0f) return;
  std::string digits;
  for (char c : t.substr(0, t.find('e'))) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t first = digits.find_first_not_of('0');
  const size_t last = digits.find_last_not_of('0');
  ASSERT_NE(first, std::string::npos) << t;
  const Shortest s = shortest_form(v);
  ASSERT_EQ(static_cast<int>(last - first + 1), s.digits) << t;
  const bool exponent_form = t.find('e') != std::string::npos;
  ASSERT_EQ(exponent_form, s.exp < -6 || s.exp > 12) << t;
  if (!exponent_form) {
    ASSERT_NE(t.find('.'), std::string::npos) << t;
  }
}

TEST(FloatTextTest, RandomBitPatternsRoundTrip) {
  std::mt19937 gen(20240611);
  int checked = 0;
  while (checked < 1'000'000) {
    const float v = std::bit_cast<float>(static_cast<uint32_t>(gen()));
    if (!std::isfinite(v)) continue;
    check_float(v);
    if (::testing::Test::HasFatalFailure()) return;
    ++checked;
  }
}

TEST(FloatTextTest, SpecialValuesRoundTrip) {
  std::vector<float> values = {std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::denorm_min(), std::nextafter(std::numeric_limits<float>::min(), 0.0f),
                               1e-7f, 1e-6f, 1e12f, 1e13f, 0.1f, 1.0f};
  // Neighbours of the powers of ten where the layout switches.
  for (float p : {1e-7f, 1e-6f, 1e12f, 1e13f, 1e-38f, 1e38f}) {
    float lo = p, hi = p;
    for (int k = 0; k < 50; ++k) {
      lo = std::nextafter(lo, 0.0f);
      hi = std::nextafter(hi, std::numeric_limits<float>::infinity());
      values.push_back(lo);
      values.push_back(hi);
    }
  }
  // Every subnormal with few bits set, and a stretch of the smallest ones.
  for (uint32_t bits = 1; bits < 4096; ++bits) values.push_back(std::bit_cast<float>(bits));
  for (uint32_t b = 0; b < 23; ++b) values.push_back(std::bit_cast<float>(uint32_t{1} << b));
  for (float v : std::vector<float>(values)) values.push_back(-v);
  for (float v : values) {
    SCOPED_TRACE(v);
    check_float(v);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// The JSON reader turns every canonical text back into the same float.
TEST(FloatTextTest, JsonReaderReadsCanonicalTextBack) {
  std::mt19937 gen(7);
  std::string doc = "[";
  std::vector<float> expected;
  for (int k = 0; k < 200000; ++k) {
    const float v = std::bit_cast<float>(static_cast<uint32_t>(gen()));
    if (!std::isfinite(v)) continue;
    if (!expected.empty()) doc += ',';
    append_f32(doc, v);
    expected.push_back(v);
  }
  doc += ']';
  JsonReader r(doc);
  std::vector<float> got;
  auto st = r.read_f32_array(got);
  ASSERT_TRUE(st) << st.error().message;
  ASSERT_EQ(got.size(), expected.size());
  for (size_t k = 0; k < got.size(); ++k) {
    ASSERT_EQ(std::bit_cast<uint32_t>(got[k]), std::bit_cast<uint32_t>(expected[k])) << k;
  }
}

}  // namespace
}  // namespace qv
