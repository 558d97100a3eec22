#include "core/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/float_text.h"

namespace qv {
namespace {

constexpr int kMaxDepth = 128;
constexpr char kHexDigits[] = "0123456789abcdef";

// ------------------------------------------------------------ writing --

// For each byte: 0 when it is written as is, otherwise the letter after the
// backslash ('u' for the \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_i64(std::string& out, int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_f64(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
  // A reader must see a float again, not an integer.
  bool integer_looking = true;
  for (const char* p = buf; p != res.ptr; ++p) {
    if (*p != '-' && (*p < '0' || *p > '9')) {
      integer_looking = false;
      break;
    }
  }
  if (integer_looking) out += ".0";
}

// ------------------------------------------------------------ reading --

inline bool is_ws(unsigned char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
inline bool is_digit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10u; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// True when one of the 8 bytes of w is '"', '\\', below 0x20 or above 0x7F:
// the bytes a string scan has to stop at.
inline bool word_needs_attention(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  auto has_zero = [](uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  uint64_t quote = has_zero(w ^ (kOnes * '"'));
  uint64_t backslash = has_zero(w ^ (kOnes * '\\'));
  uint64_t control = (w - kOnes * 0x20) & ~w & kHigh;
  return (quote | backslash | control | (w & kHigh)) != 0;
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A number as read: integers keep their sign class, everything else is a double.
struct Number {
  enum Kind { kU64, kI64, kF64 } kind = kU64;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;

  double as_double() const { return kind == kU64 ? static_cast<double>(u) : kind == kI64 ? static_cast<double>(i) : d; }
};

// Rust-style debug quoting of a string value inside a message.
void append_quoted_for_message(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u{";
          if (c >= 0x10) out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0xF];
          out += '}';
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

std::string float_found_text(double d) {
  std::string t = plain_f64(d);
  if (std::isfinite(d) && t.find('.') == std::string::npos) t += ".0";
  return "floating point `" + t + "`";
}

std::string number_found_text(const Number& n) {
  switch (n.kind) {
    case Number::kU64: return "integer `" + std::to_string(n.u) + "`";
    case Number::kI64: return "integer `" + std::to_string(n.i) + "`";
    case Number::kF64: break;
  }
  return float_found_text(n.d);
}

std::string invalid_type_text(std::string_view found, std::string_view what) {
  std::string m = "invalid type: ";
  m += found;
  m += ", expected ";
  m += what;
  return m;
}

std::string invalid_value_text(std::string_view found, std::string_view what) {
  std::string m = "invalid value: ";
  m += found;
  m += ", expected ";
  m += what;
  return m;
}

}  // namespace

// ------------------------------------------------------------ writer --

void append_json_string(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p != end; ++p) {
    const char e = kEscape[static_cast<unsigned char>(*p)];
    if (e == 0) continue;
    out.append(run, p);
    out += '\\';
    out += e;
    if (e == 'u') {
      const unsigned char c = static_cast<unsigned char>(*p);
      out += "00";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    }
    run = p + 1;
  }
  out.append(run, end);
  out += '"';
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ += ',';
    has_items_.back() = 1;
  }
}

void JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  has_items_.push_back(0);
}

void JsonWriter::end_object() {
  out_ += '}';
  has_items_.pop_back();
}

void JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  has_items_.push_back(0);
}

void JsonWriter::end_array() {
  out_ += ']';
  has_items_.pop_back();
}

void JsonWriter::key(std::string_view k) {
  before_value();
  append_json_string(out_, k);
  out_ += ':';
  after_key_ = true;
}

void JsonWriter::string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

void JsonWriter::u64(uint64_t v) {
  before_value();
  append_u64(out_, v);
}

void JsonWriter::i64(int64_t v) {
  before_value();
  append_i64(out_, v);
}

void JsonWriter::f32(float v) {
  before_value();
  append_f32(out_, v);
}

void JsonWriter::f64(double v) {
  before_value();
  append_f64(out_, v);
}

void JsonWriter::boolean(bool v) {
  before_value();
  out_ += v ? "true" : "false";
}

void JsonWriter::null() {
  before_value();
  out_ += "null";
}

void JsonWriter::raw(std::string_view json) {
  before_value();
  out_ += json;
}

