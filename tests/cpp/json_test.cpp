#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace qv {
namespace {

// The error text of a failed Result/Status, or "" when it succeeded.
template <class T>
std::string error_of(const Result<T>& r) {
  return r ? std::string() : r.error().message;
}

// Reads one whole document as a free-form value.
Result<JsonValue> parse_document(std::string_view text) {
  JsonReader r(text);
  auto v = r.read_value();
  if (!v) return v;
  QV_TRY(r.finish());
  return v;
}

JsonValue obj(std::initializer_list<std::pair<const std::string, JsonValue>> items) {
  return JsonValue{JsonValue::Object(items)};
}
JsonValue arr(std::initializer_list<JsonValue> items) { return JsonValue{JsonValue::Array(items)}; }
JsonValue str(std::string s) { return JsonValue{std::move(s)}; }
JsonValue u(uint64_t v) { return JsonValue{v}; }
JsonValue i(int64_t v) { return JsonValue{v}; }

std::string nested(int depth, char open, char close) { return std::string(depth, open) + std::string(depth, close); }

// ---------------------------------------------------------------- writer --

TEST(JsonWriterTest, StringEscaping) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x0b\x1a", R"("\u000b\u001a")"},
      {"/\x7f", "\"/\x7f\""},
      {"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    std::string out;
    append_json_string(out, c.in);
    EXPECT_EQ(out, c.out);
    // And the reader gives the text back.
    JsonReader r(out);
    auto back = r.read_string();
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, c.in);
  }
}

TEST(JsonWriterTest, CommasAndNesting) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("a");
  w.begin_array();
  w.u64(1);
  w.i64(-2);
  w.begin_object();
  w.end_object();
  w.begin_array();
  w.end_array();
  w.null();
  w.boolean(true);
  w.boolean(false);
  w.end_array();
  w.key("b");
  w.string("x");
  w.key("c");
  w.raw(R"({"pre":[1]})");
  w.key("d");
  w.f32(0.1f);
  w.end_object();
  EXPECT_EQ(out, R"({"a":[1,-2,{},[],null,true,false],"b":"x","c":{"pre":[1]},"d":0.1})");
}

