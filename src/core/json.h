// The JSON reader and writer every stored record goes through.
//
// Writer: compact output, keys in the order the caller emits them, minimal
// string escaping (\" \\ \b \t \n \f \r, other controls as \u00xx lower-case,
// everything else raw UTF-8), plain decimal integers, 32-bit floats in the
// canonical text of float_text.h.
//
// Reader: a pull reader over one in-memory document. It knows its position
// at all times; every error it makes ends in " at line {L} column {C}", where
// L is 1-based and C counts the bytes consumed on that line (so an error noticed
// after a closing brace points at that brace). Nesting deeper than 128 levels
// fails with "recursion limit exceeded". Readers are single-threaded values.
//
// The messages follow one scheme (what was found, then what was expected):
//   invalid type: string "x", expected struct AgentInfo
//   invalid value: integer `-1`, expected u32
//   missing field `agent`      duplicate field `trace`
//   invalid length 2, expected struct Manifest with 10 elements
//   trailing characters        recursion limit exceeded
// Found-value texts: `null`, "boolean `true`", "integer `5`", "integer `-1`",
// "floating point `1.5`", "string \"abc\"", "sequence", "map".
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"

namespace qv {

// ---------------------------------------------------------------- writing --

// Appends s as a JSON string literal with minimal escaping.
void append_json_string(std::string& out, std::string_view s);

class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // An object key; the next call writes its value.
  void key(std::string_view k);

  void string(std::string_view s);
  void u64(uint64_t v);
  void i64(int64_t v);
  void f32(float v);   // canonical float text; NaN and infinities as null
  void f64(double v);  // shortest round-trip text, never an integer-looking form
  void boolean(bool v);
  void null();
  // An already-encoded JSON value, written as is.
  void raw(std::string_view json);

  std::string& out() { return out_; }

 private:
  void before_value();

  std::string& out_;
  // One flag per open container: whether a value was written in it already.
  std::vector<char> has_items_;
  bool after_key_ = false;
};

// ---------------------------------------------------------------- values --

// A generic JSON value, for records read or written as free-form JSON
// (ledger headers and entries, manifest dicts). Objects are ordered maps
// (keys in byte order; a repeated key keeps its last value).
struct JsonValue {
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue>;
  // Integers keep their JSON sign: non-negative ones as uint64_t, negative as
  // int64_t; numbers with a fraction or exponent, or out of 64-bit range, as double.
  std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, Array, Object> v = nullptr;
};

// Compact text, object keys in byte order.
void write_json_value(JsonWriter& w, const JsonValue& value);
std::string to_json_text(const JsonValue& value);

// ---------------------------------------------------------------- reading --

enum class JsonType { kNull, kBool, kNumber, kString, kArray, kObject };

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  // Type of the next value after white space; a syntax error or end of input fails.
  Result<JsonType> peek_type();
  // True (and consumed) when the next value is null.
  Result<bool> try_null();

  // Each reads one value of the named type; another type fails with
  // "invalid type: {found}, expected {what}".
  Result<std::string> read_string(std::string_view what = "a string");
  Status read_string_into(std::string& out, std::string_view what = "a string");
  Result<uint64_t> read_u64(std::string_view what = "u64");
  Result<uint32_t> read_u32(std::string_view what = "u32");
  Result<int64_t> read_i64(std::string_view what = "i64");
  Result<float> read_f32(std::string_view what = "f32");  // nearest float32; null is refused
  Result<double> read_f64(std::string_view what = "f64");
  Result<bool> read_bool(std::string_view what = "a boolean");
  // An array of floats, appended to out (fast path for model deltas).
  Status read_f32_array(std::vector<float>& out, std::string_view what = "a sequence");
  Result<JsonValue> read_value();
  Status skip_value();

  // Containers. begin_* consume the opening bracket or fail with
  // "invalid type: {found}, expected {what}".
  Status begin_object(std::string_view what);
  // Consumes the next key and its colon and returns true, or consumes the
  // closing brace and returns false.
  Result<bool> next_key(std::string& key);
  Status begin_array(std::string_view what);
  // Returns true when another element follows (the reader is then at it), or
  // consumes the closing bracket and returns false.
  Result<bool> next_element();

  // Only white space may follow; anything else fails with "trailing characters".
  Status finish();

  // An error with the position suffix, at the current position.
  CoreError error(std::string_view message) const;
  // The same, pointing at the next byte after white space (counted in the
  // column), for something found where it does not belong.
  CoreError peek_error(std::string_view message);
  // The same, pointing just past the last key that next_key read (and any
  // white space after it), for a key that must not be there.
  CoreError key_error(std::string_view message) const;
  // "invalid type: {found}, expected {what}", describing the value at the
  // current position (a scalar is consumed to describe it; for an array or
  // object the error points before its bracket).
  CoreError invalid_type(std::string_view what);
  CoreError invalid_length(size_t n, std::string_view what) const;

  size_t offset() const { return pos_; }
  std::string_view text() const { return text_; }
  // Reader errors point at this offset instead of the current one while set
  // (used when a value is decoded after having been scanned in full).
  void pin_error_offset(size_t offset) { pinned_ = offset; }

 private:
  friend struct JsonReaderAccess;
  std::string_view text_;
  size_t pos_ = 0;
  size_t pinned_ = SIZE_MAX;
  size_t key_end_ = 0;  // offset after the last key read and its white space
  int depth_ = 0;
  // true when the last container token read was an opening one (so the next
  // next_key/next_element must not expect a comma).
  bool first_in_container_ = false;
};

