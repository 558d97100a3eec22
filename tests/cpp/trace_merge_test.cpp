#include "merge/trace_merge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/file_util.h"
#include "merge_test_util.h"

namespace qv {
namespace {

using testing::TestStore;
using Msgs = std::vector<TraceMessage>;

std::string summarize(const Msgs& sibling, const Msgs& base, size_t limit = kSummaryLimit) {
  DefaultSummarizer s;
  auto r = s.summarize(sibling, base, limit);
  EXPECT_TRUE(r.has_value());
  return r ? *r : std::string();
}

TEST(DefaultSummarizerTest, DivergenceWindow) {
  const TraceMessage plan{"user", "plan"};
  Msgs six_new = {plan};
  for (int i = 1; i <= 6; ++i) six_new.push_back({"assistant", "m" + std::to_string(i)});
  struct {
    const char* name;
    Msgs sibling, base;
    std::string expected;
  } cases[] = {
      {"example", {plan, {"assistant", "step 1"}, {"user", "ok"}}, {plan}, "[assistant] step 1 / [user] ok"},
      {"equal histories", {plan, {"user", "go"}}, {plan, {"user", "go"}}, "(no divergence)"},
      {"both empty", {}, {}, "(no divergence)"},
      {"sibling a proper prefix of base", {plan}, {plan, {"user", "more"}}, "(no divergence)"},
      {"six new messages: the last four", six_new, {plan}, "[assistant] m3 / [assistant] m4 / [assistant] m5 / [assistant] m6"},
      {"diverged at the first message",
       {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}},
       {plan},
       "[b] 2 / [c] 3 / [d] 4 / [e] 5"},
      {"role alone differs", {{"assistant", "plan"}}, {plan}, "[assistant] plan"},
      {"content alone differs", {{"user", "plan!"}}, {plan}, "[user] plan!"},
      {"shorter sibling that diverged", {plan, {"user", "y"}}, {plan, {"user", "x"}, {"user", "z"}}, "[user] y"},
      {"empty role and content", {plan, {"", ""}}, {plan}, "[] "},
      {"empty message among others", {{"", ""}, {"user", "b"}}, {}, "[]  / [user] b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(summarize(c.sibling, c.base), c.expected);
  }
}

TEST(DefaultSummarizerTest, CutAtLimitKeepsWholeCharacters) {
  // "[u] " is 4 bytes; the content is padded so a character of the given
  // width starts `offset` bytes before the limit.
  struct {
    std::string ch;
    size_t offset;  // bytes of the character that lie below the limit
  } cases[] = {
      {"x", 1},
      {"\xc3\xa9", 2},          // é ends exactly at the limit
      {"\xc3\xa9", 1},          // é straddles it
      {"\xe2\x82\xac", 1},      // € straddles after its first byte
      {"\xe2\x82\xac", 2},      // ... after two bytes
      {"\xf0\x9f\x98\x80", 1},  // an emoji, one byte below the limit
      {"\xf0\x9f\x98\x80", 3},  // ... three bytes below
      {"\xf0\x9f\x98\x80", 4},  // ... ending exactly at the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.ch.size()) + "-byte character, " + std::to_string(c.offset) + " below");
    std::string content(1024 - 4 - c.offset, 'p');
    for (int i = 0; i < 8; ++i) content += c.ch;
    const std::string text = summarize({{"u", content}}, {});
    // A straddling character is dropped whole; one that fits is kept.
    const size_t expected = c.offset < c.ch.size() ? 1024 - c.offset : 1024;
    EXPECT_EQ(text.size(), expected);
    EXPECT_TRUE(is_valid_utf8(text));
    EXPECT_EQ(text.substr(0, 4), "[u] ");
  }
  // Plain ASCII is cut at exactly the limit.
  const std::string long_text = summarize({{"r", std::string(5000, 'a')}, {"r", "tail"}}, {});
  EXPECT_EQ(long_text.size(), 1024u);
  EXPECT_EQ(long_text.substr(0, 8), "[r] aaaa");
}

class RecordingSummarizer final : public Summarizer {
 public:
  Result<std::string> summarize(const Msgs& sibling, const Msgs& base, size_t limit) override {
    ++calls;
    seen_sibling = sibling;
    seen_base = base;
    seen_limit = limit;
    if (fail) return io_error("summarizer unavailable");
    return reply;
  }
  int calls = 0;
  Msgs seen_sibling, seen_base;
  size_t seen_limit = 0;
  bool fail = false;
  std::string reply = "text";
};

TEST(TraceMergeTest, RecordIsAPlusSummaryInRoleFirstLines) {
  TestStore s;
  const Digest a = s.put_trace({{"user", "hi"}, {"assistant", "line\nwith \"quote\""}});
  const Digest x = s.put_trace({{"user", "plan"}});
  const Digest b = s.put_trace({{"user", "plan"}, {"assistant", "step 1"}, {"user", "ok"}});
  DefaultSummarizer summarizer;
  auto r = merge_trace(s.blobs(), a, b, x, summarizer);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  const std::string summary = "[merged from sibling] [assistant] step 1 / [user] ok";
  EXPECT_EQ(r->summary, summary);
  EXPECT_EQ(r->summary_units, summary.size() / 4);
  EXPECT_EQ(s.get(r->trace),
            "{\"role\":\"user\",\"content\":\"hi\"}\n"
            "{\"role\":\"assistant\",\"content\":\"line\\nwith \\\"quote\\\"\"}\n"
            "{\"role\":\"system\",\"content\":\"" +
                summary + "\"}\n");
}

TEST(TraceMergeTest, NoDivergenceAndEmptyHistory) {
  TestStore s;
  const Digest empty = s.put_trace({});
  const Digest one = s.put_trace({{"user", "hi"}});
  DefaultSummarizer summarizer;
  // A, B and X the same image; and A empty with B equal to X.
  for (const Digest& a : {one, empty}) {
    SCOPED_TRACE(a == one ? "self merge" : "empty A");
    auto r = merge_trace(s.blobs(), a, one, one, summarizer);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->summary, "[merged from sibling] (no divergence)");
    EXPECT_EQ(r->summary_units, 9u);  // 37 bytes
    const std::string last = "{\"role\":\"system\",\"content\":\"[merged from sibling] (no divergence)\"}\n";
    const std::string first = a == one ? "{\"role\":\"user\",\"content\":\"hi\"}\n" : "";
    EXPECT_EQ(s.get(r->trace), first + last);
  }
}

TEST(TraceMergeTest, SummarizerSeesBAgainstX) {
  TestStore s;
  const Digest a = s.put_trace({{"a", "only in A"}});
  const Digest b = s.put_trace({{"b", "1"}});
  const Digest x = s.put_trace({{"x", "0"}});
  RecordingSummarizer summarizer;
  auto r = merge_trace(s.blobs(), a, b, x, summarizer);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(summarizer.calls, 1);
  EXPECT_EQ(summarizer.seen_sibling, (Msgs{{"b", "1"}}));
  EXPECT_EQ(summarizer.seen_base, (Msgs{{"x", "0"}}));
  EXPECT_EQ(summarizer.seen_limit, 1024u);
  EXPECT_EQ(r->summary, "[merged from sibling] text");

  summarizer.fail = true;
  auto failed = merge_trace(s.blobs(), a, b, x, summarizer);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "summarizer unavailable");
}

TEST(TraceMergeTest, UnreadableTraceFailsBeforeSummarizing) {
  TestStore s;
  const Digest good = s.put_trace({{"user", "hi"}});
  const Digest missing = compute_digest("never stored");
  const Digest malformed = s.put("{\"role\":\"user\"}\n");
  struct {
    const char* name;
    Digest a, b, x;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {"A missing", missing, malformed, good, ErrorKind::kIo, ""},
      {"B malformed", good, malformed, missing, ErrorKind::kJson, "missing field `content` at line 1 column 15"},
      {"X missing", good, good, missing, ErrorKind::kIo, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSummarizer summarizer;
    auto r = merge_trace(s.blobs(), c.a, c.b, c.x, summarizer);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    EXPECT_EQ(summarizer.calls, 0);
  }
}

}  // namespace
}  // namespace qv
