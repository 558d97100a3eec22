// UTC time with nanoseconds and its RFC 3339 text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace qv {

// Seconds since 1970-01-01T00:00:00Z plus nanoseconds. A leap second is held
// as second 59 with nanos in [1e9, 2e9) and is written as second 60.
struct Timestamp {
  int64_t secs = 0;
  uint32_t nanos = 0;
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// The system clock, full precision.
Timestamp now_utc();

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z": no fraction for a whole
// second, else 3, 6 or 9 digits, whichever is exact.
std::string format_rfc3339(const Timestamp& t);

// Any RFC 3339 date-time with any offset, converted to UTC. The error is a
// bare message ("premature end of input", "input contains invalid characters",
// "input is out of range", "trailing input", ...); callers add positions.
std::expected<Timestamp, std::string> parse_rfc3339(std::string_view text);

}  // namespace qv
