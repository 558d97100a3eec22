#include "core/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qv {
namespace {

// Shortest round-trip digits of a finite, non-zero float: d1..dn without
// trailing zeros and the exponent g of d1.d2..dn x 10^g.
struct Decimal {
  char digits[16];
  int n = 0;
  int exp = 0;
};

Decimal shortest_digits(float magnitude) {
  // Scientific to_chars without a precision is the shortest text that reads
  // back as the same float: "d[.ddd]e[+-]XX".
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  Decimal d;
  const char* p = buf;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.n++] = *p;
  }
  while (d.n > 1 && d.digits[d.n - 1] == '0') --d.n;
  if (p != res.ptr) {
    ++p;  // 'e'
    bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int e = 0;
    for (; p != res.ptr; ++p) e = e * 10 + (*p - '0');
    d.exp = neg ? -e : e;
  }
  return d;
}

}  // namespace

void append_f32(std::string& out, float v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  if (std::signbit(v)) out += '-';
  if (v == 0.0f) {
    out += "0.0";
    return;
  }
  const Decimal d = shortest_digits(std::fabs(v));
  const int n = d.n;
  const int g = d.exp;
  if (g < -6 || g > 12) {
    out += d.digits[0];
    if (n > 1) {
      out += '.';
      out.append(d.digits + 1, n - 1);
    }
    out += 'e';
    out += g < 0 ? '-' : '+';
    char buf[8];
    auto res = std::to_chars(buf, buf + sizeof buf, std::abs(g));
    out.append(buf, res.ptr);
  } else if (g < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-g - 1), '0');
    out.append(d.digits, n);
  } else if (g < n - 1) {
    out.append(d.digits, g + 1);
    out += '.';
    out.append(d.digits + g + 1, n - g - 1);
  } else {
    out.append(d.digits, n);
    out.append(static_cast<size_t>(g - n + 1), '0');
    out += ".0";
  }
}

std::string plain_f64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  std::string out;
  if (std::signbit(v)) out += '-';
  if (v == 0.0) return out + "0";
  // Shortest round-trip digits laid out positionally, padded with zeros
  // (not the exact binary value): 2^64 reads 18446744073709552000.
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  char digits[24];
  int n = 0;
  const char* p = buf;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  while (n > 1 && digits[n - 1] == '0') --n;
  int g = 0;
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, g);
  if (g < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-g - 1), '0');
    out.append(digits, n);
  } else if (g < n - 1) {
    out.append(digits, g + 1);
    out += '.';
    out.append(digits + g + 1, n - g - 1);
  } else {
    out.append(digits, n);
    out.append(static_cast<size_t>(g - n + 1), '0');
  }
  return out;
}

}  // namespace qv
