#include "core/time.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(TimeTest, FormatsFractionByExactness) {
  struct {
    Timestamp t;
    const char* text;
  } cases[] = {
      {{0, 0}, "1970-01-01T00:00:00Z"},
      {{1700000000, 5000000}, "2023-11-14T22:13:20.005Z"},
      {{1700000000, 1500}, "2023-11-14T22:13:20.000001500Z"},
      {{1700000000, 123456000}, "2023-11-14T22:13:20.123456Z"},
      {{1700000000, 1}, "2023-11-14T22:13:20.000000001Z"},
      {{-1, 0}, "1969-12-31T23:59:59Z"},
      {{951782400, 0}, "2000-02-29T00:00:00Z"},
      {{253402300799, 999000000}, "9999-12-31T23:59:59.999Z"},
      {{1483228799, 1000000000}, "2016-12-31T23:59:60Z"},
      {{1483228799, 1500000000}, "2016-12-31T23:59:60.500Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_rfc3339(c.t), c.text);
    auto back = parse_rfc3339(c.text);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, c.t);
  }
}

TEST(TimeTest, ParsesOffsetsIntoUtc) {
  struct {
    const char* text;
    const char* utc;
  } cases[] = {
      {"2024-05-01T12:00:00+02:00", "2024-05-01T10:00:00Z"},
      {"2024-05-01T00:30:00-01:30", "2024-05-01T02:00:00Z"},
      {"2024-01-01T00:00:00+01:00", "2023-12-31T23:00:00Z"},
      {"2024-05-01t12:00:00.1z", "2024-05-01T12:00:00.100Z"},
      {"2024-05-01 12:00:00.1234567891Z", "2024-05-01T12:00:00.123456789Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto t = parse_rfc3339(c.text);
    ASSERT_TRUE(t.has_value()) << t.error();
    EXPECT_EQ(format_rfc3339(*t), c.utc);
  }
}

TEST(TimeTest, RejectsBadText) {
  struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "premature end of input"},
      {"2024-05-01", "premature end of input"},
      {"2024-05-01T12:00:00", "premature end of input"},
      {"2024-05-01T12:00:00.", "premature end of input"},
      {"2024/05/01T12:00:00Z", "input contains invalid characters"},
      {"2024-05-01X12:00:00Z", "input contains invalid characters"},
      {"2024-05-01T12:00:00+0200", "input contains invalid characters"},
      {"yesterday", "input contains invalid characters"},
      {"2024-13-01T12:00:00Z", "input is out of range"},
      {"2023-02-29T12:00:00Z", "input is out of range"},
      {"2024-05-01T24:00:00Z", "input is out of range"},
      {"2024-05-01T12:00:61Z", "input is out of range"},
      {"2024-05-01T12:00:00+24:00", "input is out of range"},
      {"2024-05-01T12:00:00Zjunk", "trailing input"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto t = parse_rfc3339(c.text);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error(), c.error);
  }
}

TEST(TimeTest, NowHasNanoseconds) {
  Timestamp a = now_utc();
  EXPECT_GT(a.secs, 1700000000);
  EXPECT_LT(a.nanos, 1000000000u);
}

}  // namespace
}  // namespace qv