// ------------------------------------------------------- record reading --

// How a typed record is read: as an object with named fields (keys in any
// order, unknown keys skipped, duplicates and missing required fields
// rejected) or as an array of its field values in order.
struct RecordSpec {
  std::string_view type_name;              // "struct Manifest": invalid-type texts
  std::span<const std::string_view> fields;
  size_t min_array = 0;                    // fewest values accepted in array form
  uint64_t optional_mask = 0;              // bit i: field i may be missing in object form
  // Array form with more values than fields: "trailing characters" when true,
  // else "invalid length {n}, expected {k} element(s) in sequence".
  bool excess_is_trailing = true;
};

// "struct X with N elements" / "... with 1 element".
std::string array_length_text(std::string_view type_name, size_t n);

// Reads one record; read_field(i) must read the value of field i (the reader
// is positioned at it). Returns the bit mask of the fields that were present.
template <class F>
Result<uint64_t> read_record(JsonReader& r, const RecordSpec& spec, F&& read_field) {
  auto type = r.peek_type();
  if (!type) return std::unexpected(type.error());
  uint64_t present = 0;
  const size_t nfields = spec.fields.size();
  if (*type == JsonType::kArray) {
    QV_TRY(r.begin_array(spec.type_name));
    size_t n = 0;
    for (;;) {
      auto more = r.next_element();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      if (n == nfields) {
        if (spec.excess_is_trailing) return std::unexpected(r.peek_error("trailing characters"));
        // Count the surplus values for the message.
        size_t total = n;
        for (;;) {
          QV_TRY(r.skip_value());
          ++total;
          auto again = r.next_element();
          if (!again) return std::unexpected(again.error());
          if (!*again) break;
        }
        return std::unexpected(r.invalid_length(
            total, std::to_string(nfields) + (nfields == 1 ? " element in sequence" : " elements in sequence")));
      }
      QV_TRY(read_field(n));
      present |= uint64_t{1} << n;
      ++n;
    }
    if (n < spec.min_array) return std::unexpected(r.invalid_length(n, array_length_text(spec.type_name, nfields)));
    return present;
  }
  if (*type != JsonType::kObject) return std::unexpected(r.invalid_type(spec.type_name));
  QV_TRY(r.begin_object(spec.type_name));
  std::string key;
  for (;;) {
    auto more = r.next_key(key);
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    size_t idx = nfields;
    for (size_t i = 0; i < nfields; ++i) {
      if (spec.fields[i] == key) {
        idx = i;
        break;
      }
    }
    if (idx == nfields) {
      QV_TRY(r.skip_value());
      continue;
    }
    if (present & (uint64_t{1} << idx)) {
      return std::unexpected(r.key_error("duplicate field `" + std::string(spec.fields[idx]) + "`"));
    }
    QV_TRY(read_field(idx));
    present |= uint64_t{1} << idx;
  }
  for (size_t i = 0; i < nfields; ++i) {
    uint64_t bit = uint64_t{1} << i;
    if (!(present & bit) && !(spec.optional_mask & bit)) {
      return std::unexpected(r.error("missing field `" + std::string(spec.fields[i]) + "`"));
    }
  }
  return present;
}

}  // namespace qv
