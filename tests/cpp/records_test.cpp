#include "core/records.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(RecordsTest, FixedRecords) {
  EXPECT_EQ(procs_record().size(), 115u);
  EXPECT_EQ(cache_layout_record().size(), 140u);
  EXPECT_EQ(snapshot_ledger().size(), 41u);
  EXPECT_EQ(snapshot_model_diff().size(), 63u);
  EXPECT_EQ(model_base_record("coder"), "base:coder");
}

TEST(RecordsTest, EnvRecordSortsNames) {
  std::map<std::string, std::string> vars{{"a", "1"}, {"B", "2"}, {"_x", "q\"\n"}};
  EXPECT_EQ(encode_env_record("/tmp/x", vars),
            R"({"cwd":"/tmp/x","kind":"env.v1","vars":{"B":"2","_x":"q\"\n","a":"1"}})");
  EXPECT_EQ(encode_env_record("rel", {}), R"({"cwd":"rel","kind":"env.v1","vars":{}})");
}

TEST(RecordsTest, TraceLinesRoundTrip) {
  std::string out;
  append_trace_line(out, {"user", "hi"});
  EXPECT_EQ(out, "{\"content\":\"hi\",\"role\":\"user\"}\n");
  EXPECT_EQ(out.size(), 31u);
  append_trace_line(out, {"assistant", "line\n\"quoted\""});
  auto back = decode_trace(out);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  ASSERT_EQ(back->size(), 2u);
  EXPECT_EQ((*back)[1].content, "line\n\"quoted\"");
  EXPECT_TRUE(decode_trace("")->empty());
}

TEST(RecordsTest, TraceReadingRules) {
  struct {
    std::string text;
    size_t count;
  } ok[] = {
      {"{\"role\":\"u\",\"content\":\"a\",\"name\":[1]}\n", 1},
      {"{\"content\":\"a\",\"role\":\"u\"}\n\n{\"content\":\"b\",\"role\":\"u\"}\n", 2},
      {"{\"content\":\"a\",\"role\":\"u\"}\r\n", 1},
      {"[\"u\",\"a\"]", 1},
      {"\n\n", 0},
  };
  for (const auto& c : ok) {
    SCOPED_TRACE(c.text);
    auto r = decode_trace(c.text);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->size(), c.count);
  }
  struct {
    std::string text;
    std::string message;
  } bad[] = {
      {"{\"role\":\"u\"}", "missing field `content` at line 1 column 12"},
      {"{\"role\":\"u\",\"role\":\"v\",\"content\":\"\"}", "duplicate field `role`"},
      {"[\"u\"]", "invalid length 1, expected struct TraceMessage with 2 elements"},
      {"{\"content\":\"a\",\"role\":\"u\"} x", "trailing characters"},
      {"{\"content\":1,\"role\":\"u\"}", "invalid type: integer `1`, expected a string"},
      {" \r", "EOF"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    auto r = decode_trace(c.text);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kJson);
    EXPECT_EQ(r.error().message.substr(0, c.message.size()), c.message) << r.error().message;
  }
}

}  // namespace
}  // namespace qv