void write_json_value(JsonWriter& w, const JsonValue& value) {
  struct Visitor {
    JsonWriter& w;
    void operator()(std::nullptr_t) const { w.null(); }
    void operator()(bool b) const { w.boolean(b); }
    void operator()(uint64_t u) const { w.u64(u); }
    void operator()(int64_t i) const { w.i64(i); }
    void operator()(double d) const { w.f64(d); }
    void operator()(const std::string& s) const { w.string(s); }
    void operator()(const JsonValue::Array& a) const {
      w.begin_array();
      for (const auto& e : a) write_json_value(w, e);
      w.end_array();
    }
    void operator()(const JsonValue::Object& o) const {
      w.begin_object();
      for (const auto& [k, e] : o) {
        w.key(k);
        write_json_value(w, e);
      }
      w.end_object();
    }
  };
  std::visit(Visitor{w}, value.v);
}

std::string to_json_text(const JsonValue& value) {
  std::string out;
  JsonWriter w(out);
  write_json_value(w, value);
  return out;
}

std::string array_length_text(std::string_view type_name, size_t n) {
  std::string t(type_name);
  t += " with ";
  t += std::to_string(n);
  t += n == 1 ? " element" : " elements";
  return t;
}

// ------------------------------------------------------------ reader --

// The reader's scanning machinery; a friend so that the public class keeps
// a small surface.
struct JsonReaderAccess {
  using R = JsonReader;

  static const unsigned char* bytes(const R& r) { return reinterpret_cast<const unsigned char*>(r.text_.data()); }
  static size_t size(const R& r) { return r.text_.size(); }

  static CoreError error_at(const R& r, size_t off, std::string_view message) {
    if (r.pinned_ != SIZE_MAX) off = r.pinned_;
    if (off > r.text_.size()) off = r.text_.size();
    size_t line = 1;
    size_t line_start = 0;
    const char* base = r.text_.data();
    const char* p = base;
    const char* end = base + off;
    while (const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
      ++line;
      p = static_cast<const char*>(nl) + 1;
      line_start = static_cast<size_t>(p - base);
    }
    std::string m(message);
    m += " at line ";
    m += std::to_string(line);
    m += " column ";
    m += std::to_string(off - line_start);
    return CoreError{ErrorKind::kJson, std::move(m)};
  }

  static std::unexpected<CoreError> fail(const R& r, size_t off, std::string_view message) {
    return std::unexpected(error_at(r, off, message));
  }
  // At the byte at r.pos_ (counted).
  static std::unexpected<CoreError> fail_here(const R& r, std::string_view message) {
    return fail(r, r.pos_ < size(r) ? r.pos_ + 1 : r.pos_, message);
  }

  static void skip_ws(R& r) {
    const unsigned char* b = bytes(r);
    size_t n = size(r);
    size_t p = r.pos_;
    while (p < n && is_ws(b[p])) ++p;
    r.pos_ = p;
  }

  // Next byte after white space, or -1 at the end.
  static int peek(R& r) {
    skip_ws(r);
    return r.pos_ < size(r) ? bytes(r)[r.pos_] : -1;
  }

  // Entering one more container at the bracket under r.pos_.
  static Status enter(R& r, int extra_depth = 0) {
    if (r.depth_ + extra_depth + 1 > kMaxDepth) return fail_here(r, "recursion limit exceeded");
    return {};
  }

  static Status literal(R& r, std::string_view word) {
    const unsigned char* b = bytes(r);
    size_t n = size(r);
    for (char c : word) {
      if (r.pos_ >= n) return fail(r, r.pos_, "EOF while parsing a value");
      if (b[r.pos_] != static_cast<unsigned char>(c)) return fail(r, r.pos_ + 1, "expected ident");
      ++r.pos_;
    }
    return {};
  }

