#include "core/time.h"

#include <chrono>
#include <cstdio>

namespace qv {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

Timestamp now_utc() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return Timestamp{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

std::string format_rfc3339(const Timestamp& t) {
  int64_t days = floor_div(t.secs, 86400);
  int64_t sod = t.secs - days * 86400;
  int64_t y;
  unsigned mo, d;
  civil_from_days(days, y, mo, d);
  uint32_t nanos = t.nanos;
  unsigned sec = static_cast<unsigned>(sod % 60);
  if (nanos >= 1000000000u) {  // leap second
    nanos -= 1000000000u;
    sec += 1;
  }
  char buf[64];
  int n;
  if (y >= 0 && y <= 9999) {
    n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(y));
  } else {
    n = std::snprintf(buf, sizeof buf, "%+05lld", static_cast<long long>(y));
  }
  n += std::snprintf(buf + n, sizeof buf - n, "-%02u-%02uT%02u:%02u:%02u", mo, d,
                     static_cast<unsigned>(sod / 3600), static_cast<unsigned>(sod / 60 % 60), sec);
  if (nanos != 0) {
    if (nanos % 1000000 == 0) {
      n += std::snprintf(buf + n, sizeof buf - n, ".%03u", nanos / 1000000);
    } else if (nanos % 1000 == 0) {
      n += std::snprintf(buf + n, sizeof buf - n, ".%06u", nanos / 1000);
    } else {
      n += std::snprintf(buf + n, sizeof buf - n, ".%09u", nanos);
    }
  }
  buf[n++] = 'Z';
  return std::string(buf, static_cast<size_t>(n));
}

std::expected<Timestamp, std::string> parse_rfc3339(std::string_view s) {
  const std::string kShort = "premature end of input";
  const std::string kInvalid = "input contains invalid characters";
  const std::string kRange = "input is out of range";
  size_t i = 0;
  // Reads exactly n digits.
  auto digits = [&](int n, unsigned& out) -> std::expected<void, std::string> {
    out = 0;
    for (int k = 0; k < n; ++k) {
      if (i >= s.size()) return std::unexpected(kShort);
      char c = s[i];
      if (c < '0' || c > '9') return std::unexpected(kInvalid);
      out = out * 10 + static_cast<unsigned>(c - '0');
      ++i;
    }
    return {};
  };
  auto expect = [&](auto pred) -> std::expected<void, std::string> {
    if (i >= s.size()) return std::unexpected(kShort);
    if (!pred(s[i])) return std::unexpected(kInvalid);
    ++i;
    return {};
  };
  unsigned year, month, day, hour, minute, second;
  if (auto r = digits(4, year); !r) return std::unexpected(r.error());
  if (auto r = expect([](char c) { return c == '-'; }); !r) return std::unexpected(r.error());
  if (auto r = digits(2, month); !r) return std::unexpected(r.error());
  if (auto r = expect([](char c) { return c == '-'; }); !r) return std::unexpected(r.error());
  if (auto r = digits(2, day); !r) return std::unexpected(r.error());
  if (auto r = expect([](char c) { return c == 'T' || c == 't' || c == ' '; }); !r) return std::unexpected(r.error());
  if (auto r = digits(2, hour); !r) return std::unexpected(r.error());
  if (auto r = expect([](char c) { return c == ':'; }); !r) return std::unexpected(r.error());
  if (auto r = digits(2, minute); !r) return std::unexpected(r.error());
  if (auto r = expect([](char c) { return c == ':'; }); !r) return std::unexpected(r.error());
  if (auto r = digits(2, second); !r) return std::unexpected(r.error());
  uint32_t nanos = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    size_t start = i;
    uint32_t scale = 100000000;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      // Digits beyond nanoseconds are accepted and dropped.
      nanos += static_cast<uint32_t>(s[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
    if (i == start) return std::unexpected(i >= s.size() ? kShort : kInvalid);
  }
  int64_t offset = 0;
  if (i >= s.size()) return std::unexpected(kShort);
  char z = s[i];
  if (z == 'Z' || z == 'z') {
    ++i;
  } else if (z == '+' || z == '-') {
    ++i;
    unsigned oh, om;
    if (auto r = digits(2, oh); !r) return std::unexpected(r.error());
    if (auto r = expect([](char c) { return c == ':'; }); !r) return std::unexpected(r.error());
    if (auto r = digits(2, om); !r) return std::unexpected(r.error());
    if (oh > 23 || om > 59) return std::unexpected(kRange);
    offset = (static_cast<int64_t>(oh) * 60 + om) * 60 * (z == '-' ? -1 : 1);
  } else {
    return std::unexpected(kInvalid);
  }
  if (i != s.size()) return std::unexpected(std::string("trailing input"));
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
      second > 60) {
    return std::unexpected(kRange);
  }
  if (second == 60) {
    // A leap second is held as second 59 plus a whole extra second of nanos.
    second = 59;
    nanos += 1000000000u;
  }
  int64_t secs = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  return Timestamp{secs, nanos};
}

}  // namespace qv