TEST(JsonWriterTest, Numbers) {
  struct {
    std::function<void(JsonWriter&)> write;
    std::string out;
  } cases[] = {
      {[](JsonWriter& w) { w.u64(0); }, "0"},
      {[](JsonWriter& w) { w.u64(UINT64_MAX); }, "18446744073709551615"},
      {[](JsonWriter& w) { w.i64(INT64_MIN); }, "-9223372036854775808"},
      {[](JsonWriter& w) { w.f32(1.0f); }, "1.0"},
      {[](JsonWriter& w) { w.f32(std::numeric_limits<float>::quiet_NaN()); }, "null"},
      {[](JsonWriter& w) { w.f32(-std::numeric_limits<float>::infinity()); }, "null"},
      {[](JsonWriter& w) { w.f64(1.0); }, "1.0"},
      {[](JsonWriter& w) { w.f64(-0.0); }, "-0.0"},
      {[](JsonWriter& w) { w.f64(100.0); }, "100.0"},
      {[](JsonWriter& w) { w.f64(0.1); }, "0.1"},
      {[](JsonWriter& w) { w.f64(1.5e-300); }, "1.5e-300"},
      {[](JsonWriter& w) { w.f64(1e16); }, "1e+16"},
      {[](JsonWriter& w) { w.f64(std::numeric_limits<double>::infinity()); }, "null"},
      {[](JsonWriter& w) { w.f64(std::nan("")); }, "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    std::string out;
    JsonWriter w(out);
    c.write(w);
    EXPECT_EQ(out, c.out);
  }
}

// Expected texts were produced by python3:
//   json.dumps(obj, separators=(",", ":"), ensure_ascii=False, sort_keys=True)
TEST(JsonWriterTest, ValuesMatchPythonCompactSortedDumps) {
  struct {
    JsonValue value;
    std::string text;
  } cases[] = {
      {obj({{"b", u(1)}, {"a", arr({JsonValue{true}, JsonValue{false}, JsonValue{}})},
            {"c", obj({{"z", str("x")}, {"y", i(-5)}})}}),
       R"({"a":[true,false,null],"b":1,"c":{"y":-5,"z":"x"}})"},
      {obj({{"path", str("dir/fi\"le\t\xc3\xa9\x01\x7f/")},
            {"size", u(UINT64_MAX)},
            {"neg", i(INT64_MIN)}}),
       "{\"neg\":-9223372036854775808,\"path\":\"dir/fi\\\"le\\t\xc3\xa9\\u0001\x7f/\",\"size\":18446744073709551615}"},
      {obj({{"\xc3\xa9", u(1)},
            {"e", u(2)},
            {"E", u(3)},
            {"10", u(4)},
            {"9", u(5)},
            {"", obj({})},
            {"arr", arr({arr({}), arr({obj({})})})}}),
       "{\"\":{},\"10\":4,\"9\":5,\"E\":3,\"arr\":[[],[{}]],\"e\":2,\"\xc3\xa9\":1}"},
      {obj({{"f", arr({JsonValue{1.5}, JsonValue{0.1}, JsonValue{-2.5e-300}, JsonValue{100.0}})}}),
       R"({"f":[1.5,0.1,-2.5e-300,100.0]})"},
      {str("\xe2\x80\xa8 \xf0\x9f\x98\x80 \b\f\n\r\\"), "\"\xe2\x80\xa8 \xf0\x9f\x98\x80 \\b\\f\\n\\r\\\\\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_json_text(c.value), c.text);
    // Reading the text and writing it again gives the same bytes.
    auto back = parse_document(c.text);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(to_json_text(*back), c.text);
  }
}

// ---------------------------------------------------------------- values --

TEST(JsonReaderTest, ValueKinds) {
  auto v = parse_document(
      " {\"u\":18446744073709551615,\"n\":-9223372036854775808,\"big\":18446744073709551616,"
      "\"neg_big\":-9223372036854775809,\"f\":1.5,\"e\":1E2,\"z\":-0,\"zf\":0.0,\"s\":\"x\",\"t\":true,"
      "\"nul\":null,\"a\":[1,\"2\"],\"dup\":1,\"dup\":2} \r\n\t");
  ASSERT_TRUE(v) << v.error().message;
  const auto& o = std::get<JsonValue::Object>(v->v);
  EXPECT_EQ(std::get<uint64_t>(o.at("u").v), UINT64_MAX);
  EXPECT_EQ(std::get<int64_t>(o.at("n").v), INT64_MIN);
  EXPECT_EQ(std::get<double>(o.at("big").v), 18446744073709551616.0);
  EXPECT_EQ(std::get<double>(o.at("neg_big").v), -9223372036854775809.0);
  EXPECT_EQ(std::get<double>(o.at("f").v), 1.5);
  EXPECT_EQ(std::get<double>(o.at("e").v), 100.0);
  // -0 keeps its sign, so it cannot be an integer.
  EXPECT_TRUE(std::signbit(std::get<double>(o.at("z").v)));
  EXPECT_EQ(std::get<double>(o.at("zf").v), 0.0);
  EXPECT_EQ(std::get<std::string>(o.at("s").v), "x");
  EXPECT_EQ(std::get<bool>(o.at("t").v), true);
  EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(o.at("nul").v));
  EXPECT_EQ(std::get<JsonValue::Array>(o.at("a").v).size(), 2u);
  EXPECT_EQ(std::get<uint64_t>(o.at("dup").v), 2u);  // the last one wins
}

TEST(JsonReaderTest, DoublesAreCorrectlyRounded) {
  struct {
    std::string text;
    double value;
  } cases[] = {
      {"0.1", 0.1},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"0e999999999999", 0.0},
      {"4.9e-324", 4.9e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"9007199254740993", 9007199254740992.0},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      {"0.000000000000000000000000000001", 1e-30},
      {"3.14159265358979323846264338327950288", 3.141592653589793},
      {"1E+2", 100.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JsonReader r(c.text);
    auto d = r.read_f64();
    ASSERT_TRUE(d) << d.error().message;
    EXPECT_EQ(*d, c.value);
    EXPECT_EQ(std::signbit(*d), std::signbit(c.value));
  }
}

// ------------------------------------------------------------- messages --

TEST(JsonReaderTest, SyntaxErrors) {
  struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"fals3", "expected ident at line 1 column 5"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{}\n\n  x", "trailing characters at line 3 column 3"},
      {"{}}", "trailing characters at line 1 column 3"},
      {"[1]\r\n]", "trailing characters at line 2 column 1"},
      // Numbers.
      {"-", "invalid number at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+", "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"1.8e308", "number out of range at line 1 column 7"},
      {"NaN", "expected value at line 1 column 1"},
      // Strings.
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // The offending line feed counts, so the position is on the next line.
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\ud800x\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\udc00\"", "lone trailing surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      // Invalid UTF-8 points at the byte that makes the sequence invalid.
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"ab\x80\"", "invalid unicode code point at line 1 column 4"},
      {"\"\xc3(\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xe0\x80\xaf\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xf5\x80\x80\x80\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xf0\x9f\x98", "EOF while parsing a string at line 1 column 4"},
      {"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(error_of(parse_document(c.text)), c.error);
    // Skipping a value applies the same rules.
    JsonReader r(c.text);
    auto st = r.skip_value();
    if (st) st = r.finish();
    // Skipped numbers are checked for their form, not for their range.
    EXPECT_EQ(error_of(st), c.error.starts_with("number out of range") ? "" : c.error);
  }
}

TEST(JsonReaderTest, StringsDecode) {
  struct {
    std::string text;
    std::string value;
  } cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0000")", std::string("\0", 1)},
      {R"("\u00e9\u00E9")", "\xc3\xa9\xc3\xa9"},
      {R"("\u20ac")", "\xe2\x82\xac"},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
      {"\"\x7f/\xc3\xa9\xef\xbf\xbf\xf0\x90\x80\x80\"", "\x7f/\xc3\xa9\xef\xbf\xbf\xf0\x90\x80\x80"},
      {"\"a long string that crosses a few eight byte words\"", "a long string that crosses a few eight byte words"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JsonReader r(c.text);
    auto s = r.read_string();
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_EQ(*s, c.value);
    EXPECT_TRUE(r.finish());
  }
}