  // A number starting at r.pos_ (a '-' or a digit). With out == nullptr the
  // grammar is checked but no value is formed (skipped values).
  static Status number(R& r, Number* out) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    const size_t start = r.pos_;
    size_t p = start;
    bool neg = false;
    if (b[p] == '-') {
      neg = true;
      ++p;
      if (p >= n) return fail(r, p, "invalid number");
    }
    uint64_t mant = 0;
    bool big = false;          // mant overflowed; the exact digits are in the text
    int64_t exp_adjust = 0;    // from fraction digits kept in mant
    int64_t first_digit = 0;   // power of ten of the first significant digit
    bool any_nonzero = false;
    if (b[p] == '0') {
      ++p;
      if (p < n && is_digit(b[p])) return fail(r, p + 1, "invalid number");
    } else if (is_digit(b[p])) {
      size_t digits_start = p;
      while (p < n && is_digit(b[p])) {
        unsigned d = b[p] - '0';
        if (!big && (__builtin_mul_overflow(mant, 10, &mant) || __builtin_add_overflow(mant, d, &mant))) big = true;
        ++p;
      }
      any_nonzero = true;
      first_digit = static_cast<int64_t>(p - digits_start) - 1;
    } else {
      return fail(r, p + 1, "invalid number");
    }
    bool is_int = true;
    if (p < n && b[p] == '.') {
      is_int = false;
      ++p;
      if (p >= n) return fail(r, p, "EOF while parsing a value");
      if (!is_digit(b[p])) return fail(r, p + 1, "invalid number");
      int64_t k = 0;
      while (p < n && is_digit(b[p])) {
        unsigned d = b[p] - '0';
        ++k;
        if (!any_nonzero && d != 0) {
          any_nonzero = true;
          first_digit = -k;
        }
        if (!big) {
          if (__builtin_mul_overflow(mant, 10, &mant) || __builtin_add_overflow(mant, d, &mant)) {
            big = true;
          } else {
            --exp_adjust;
          }
        }
        ++p;
      }
    }
    int64_t exp = 0;
    if (p < n && (b[p] == 'e' || b[p] == 'E')) {
      is_int = false;
      ++p;
      bool eneg = false;
      if (p < n && (b[p] == '+' || b[p] == '-')) {
        eneg = b[p] == '-';
        ++p;
      }
      if (p >= n) return fail(r, p, "invalid number");
      if (!is_digit(b[p])) return fail(r, p + 1, "invalid number");
      while (p < n && is_digit(b[p])) {
        if (exp < 1'000'000'000) exp = exp * 10 + (b[p] - '0');
        ++p;
      }
      if (eneg) exp = -exp;
    }
    r.pos_ = p;
    if (out == nullptr) return {};

    if (is_int && !big) {
      if (!neg) {
        out->kind = Number::kU64;
        out->u = mant;
        return {};
      }
      if (mant == 0) {  // -0 keeps its sign as a double
        out->kind = Number::kF64;
        out->d = -0.0;
        return {};
      }
      if (mant <= uint64_t{1} << 63) {
        out->kind = Number::kI64;
        out->i = static_cast<int64_t>(0 - mant);
        return {};
      }
    }
    out->kind = Number::kF64;
    if (!any_nonzero) {
      out->d = neg ? -0.0 : 0.0;
      return {};
    }
    // Exact in double arithmetic, so correctly rounded (the common case).
    const int64_t e10 = exp_adjust + exp;
    if (!big && mant <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
      double d = static_cast<double>(mant);
      d = e10 < 0 ? d / kPow10[-e10] : d * kPow10[e10];
      out->d = neg ? -d : d;
      return {};
    }
    double d = 0;
    auto res = std::from_chars(reinterpret_cast<const char*>(b + start), reinterpret_cast<const char*>(b + p), d);
    if (res.ec == std::errc::result_out_of_range) {
      if (first_digit + exp >= 0) return fail(r, p, "number out of range");
      d = neg ? -0.0 : 0.0;  // below the smallest subnormal
    } else if (res.ec != std::errc() || std::isinf(d)) {
      return fail(r, p, "number out of range");
    }
    out->d = d;
    return {};
  }

