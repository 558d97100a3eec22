// libFuzzer target for the JSON reader and writer.
//
// For any bytes: the reader never crashes, every error carries a position
// inside the text, skip_value accepts what read_value accepts, the float
// array path agrees with the generic one, and a document that parses is
// written, parsed and written again to the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/json.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// " at line L column C" with L and C within the text.
void check_position(const qv::CoreError& e, std::string_view text) {
  check(e.kind == qv::ErrorKind::kJson, "error kind");
  const std::string& m = e.message;
  size_t at = m.rfind(" at line ");
  check(at != std::string::npos, "position suffix");
  unsigned long line = 0, column = 0;
  check(std::sscanf(m.c_str() + at, " at line %lu column %lu", &line, &column) == 2, "position numbers");
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  check(line >= 1 && line <= lines, "line in range");
  check(column <= text.size(), "column in range");
}

float as_float(const qv::JsonValue& v) {
  if (auto* u = std::get_if<uint64_t>(&v.v)) return static_cast<float>(*u);
  if (auto* i = std::get_if<int64_t>(&v.v)) return static_cast<float>(*i);
  return static_cast<float>(std::get<double>(v.v));
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

constexpr std::string_view kFields[] = {"a", "b", "c"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  qv::JsonReader r(text);
  auto value = r.read_value();
  qv::Status whole = value ? r.finish() : qv::Status(std::unexpected(value.error()));
  if (!whole) check_position(whole.error(), text);

  // Skipping checks the same grammar (but not number ranges).
  qv::JsonReader s(text);
  qv::Status skipped = s.skip_value();
  if (skipped) skipped = s.finish();
  if (!skipped) check_position(skipped.error(), text);
  if (whole) check(skipped.has_value(), "skip accepts what read_value accepts");
  // A number out of range ends read_value; skip_value goes on and may find
  // a later error or none. Any other error is the same for both.
  if (!whole && !whole.error().message.starts_with("number out of range")) {
    check(!skipped && whole.error().message == skipped.error().message, "same error from skip and read");
  }

  // The float-array path against the generic values.
  qv::JsonReader fr(text);
  std::vector<float> floats;
  qv::Status farr = fr.read_f32_array(floats);
  if (farr) farr = fr.finish();
  if (!farr) check_position(farr.error(), text);
  if (farr) {
    check(whole.has_value(), "float array is a value");
    const auto& a = std::get<qv::JsonValue::Array>(value->v);
    check(a.size() == floats.size(), "float count");
    for (size_t i = 0; i < a.size(); ++i) check(same_bits(as_float(a[i]), floats[i]), "float value");
  }

  // Typed record reading over the same bytes.
  qv::JsonReader rr(text);
  qv::RecordSpec spec{"struct Fuzz", kFields, 1, 0b110, size % 2 == 0};
  auto rec = qv::read_record(rr, spec, [&](size_t i) -> qv::Status {
    switch (i) {
      case 0: {
        auto v = rr.read_u32();
        if (!v) return std::unexpected(v.error());
        return {};
      }
      case 1: {
        std::string str;
        return rr.read_string_into(str);
      }
      default: {
        std::vector<float> f;
        return rr.read_f32_array(f);
      }
    }
  });
  if (!rec) check_position(rec.error(), text);

  if (!whole) return 0;
  // Write, parse, write: stable.
  const std::string first = qv::to_json_text(*value);
  qv::JsonReader r2(first);
  auto again = r2.read_value();
  check(again.has_value() && r2.finish().has_value(), "written text parses");
  check(qv::to_json_text(*again) == first, "write is stable");
  return 0;
}