TEST(JsonReaderTest, TypedReads) {
  using Read = std::function<std::string(JsonReader&)>;
  auto u64 = [](JsonReader& r) { auto v = r.read_u64(); return v ? std::to_string(*v) : v.error().message; };
  auto u32 = [](JsonReader& r) { auto v = r.read_u32(); return v ? std::to_string(*v) : v.error().message; };
  auto i64 = [](JsonReader& r) { auto v = r.read_i64(); return v ? std::to_string(*v) : v.error().message; };
  auto f32 = [](JsonReader& r) {
    auto v = r.read_f32();
    if (!v) return v.error().message;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(*v));
    return std::string(buf);
  };
  auto boolean = [](JsonReader& r) {
    auto v = r.read_bool();
    return v ? std::string(*v ? "true" : "false") : v.error().message;
  };
  auto string = [](JsonReader& r) { auto v = r.read_string(); return v ? "=" + *v : v.error().message; };
  auto agent = [](JsonReader& r) {
    auto st = r.begin_object("struct AgentInfo");
    return st ? std::string("object") : st.error().message;
  };
  auto seq = [](JsonReader& r) {
    auto st = r.begin_array("a sequence");
    return st ? std::string("array") : st.error().message;
  };
  struct {
    std::string text;
    Read read;
    std::string result;
  } cases[] = {
      {"0", u64, "0"},
      {"18446744073709551615", u64, "18446744073709551615"},
      {"18446744073709551616", u64,
       "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 20"},
      {"-1", u64, "invalid value: integer `-1`, expected u64 at line 1 column 2"},
      {"1.0", u64, "invalid type: floating point `1.0`, expected u64 at line 1 column 3"},
      {"1e2", u64, "invalid type: floating point `100.0`, expected u64 at line 1 column 3"},
      {"-0", u64, "invalid type: floating point `-0.0`, expected u64 at line 1 column 2"},
      {"4294967295", u32, "4294967295"},
      {"4294967296", u32, "invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {" -1", u32, "invalid value: integer `-1`, expected u32 at line 1 column 3"},
      {"1.5", u32, "invalid type: floating point `1.5`, expected u32 at line 1 column 3"},
      {"0.0000001", u32, "invalid type: floating point `0.0000001`, expected u32 at line 1 column 9"},
      {"\"7\"", u32, "invalid type: string \"7\", expected u32 at line 1 column 3"},
      {"null", u32, "invalid type: null, expected u32 at line 1 column 4"},
      {"true", u32, "invalid type: boolean `true`, expected u32 at line 1 column 4"},
      {"false", u32, "invalid type: boolean `false`, expected u32 at line 1 column 5"},
      // Containers are described without being consumed.
      {" [1]", u32, "invalid type: sequence, expected u32 at line 1 column 1"},
      {"{}", u32, "invalid type: map, expected u32 at line 1 column 0"},
      {"", u32, "EOF while parsing a value at line 1 column 0"},
      {"-9223372036854775808", i64, "-9223372036854775808"},
      {"9223372036854775807", i64, "9223372036854775807"},
      {"9223372036854775808", i64, "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19"},
      {"1", f32, "1"},
      {"-2", f32, "-2"},
      {"0.1", f32, "0.100000001"},
      {"16777217", f32, "16777216"},
      {"1e39", f32, "inf"},
      {"-1e39", f32, "-inf"},
      {"1e-50", f32, "0"},
      {"null", f32, "invalid type: null, expected f32 at line 1 column 4"},
      {"\"1\"", f32, "invalid type: string \"1\", expected f32 at line 1 column 3"},
      {"1e400", f32, "number out of range at line 1 column 5"},
      {"true", boolean, "true"},
      {"false", boolean, "false"},
      {"0", boolean, "invalid type: integer `0`, expected a boolean at line 1 column 1"},
      {"\"x\"", string, "=x"},
      {"7", string, "invalid type: integer `7`, expected a string at line 1 column 1"},
      {"\"x\"", agent, "invalid type: string \"x\", expected struct AgentInfo at line 1 column 3"},
      {"\"q\\\"\\\\\\n\\t\\u0001\\u007f\xc3\xa9\"", agent,
       "invalid type: string \"q\\\"\\\\\\n\\t\\u{1}\\u{7f}\xc3\xa9\", expected struct AgentInfo at line 1 column 25"},
      {"[", agent, "invalid type: sequence, expected struct AgentInfo at line 1 column 0"},
      {"{", seq, "invalid type: map, expected a sequence at line 1 column 0"},
      {"\"\\x\"", agent, "invalid escape at line 1 column 3"},
      {"-x", agent, "invalid number at line 1 column 2"},
      {"%", agent, "expected value at line 1 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JsonReader r(c.text);
    EXPECT_EQ(c.read(r), c.result);
  }
}

TEST(JsonReaderTest, NestingLimit) {
  struct {
    std::string text;
    bool ok;
    std::string error;
  } cases[] = {
      {nested(128, '[', ']'), true, ""},
      {nested(129, '[', ']'), false, "recursion limit exceeded at line 1 column 129"},
      {"{\"a\":" + nested(127, '[', ']') + "}", true, ""},
      {"{\"a\":" + nested(128, '[', ']') + "}", false, "recursion limit exceeded at line 1 column 133"},
      {std::string(100000, '['), false, "recursion limit exceeded at line 1 column 129"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    EXPECT_EQ(error_of(parse_document(c.text)), c.error);
    JsonReader r(c.text);
    auto st = r.skip_value();
    if (st) st = r.finish();
    EXPECT_EQ(error_of(st), c.error);
  }
  // Containers opened one by one count too.
  const std::string deep = nested(130, '[', ']');
  JsonReader r(deep);
  for (int d = 0; d < 128; ++d) ASSERT_TRUE(r.begin_array("a sequence"));
  EXPECT_EQ(error_of(r.begin_array("a sequence")), "recursion limit exceeded at line 1 column 129");
  JsonReader r2("[[[1]]]");
  ASSERT_TRUE(r2.begin_array("a sequence"));
  ASSERT_TRUE(*r2.next_element());
  std::vector<float> floats;
  EXPECT_EQ(error_of(r2.read_f32_array(floats)), "invalid type: sequence, expected f32 at line 1 column 2");
}

TEST(JsonReaderTest, ContainerWalk) {
  JsonReader r(" { \"a\" : [ 1 , 2 ] , \"b\" : { } , \"c\" : [ ] } ");
  std::string key;
  ASSERT_TRUE(r.begin_object("a map"));
  ASSERT_TRUE(*r.next_key(key));
  EXPECT_EQ(key, "a");
  ASSERT_TRUE(r.begin_array("a sequence"));
  std::vector<uint64_t> got;
  for (;;) {
    auto more = r.next_element();
    ASSERT_TRUE(more);
    if (!*more) break;
    got.push_back(*r.read_u64());
  }
  EXPECT_EQ(got, (std::vector<uint64_t>{1, 2}));
  ASSERT_TRUE(*r.next_key(key));
  EXPECT_EQ(key, "b");
  ASSERT_TRUE(r.begin_object("a map"));
  EXPECT_FALSE(*r.next_key(key));
  ASSERT_TRUE(*r.next_key(key));
  EXPECT_EQ(key, "c");
  ASSERT_TRUE(r.begin_array("a sequence"));
  EXPECT_FALSE(*r.next_element());
  EXPECT_FALSE(*r.next_key(key));
  EXPECT_TRUE(r.finish());
}

// ------------------------------------------------------------- records --

constexpr std::string_view kFields[] = {"kind", "size", "tags"};

struct Rec {
  std::string kind;
  uint32_t size = 0;
  std::vector<std::string> tags;
};

struct RecordResult {
  std::string error;  // empty: read
  Rec rec;
  uint64_t present = 0;
};

RecordResult read_rec(std::string_view text, const RecordSpec& spec) {
  JsonReader r(text);
  RecordResult out;
  auto present = read_record(r, spec, [&](size_t idx) -> Status {
    switch (idx) {
      case 0: return r.read_string_into(out.rec.kind);
      case 1: {
        auto v = r.read_u32();
        if (!v) return std::unexpected(v.error());
        out.rec.size = *v;
        return {};
      }
      default: {
        QV_TRY(r.begin_array("a sequence"));
        for (;;) {
          auto more = r.next_element();
          if (!more) return std::unexpected(more.error());
          if (!*more) return {};
          auto s = r.read_string();
          if (!s) return std::unexpected(s.error());
          out.rec.tags.push_back(*s);
        }
      }
    }
  });
  if (present) {
    auto st = r.finish();
    if (!st) present = std::unexpected(st.error());
  }
  if (!present) {
    out.error = present.error().message;
  } else {
    out.present = *present;
  }
  return out;
}

TEST(JsonRecordTest, ObjectAndArrayForms) {
  RecordSpec spec{"struct Rec", kFields, 2, 0b100, true};
  RecordSpec strict{"struct Rec", kFields, 3, 0, false};
  struct {
    std::string text;
    const RecordSpec* spec;
    std::string error;
    uint64_t present;
  } cases[] = {
      {R"({"kind":"k","size":3,"tags":["x","y"]})", &spec, "", 0b111},
      {R"({"tags":[],"x":{"deep":[1,{"y":null}]},"size":3,"kind":"k","z":1e400})", &spec, "", 0b111},
      {R"({"size":3,"kind":"k"})", &spec, "", 0b011},
      {"\n{\n\"kind\":\"k\"\n}", &spec, "missing field `size` at line 4 column 1", 0},
      {R"({"kind":"k","tags":[]})", &strict, "missing field `size` at line 1 column 22", 0},
      {R"({"kind":"k","size":1,"kind":"k"})", &spec, "duplicate field `kind` at line 1 column 27", 0},
      {R"({"kind":"k","size":1,"kind" :"k"})", &spec, "duplicate field `kind` at line 1 column 28", 0},
      {R"({"kind":"k","size":-1})", &spec, "invalid value: integer `-1`, expected u32 at line 1 column 21", 0},
      {R"({"kind":"k","size":1,})", &spec, "trailing comma at line 1 column 22", 0},
      {R"({"kind":"k" "size":1})", &spec, "expected `,` or `}` at line 1 column 13", 0},
      {R"("k")", &spec, "invalid type: string \"k\", expected struct Rec at line 1 column 3", 0},
      {R"(7)", &spec, "invalid type: integer `7`, expected struct Rec at line 1 column 1", 0},
      {R"({"kind":"k","size":1}{})", &spec, "trailing characters at line 1 column 22", 0},
      {R"(["k",3,["t"]])", &spec, "", 0b111},
      {R"(["k",3])", &spec, "", 0b011},
      {R"(["k"])", &spec, "invalid length 1, expected struct Rec with 3 elements at line 1 column 5", 0},
      {R"([])", &spec, "invalid length 0, expected struct Rec with 3 elements at line 1 column 2", 0},
      {R"(["k",3,[], 9])", &spec, "trailing characters at line 1 column 12", 0},
      {R"(["k",3,[],])", &spec, "trailing comma at line 1 column 11", 0},
      {R"(["k",3,[],9,{"a":[]}])", &strict, "invalid length 5, expected 3 elements in sequence at line 1 column 21", 0},
      {R"(["k",3])", &strict, "invalid length 2, expected struct Rec with 3 elements at line 1 column 7", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = read_rec(c.text, *c.spec);
    EXPECT_EQ(got.error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(got.present, c.present);
      EXPECT_EQ(got.rec.kind, "k");
      EXPECT_EQ(got.rec.size, 3u);
    }
  }
  constexpr std::string_view one[] = {"x"};
  RecordSpec single{"struct One", one, 1, 0, false};
  JsonReader r(R"([1,2])");
  auto res = read_record(r, single, [&](size_t) -> Status { return r.skip_value(); });
  EXPECT_EQ(error_of(res), "invalid length 2, expected 1 element in sequence at line 1 column 5");
  EXPECT_EQ(array_length_text("struct EffectsLayer", 1), "struct EffectsLayer with 1 element");
  EXPECT_EQ(array_length_text("struct Manifest", 10), "struct Manifest with 10 elements");
}

TEST(JsonReaderTest, PinnedErrorOffset) {
  const std::string text = "{\"a\":\n[1,\"x\"]}";
  JsonReader r(text);
  r.pin_error_offset(text.size());
  ASSERT_TRUE(r.begin_object("a map"));
  std::string key;
  ASSERT_TRUE(*r.next_key(key));
  std::vector<float> floats;
  EXPECT_EQ(error_of(r.read_f32_array(floats)), "invalid type: string \"x\", expected f32 at line 2 column 8");
  EXPECT_EQ(r.error("custom").message, "custom at line 2 column 8");
}

TEST(JsonReaderTest, FloatArrays) {
  struct {
    std::string text;
    std::vector<float> values;
    std::string error;
  } cases[] = {
      {"[]", {}, ""},
      {" [ ] ", {}, ""},
      {"[1.0,-0.5,0.1,1e-7,3.4028235e+38,-0.0,0,7,1e39,1E2,16777217,0.30000001192092896]",
       {1.0f, -0.5f, 0.1f, 1e-7f, 3.4028235e+38f, -0.0f, 0.0f, 7.0f, std::numeric_limits<float>::infinity(), 100.0f,
        16777216.0f, 0.3f},
       ""},
      {"[ 1 ,\n 2 ]", {1, 2}, ""},
      {"[1.401298464324817e-45,1e-46,123456789012345678901234567890]", {1.401298464324817e-45f, 0.0f, 1.2345679e29f},
       ""},
      {"[1,null]", {}, "invalid type: null, expected f32 at line 1 column 7"},
      {"[1,\"2\"]", {}, "invalid type: string \"2\", expected f32 at line 1 column 6"},
      {"[1,[2]]", {}, "invalid type: sequence, expected f32 at line 1 column 3"},
      {"[1,]", {}, "trailing comma at line 1 column 4"},
      {"[1 , ]", {}, "trailing comma at line 1 column 6"},
      {"[1 2]", {}, "expected `,` or `]` at line 1 column 4"},
      {"[1", {}, "EOF while parsing a list at line 1 column 2"},
      {"[1,", {}, "EOF while parsing a value at line 1 column 3"},
      {"[", {}, "EOF while parsing a list at line 1 column 1"},
      {"[1.]", {}, "invalid number at line 1 column 4"},
      {"[01]", {}, "invalid number at line 1 column 3"},
      {"[-]", {}, "invalid number at line 1 column 3"},
      {"[1e400]", {}, "number out of range at line 1 column 6"},
      {"{}", {}, "invalid type: map, expected a sequence at line 1 column 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JsonReader r(c.text);
    std::vector<float> out{42.0f};  // appended to, not replaced
    auto st = r.read_f32_array(out);
    if (st) st = r.finish();
    EXPECT_EQ(error_of(st), c.error);
    if (c.error.empty()) {
      ASSERT_EQ(out.size(), c.values.size() + 1);
      for (size_t k = 0; k < c.values.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(std::bit_cast<uint32_t>(out[k + 1]), std::bit_cast<uint32_t>(c.values[k]));
      }
    }
  }
}

// The float-array path reads digit runs several bytes at a time; runs of
// every length, at the end of the text or not, must give what the general
// number reader gives.
TEST(JsonReaderTest, FloatArrayDigitRunsMatchGeneralReader) {
  const std::string digits = "1234567890987654321012345";
  std::vector<std::string> numbers;
  for (size_t len = 1; len <= digits.size(); ++len) {
    const std::string d = digits.substr(0, len);
    for (const std::string& n : {d, "-" + d, "0." + d, d + ".5", "0.000" + d, d + "e-3", "-" + d + "E+2", "0." + d + "e-30"}) {
      numbers.push_back(n);
    }
    if (len > 1) numbers.push_back(d.substr(0, len / 2) + "." + d.substr(len / 2));
  }
  for (const std::string& n : numbers) {
    SCOPED_TRACE(n);
    JsonReader general(n);
    auto expected = general.read_f32();
    ASSERT_TRUE(expected) << expected.error().message;
    for (const std::string& text : {"[" + n + "]", "[" + n + ",0]", "[" + n + " ]", "[" + n + "] "}) {
      SCOPED_TRACE(text);
      JsonReader r(text);
      std::vector<float> out;
      ASSERT_TRUE(r.read_f32_array(out));
      ASSERT_EQ(out.size(), text.find(',') == std::string::npos ? 1u : 2u);
      EXPECT_EQ(std::bit_cast<uint32_t>(out[0]), std::bit_cast<uint32_t>(*expected));
    }
  }
}

// Every proper prefix of a document is an error with a position, never a
// crash or a success.
TEST(JsonReaderTest, TruncatedInputsFail) {
  const std::string doc =
      "{\"kind\":\"fs.tree.v1\",\"entries\":[{\"path\":\"a\\u00e9\\ud83d\\ude00\xc3\xa9\",\"mode\":\"0644\","
      "\"size\":123,\"f\":[1.5e-7,-0.0,true,false,null]}]}";
  ASSERT_TRUE(parse_document(doc));
  for (size_t n = 0; n < doc.size(); ++n) {
    SCOPED_TRACE(n);
    std::string_view prefix(doc.data(), n);
    auto v = parse_document(prefix);
    ASSERT_FALSE(v);
    EXPECT_NE(v.error().message.find(" at line 1 column "), std::string::npos) << v.error().message;
    JsonReader r(prefix);
    auto st = r.skip_value();
    if (st) st = r.finish();
    EXPECT_FALSE(st);
  }
}

}  // namespace
}  // namespace qv