  // A string whose opening quote is at r.pos_; its value is appended to out
  // unless out is null.
  static Status string(R& r, std::string* out) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    size_t p = r.pos_ + 1;
    size_t run = p;
    for (;;) {
      while (p + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, b + p, 8);
        if (word_needs_attention(w)) break;
        p += 8;
      }
      while (p < n) {
        unsigned char c = b[p];
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p;
      }
      if (p >= n) return fail(r, n, "EOF while parsing a string");
      unsigned char c = b[p];
      if (c == '"') {
        if (out) out->append(reinterpret_cast<const char*>(b + run), p - run);
        r.pos_ = p + 1;
        return {};
      }
      if (c < 0x20) return fail(r, p + 1, "control character (\\u0000-\\u001F) found while parsing a string");
      if (c >= 0x80) {
        QV_TRY(utf8_sequence(r, p));
        continue;
      }
      // Backslash.
      if (out) out->append(reinterpret_cast<const char*>(b + run), p - run);
      ++p;
      if (p >= n) return fail(r, n, "EOF while parsing a string");
      char simple = 0;
      switch (b[p]) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': break;
        default: return fail(r, p + 1, "invalid escape");
      }
      if (simple != 0) {
        if (out) *out += simple;
        ++p;
        run = p;
        continue;
      }
      ++p;
      auto cp = hex4(r, p);
      if (!cp) return std::unexpected(cp.error());
      uint32_t code = *cp;
      if (code >= 0xDC00 && code <= 0xDFFF) return fail(r, p, "lone trailing surrogate in hex escape");
      if (code >= 0xD800 && code <= 0xDBFF) {
        if (p + 1 >= n || b[p] != '\\' || b[p + 1] != 'u') {
          if (p >= n) return fail(r, n, "EOF while parsing a string");
          return fail(r, p + 1, "lone leading surrogate in hex escape");
        }
        p += 2;
        auto low = hex4(r, p);
        if (!low) return std::unexpected(low.error());
        if (*low < 0xDC00 || *low > 0xDFFF) return fail(r, p, "lone leading surrogate in hex escape");
        code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
      }
      if (out) append_utf8(*out, code);
      run = p;
    }
  }

  // Four hex digits at p, which is advanced past them.
  static Result<uint32_t> hex4(R& r, size_t& p) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (p >= n) return fail(r, n, "EOF while parsing a string");
      int h = hex_value(b[p]);
      if (h < 0) return fail(r, p + 1, "invalid escape");
      v = v * 16 + static_cast<uint32_t>(h);
      ++p;
    }
    return v;
  }

  // One well-formed UTF-8 sequence (no overlong forms, no surrogates, at most
  // U+10FFFF) starting at p, which is advanced past it.
  static Status utf8_sequence(R& r, size_t& p) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    const unsigned char c = b[p];
    int more;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return fail(r, p + 1, "invalid unicode code point");
    }
    ++p;
    for (int i = 0; i < more; ++i, ++p) {
      if (p >= n) return fail(r, n, "EOF while parsing a string");
      const unsigned char cc = b[p];
      if (cc < lo || cc > hi) return fail(r, p + 1, "invalid unicode code point");
      lo = 0x80;
      hi = 0xBF;
    }
    return {};
  }

  // After '{' or ',' in an object: the key string and its colon.
  static Status object_key(R& r, std::string* key) {
    QV_TRY(string(r, key));
    r.key_end_ = r.pos_;
    int c = peek(r);
    r.key_end_ = r.pos_;
    if (c != ':') return c < 0 ? fail(r, r.pos_, "EOF while parsing an object") : fail_here(r, "expected `:`");
    ++r.pos_;
    return {};
  }

  // After a ',' in a container: the reader must be at another value.
  static Status after_comma(R& r, int close) {
    int c = peek(r);
    if (c < 0) return fail(r, r.pos_, "EOF while parsing a value");
    if (c == close) return fail_here(r, "trailing comma");
    return {};
  }

  // Skips one value without native recursion: one byte of state per level.
  static Status skip(R& r) {
    char stack[kMaxDepth];
    int sp = 0;
    for (;;) {
      // At a value.
      int c = peek(r);
      bool closed = false;
      switch (c) {
        case -1: return fail(r, r.pos_, "EOF while parsing a value");
        case '{': {
          QV_TRY(enter(r, sp));
          ++r.pos_;
          int k = peek(r);
          if (k == '}') {
            ++r.pos_;
            closed = true;
          } else if (k == '"') {
            QV_TRY(object_key(r, nullptr));
            stack[sp++] = '}';
          } else if (k < 0) {
            return fail(r, r.pos_, "EOF while parsing an object");
          } else {
            return fail_here(r, "key must be a string");
          }
          break;
        }
        case '[': {
          QV_TRY(enter(r, sp));
          ++r.pos_;
          int k = peek(r);
          if (k == ']') {
            ++r.pos_;
            closed = true;
          } else if (k < 0) {
            return fail(r, r.pos_, "EOF while parsing a list");
          } else {
            stack[sp++] = ']';
          }
          break;
        }
        default:
          QV_TRY(scalar(r, c, nullptr));
          closed = true;
      }
      if (!closed) continue;
      // After a complete value: close containers or move to the next value.
      for (;;) {
        if (sp == 0) return {};
        const char close = stack[sp - 1];
        int k = peek(r);
        if (k == close) {
          ++r.pos_;
          --sp;
          continue;
        }
        if (k == ',') {
          ++r.pos_;
          if (close == '}') {
            int q = peek(r);
            if (q == '"') {
              QV_TRY(object_key(r, nullptr));
            } else if (q < 0) {
              return fail(r, r.pos_, "EOF while parsing a value");
            } else if (q == '}') {
              return fail_here(r, "trailing comma");
            } else {
              return fail_here(r, "key must be a string");
            }
          } else {
            QV_TRY(after_comma(r, ']'));
          }
          break;
        }
        if (k < 0) return fail(r, r.pos_, close == '}' ? "EOF while parsing an object" : "EOF while parsing a list");
        return fail_here(r, close == '}' ? "expected `,` or `}`" : "expected `,` or `]`");
      }
    }
  }

  // A null, boolean, number or string starting with byte c at r.pos_; with
  // found set, describes it for a type error instead of keeping it.
  static Status scalar(R& r, int c, std::string* found) {
    switch (c) {
      case 'n':
        QV_TRY(literal(r, "null"));
        if (found) *found = "null";
        return {};
      case 't':
        QV_TRY(literal(r, "true"));
        if (found) *found = "boolean `true`";
        return {};
      case 'f':
        QV_TRY(literal(r, "false"));
        if (found) *found = "boolean `false`";
        return {};
      case '"': {
        if (!found) return string(r, nullptr);
        std::string s;
        QV_TRY(string(r, &s));
        *found = "string ";
        append_quoted_for_message(*found, s);
        return {};
      }
      default:
        if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
          if (!found) return number(r, nullptr);
          Number num;
          QV_TRY(number(r, &num));
          *found = number_found_text(num);
          return {};
        }
        return fail_here(r, "expected value");
    }
  }

  // Reads a number for a typed read; the reader is after white space.
  static Result<Number> typed_number(R& r, std::string_view what) {
    int c = peek(r);
    if (c < 0) return fail(r, r.pos_, "EOF while parsing a value");
    if (c != '-' && !is_digit(static_cast<unsigned char>(c))) return std::unexpected(r.invalid_type(what));
    Number num;
    QV_TRY(number(r, &num));
    return num;
  }

  static Result<JsonValue> value(R& r, int depth) {
    int c = peek(r);
    JsonValue v;
    switch (c) {
      case -1: return fail(r, r.pos_, "EOF while parsing a value");
      case 'n': QV_TRY(literal(r, "null")); return v;
      case 't': QV_TRY(literal(r, "true")); v.v = true; return v;
      case 'f': QV_TRY(literal(r, "false")); v.v = false; return v;
      case '"': {
        std::string s;
        QV_TRY(string(r, &s));
        v.v = std::move(s);
        return v;
      }
      case '[': {
        QV_TRY(enter(r, depth));
        ++r.pos_;
        JsonValue::Array a;
        int k = peek(r);
        if (k == ']') {
          ++r.pos_;
        } else {
          if (k < 0) return fail(r, r.pos_, "EOF while parsing a list");
          for (;;) {
            auto e = value(r, depth + 1);
            if (!e) return std::unexpected(std::move(e).error());
            a.push_back(std::move(*e));
            k = peek(r);
            if (k == ']') {
              ++r.pos_;
              break;
            }
            if (k != ',') return k < 0 ? fail(r, r.pos_, "EOF while parsing a list") : fail_here(r, "expected `,` or `]`");
            ++r.pos_;
            QV_TRY(after_comma(r, ']'));
          }
        }
        v.v = std::move(a);
        return v;
      }
      case '{': {
        QV_TRY(enter(r, depth));
        ++r.pos_;
        JsonValue::Object o;
        int k = peek(r);
        if (k == '}') {
          ++r.pos_;
        } else {
          std::string key;
          for (;;) {
            if (k != '"') {
              if (k < 0) return fail(r, r.pos_, first_key_eof(o));
              if (k == '}') return fail_here(r, "trailing comma");
              return fail_here(r, "key must be a string");
            }
            key.clear();
            QV_TRY(object_key(r, &key));
            auto e = value(r, depth + 1);
            if (!e) return std::unexpected(std::move(e).error());
            // Keys usually come sorted (that is how they are written).
            if (o.empty() || std::prev(o.end())->first < key) {
              o.emplace_hint(o.end(), std::move(key), std::move(*e));
            } else {
              o.insert_or_assign(key, std::move(*e));
            }
            k = peek(r);
            if (k == '}') {
              ++r.pos_;
              break;
            }
            if (k != ',') {
              return k < 0 ? fail(r, r.pos_, "EOF while parsing an object") : fail_here(r, "expected `,` or `}`");
            }
            ++r.pos_;
            k = peek(r);
          }
        }
        v.v = std::move(o);
        return v;
      }
      default: {
        if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
          Number num;
          QV_TRY(number(r, &num));
          switch (num.kind) {
            case Number::kU64: v.v = num.u; break;
            case Number::kI64: v.v = num.i; break;
            case Number::kF64: v.v = num.d; break;
          }
          return v;
        }
        return fail_here(r, "expected value");
      }
    }
  }

  // EOF where a key belongs: right after '{' the object is unfinished, after
  // a ',' a value is missing.
  static const char* first_key_eof(const JsonValue::Object& o) {
    return o.empty() ? "EOF while parsing an object" : "EOF while parsing a value";
  }

  // The element loop of read_f32_array, kept tight: no allocation besides the
  // output vector's growth.
  static Status f32_elements(R& r, std::vector<float>& out) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    int c = peek(r);
    if (c == ']') {
      ++r.pos_;
      return {};
    }
    if (c < 0) return fail(r, r.pos_, "EOF while parsing a list");
    const size_t array_start = r.pos_;
    const size_t base = out.size();
    size_t array_end = 0;  // found when the output first has to grow
    for (;;) {
      size_t p = r.pos_;
      // Fast path: a short plain decimal such as 0.125, -3 or 1.5e-7.
      float f;
      bool done = false;
      if (p < n && (b[p] == '-' || is_digit(b[p]))) {
        done = fast_f32(r, f);
        if (!done) {
          Number num;
          QV_TRY(number(r, &num));
          f = num.kind == Number::kU64   ? static_cast<float>(num.u)
              : num.kind == Number::kI64 ? static_cast<float>(num.i)
                                         : static_cast<float>(num.d);
        }
      } else {
        if (p >= n) return fail(r, p, "EOF while parsing a value");
        return std::unexpected(r.invalid_type("f32"));
      }
      if (out.size() == out.capacity()) reserve_for_rest(r, out, base, array_start, array_end);
      out.push_back(f);
      p = r.pos_;
      if (p < n && b[p] == ',') {
        ++p;
        while (p < n && is_ws(b[p])) ++p;
        r.pos_ = p;
        if (p < n && b[p] == ']') return fail_here(r, "trailing comma");
        continue;
      }
      c = peek(r);
      if (c == ']') {
        ++r.pos_;
        return {};
      }
      if (c == ',') {
        ++r.pos_;
        QV_TRY(after_comma(r, ']'));
        continue;
      }
      if (c < 0) return fail(r, r.pos_, "EOF while parsing a list");
      return fail_here(r, "expected `,` or `]`");
    }
  }

  // Grows out for the rest of a float array, estimated from the bytes per
  // element so far and the distance to the first ']', so that a large
  // array is not copied over and over while it grows.
  static void reserve_for_rest(const R& r, std::vector<float>& out, size_t base, size_t array_start,
                               size_t& array_end) {
    const size_t have = out.size() - base;
    if (have < 64) return;  // small arrays grow the usual way
    const unsigned char* b = bytes(r);
    if (array_end == 0) {
      const void* close = std::memchr(b + r.pos_, ']', size(r) - r.pos_);
      array_end = close ? static_cast<size_t>(static_cast<const unsigned char*>(close) - b) : size(r);
    }
    const size_t consumed = r.pos_ - array_start;
    const size_t rest = array_end > r.pos_ ? array_end - r.pos_ : 0;
    const double estimate = static_cast<double>(have) * static_cast<double>(rest) / static_cast<double>(consumed);
    size_t want = out.size() + static_cast<size_t>(estimate * 1.02) + 64;
    want = std::max(want, out.size() + out.size() / 2);
    out.reserve(want);
  }

  // Parses a number of at most 19 significant digits with a small exponent,
  // followed by a delimiter, exactly; returns false (r untouched) for
  // anything else, which then takes the general path.
  static bool fast_f32(R& r, float& f) {
    const unsigned char* b = bytes(r);
    const size_t n = size(r);
    size_t p = r.pos_;
    bool neg = false;
    if (b[p] == '-') {
      neg = true;
      ++p;
    }
    uint64_t mant = 0;
    int64_t e10 = 0;
    const size_t int_start = p;
    if (p < n && b[p] == '0') {
      ++p;
      if (p < n && is_digit(b[p])) return false;
    } else {
      p = digit_run(b, n, p, mant);
      if (p == int_start) return false;
    }
    size_t digit_chars = p - int_start;
    bool is_int = true;
    if (p < n && b[p] == '.') {
      is_int = false;
      ++p;
      const size_t s = p;
      p = digit_run(b, n, p, mant);
      if (p == s) return false;
      digit_chars += p - s;
      e10 = -static_cast<int64_t>(p - s);
    }
    if (p < n && (b[p] | 0x20) == 'e') {
      is_int = false;
      ++p;
      bool eneg = false;
      if (p < n && (b[p] == '+' || b[p] == '-')) eneg = b[p++] == '-';
      size_t s = p;
      int64_t e = 0;
      while (p < n && is_digit(b[p]) && p - s < 4) e = e * 10 + (b[p++] - '0');
      if (p == s || (p < n && is_digit(b[p]))) return false;
      e10 += eneg ? -e : e;
    }
    // At most 19 digit characters cannot overflow the mantissa.
    if (digit_chars > 19 || mant > (uint64_t{1} << 53) || e10 < -22 || e10 > 22) return false;
    if (is_int) {
      if (neg && mant == 0) {
        f = -0.0f;
      } else {
        f = neg ? static_cast<float>(-static_cast<int64_t>(mant)) : static_cast<float>(mant);
      }
    } else {
      double d = static_cast<double>(mant);
      d = e10 < 0 ? d / kPow10[-e10] : d * kPow10[e10];
      f = static_cast<float>(neg ? -d : d);
    }
    r.pos_ = p;
    return true;
  }

  // Accumulates the decimal digits at p into mant (wrapping on overflow; the
  // caller bounds the digit count) and returns the offset after them. Eight
  // bytes at a time, so a run of any length costs no per-digit branch.
  static size_t digit_run(const unsigned char* b, size_t n, size_t p, uint64_t& mant) {
    static constexpr uint64_t kPow10U[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (p + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, b + p, 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
      // Non-zero in every byte that is not '0'..'9'. A carry out of a
      // non-digit byte can only disturb bytes after it, which don't count.
      const uint64_t not_digit = ((w & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull) |
                                 (((w + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull);
      const int len = not_digit == 0 ? 8 : std::countr_zero(not_digit) >> 3;
      if (len == 0) return p;
      // Shift the digits to the top: the freed low bytes read as leading zeros.
      const uint64_t digits = len == 8 ? w : w << (8 * (8 - len));
      mant = mant * kPow10U[len] + parse_eight_digits(digits);
      p += static_cast<size_t>(len);
      if (len < 8) return p;
    }
    while (p < n && is_digit(b[p])) mant = mant * 10 + (b[p++] - '0');
    return p;
  }

  // The value of eight digit bytes, the first digit in the lowest byte;
  // zero bytes count as the digit 0.
  static uint64_t parse_eight_digits(uint64_t w) {
    w = ((w & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;
    w = ((w & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
    return ((w & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
  }
};

using A = JsonReaderAccess;

CoreError JsonReader::error(std::string_view message) const { return A::error_at(*this, pos_, message); }

CoreError JsonReader::peek_error(std::string_view message) {
  A::skip_ws(*this);
  return A::error_at(*this, pos_ < text_.size() ? pos_ + 1 : pos_, message);
}

CoreError JsonReader::key_error(std::string_view message) const { return A::error_at(*this, key_end_, message); }

CoreError JsonReader::invalid_length(size_t n, std::string_view what) const {
  std::string m = "invalid length ";
  m += std::to_string(n);
  m += ", expected ";
  m += what;
  return error(m);
}

CoreError JsonReader::invalid_type(std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return error("EOF while parsing a value");
  if (c == '[') return error(invalid_type_text("sequence", what));
  if (c == '{') return error(invalid_type_text("map", what));
  std::string found;
  auto st = A::scalar(*this, c, &found);
  if (!st) return st.error();
  return error(invalid_type_text(found, what));
}

Result<JsonType> JsonReader::peek_type() {
  int c = A::peek(*this);
  switch (c) {
    case -1: return A::fail(*this, pos_, "EOF while parsing a value");
    case 'n': return JsonType::kNull;
    case 't':
    case 'f': return JsonType::kBool;
    case '"': return JsonType::kString;
    case '[': return JsonType::kArray;
    case '{': return JsonType::kObject;
    default:
      if (c == '-' || is_digit(static_cast<unsigned char>(c))) return JsonType::kNumber;
      return A::fail_here(*this, "expected value");
  }
}

Result<bool> JsonReader::try_null() {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c != 'n') return false;
  QV_TRY(A::literal(*this, "null"));
  return true;
}

Result<std::string> JsonReader::read_string(std::string_view what) {
  std::string s;
  QV_TRY(read_string_into(s, what));
  return s;
}

Status JsonReader::read_string_into(std::string& out, std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c != '"') return std::unexpected(invalid_type(what));
  out.clear();
  return A::string(*this, &out);
}

Result<uint64_t> JsonReader::read_u64(std::string_view what) {
  auto num = A::typed_number(*this, what);
  if (!num) return std::unexpected(std::move(num).error());
  switch (num->kind) {
    case Number::kU64: return num->u;
    case Number::kI64: return std::unexpected(error(invalid_value_text(number_found_text(*num), what)));
    case Number::kF64: break;
  }
  return std::unexpected(error(invalid_type_text(number_found_text(*num), what)));
}

Result<uint32_t> JsonReader::read_u32(std::string_view what) {
  auto num = A::typed_number(*this, what);
  if (!num) return std::unexpected(std::move(num).error());
  switch (num->kind) {
    case Number::kU64:
      if (num->u <= std::numeric_limits<uint32_t>::max()) return static_cast<uint32_t>(num->u);
      [[fallthrough]];
    case Number::kI64: return std::unexpected(error(invalid_value_text(number_found_text(*num), what)));
    case Number::kF64: break;
  }
  return std::unexpected(error(invalid_type_text(number_found_text(*num), what)));
}

Result<int64_t> JsonReader::read_i64(std::string_view what) {
  auto num = A::typed_number(*this, what);
  if (!num) return std::unexpected(std::move(num).error());
  switch (num->kind) {
    case Number::kU64:
      if (num->u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return static_cast<int64_t>(num->u);
      return std::unexpected(error(invalid_value_text(number_found_text(*num), what)));
    case Number::kI64: return num->i;
    case Number::kF64: break;
  }
  return std::unexpected(error(invalid_type_text(number_found_text(*num), what)));
}

Result<float> JsonReader::read_f32(std::string_view what) {
  auto num = A::typed_number(*this, what);
  if (!num) return std::unexpected(std::move(num).error());
  switch (num->kind) {
    case Number::kU64: return static_cast<float>(num->u);
    case Number::kI64: return static_cast<float>(num->i);
    case Number::kF64: break;
  }
  return static_cast<float>(num->d);
}

Result<double> JsonReader::read_f64(std::string_view what) {
  auto num = A::typed_number(*this, what);
  if (!num) return std::unexpected(std::move(num).error());
  return num->as_double();
}

Result<bool> JsonReader::read_bool(std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c == 't') {
    QV_TRY(A::literal(*this, "true"));
    return true;
  }
  if (c == 'f') {
    QV_TRY(A::literal(*this, "false"));
    return false;
  }
  return std::unexpected(invalid_type(what));
}

Status JsonReader::read_f32_array(std::vector<float>& out, std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c != '[') return std::unexpected(invalid_type(what));
  QV_TRY(A::enter(*this));
  ++pos_;
  return A::f32_elements(*this, out);
}

Result<JsonValue> JsonReader::read_value() { return A::value(*this, 0); }

Status JsonReader::skip_value() { return A::skip(*this); }

Status JsonReader::begin_object(std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c != '{') return std::unexpected(invalid_type(what));
  QV_TRY(A::enter(*this));
  ++pos_;
  ++depth_;
  first_in_container_ = true;
  return {};
}

Result<bool> JsonReader::next_key(std::string& key) {
  int c = A::peek(*this);
  const bool first = first_in_container_;
  first_in_container_ = false;
  if (c == '}') {
    ++pos_;
    --depth_;
    return false;
  }
  if (!first) {
    if (c < 0) return A::fail(*this, pos_, "EOF while parsing an object");
    if (c != ',') return A::fail_here(*this, "expected `,` or `}`");
    ++pos_;
    c = A::peek(*this);
    if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
    if (c == '}') return A::fail_here(*this, "trailing comma");
  } else if (c < 0) {
    return A::fail(*this, pos_, "EOF while parsing an object");
  }
  if (c != '"') return A::fail_here(*this, "key must be a string");
  key.clear();
  QV_TRY(A::object_key(*this, &key));
  return true;
}

Status JsonReader::begin_array(std::string_view what) {
  int c = A::peek(*this);
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a value");
  if (c != '[') return std::unexpected(invalid_type(what));
  QV_TRY(A::enter(*this));
  ++pos_;
  ++depth_;
  first_in_container_ = true;
  return {};
}

Result<bool> JsonReader::next_element() {
  int c = A::peek(*this);
  const bool first = first_in_container_;
  first_in_container_ = false;
  if (c == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (c < 0) return A::fail(*this, pos_, "EOF while parsing a list");
  if (first) return true;
  if (c != ',') return A::fail_here(*this, "expected `,` or `]`");
  ++pos_;
  QV_TRY(A::after_comma(*this, ']'));
  return true;
}

Status JsonReader::finish() {
  A::skip_ws(*this);
  if (pos_ < text_.size()) return A::fail_here(*this, "trailing characters");
  return {};
}

}  // namespace qv
