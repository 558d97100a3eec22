#include "merge/effects_merge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/records.h"
#include "merge_test_util.h"

namespace qv {
namespace {

using testing::TestStore;

constexpr std::string_view kHeader = "{\"kind\":\"effects.ledger.v1\",\"entries\":0}";

std::string merged_record(const Digest& a, const Digest& b, const Digest& x, std::string_view replay,
                          uint64_t a_entries, uint64_t b_entries, uint64_t b_irreversible) {
  return "{\"kind\":\"effects.merged.v1\",\"parent_a\":\"" + a.as_str() + "\",\"parent_b\":\"" + b.as_str() +
         "\",\"ancestor\":\"" + x.as_str() + "\",\"replay_with_new_key\":[" + std::string(replay) +
         "],\"summary\":{\"a_entries\":" + std::to_string(a_entries) + ",\"b_entries\":" + std::to_string(b_entries) +
         ",\"b_irreversible_cached\":" + std::to_string(b_irreversible) + "}}";
}

TEST(EffectsMergeTest, CountsEntryLines) {
  const std::string h(kHeader);
  struct {
    const char* name;
    std::string a, b;
    uint64_t a_entries, b_entries, b_irreversible;
  } cases[] = {
      {"snapshot ledgers", std::string(snapshot_ledger()), std::string(snapshot_ledger()), 0, 0, 0},
      {"zero-byte ledgers need no header", "", "", 0, 0, 0},
      {"line feeds only", "\n\n", "\n", 0, 0, 0},
      {"blank lines around and between", "\n\n" + h + "\n\n{}\n\n{}\n\n", "\n" + h + "\n{}\n\n", 2, 1, 0},
      {"no final line feed", h + "\n{}", h + "\n{}", 1, 1, 0},
      {"header ending in CR", h + "\r\n{}\r\n", h + "\r\n{}\r\n", 1, 1, 0},
      // A's entries are counted, never decoded.
      {"A's lines need not be JSON", h + "\nnot json\n\r\n \n", h, 3, 0, 0},
      {"irreversible counted for B only",
       h + "\n{\"side_effect_class\":\"irreversible\"}\n",
       h + "\n{\"side_effect_class\":\"irreversible\",\"tool\":\"mail\"}\n"
           "{\"side_effect_class\":\"Irreversible\"}\n"
           "{\"side_effect_class\":\"idempotent\"}\n"
           "{\"other\":\"irreversible\"}\n"
           "[\"irreversible\"]\n"
           "\"irreversible\"\n"
           "{\"side_effect_class\":[\"irreversible\"]}\n"
           "  {\"side_effect_class\" : \"irreversible\"}  \r\n",
       1, 8, 2},
      {"other header keys are not read", "{\"entries\":99,\"kind\":\"effects.ledger.v1\",\"x\":[1]}\n", h, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestStore s;
    const Digest a = s.put(c.a), b = s.put(c.b);
    const Digest x = compute_digest("ancestor ledger, never stored");
    auto r = merge_effects(s.blobs(), a, b, x, {});
    ASSERT_TRUE(r.has_value()) << r.error().message;
    const std::string expected = merged_record(a, b, x, "", c.a_entries, c.b_entries, c.b_irreversible);
    EXPECT_EQ(s.get(*r), expected);
    EXPECT_EQ(*r, compute_digest(expected));
  }
}

TEST(EffectsMergeTest, ReplayListAndDeterminism) {
  TestStore s;
  const Digest a = s.put(snapshot_ledger());
  const std::vector<SideEffectClass> replay = {SideEffectClass::kIrreversible, SideEffectClass::kPure,
                                               SideEffectClass::kNetworkOnly, SideEffectClass::kIdempotent,
                                               SideEffectClass::kPure};
  auto r1 = merge_effects(s.blobs(), a, a, a, replay);
  auto r2 = merge_effects(s.blobs(), a, a, a, replay);
  ASSERT_TRUE(r1.has_value() && r2.has_value());
  EXPECT_EQ(*r1, *r2);
  EXPECT_EQ(s.get(*r1),
            merged_record(a, a, a, "\"irreversible\",\"pure\",\"network-only\",\"idempotent\",\"pure\"", 0, 0, 0));
}

TEST(EffectsMergeTest, BadLedgersFailBeforeAnythingIsWritten) {
  TestStore s;
  const Digest good = s.put(snapshot_ledger());
  const Digest x = good;
  struct {
    const char* name;
    std::string bad;  // the bad ledger's bytes
    bool bad_is_a;
    ErrorKind kind;
    std::string message;  // empty: only the kind is checked
  } cases[] = {
      {"merged-effects record as A",
       "{\"kind\":\"effects.merged.v1\",\"parent_a\":\"p\",\"parent_b\":\"q\",\"ancestor\":\"r\","
       "\"replay_with_new_key\":[],\"summary\":{\"a_entries\":0,\"b_entries\":0,\"b_irreversible_cached\":0}}",
       true, ErrorKind::kIntegrity,
       "expected effects.ledger.v1, got {\"ancestor\":\"r\",\"kind\":\"effects.merged.v1\",\"parent_a\":\"p\","
       "\"parent_b\":\"q\",\"replay_with_new_key\":[],\"summary\":{\"a_entries\":0,\"b_entries\":0,"
       "\"b_irreversible_cached\":0}}"},
      {"header not an object", "[1, 2]\n", false, ErrorKind::kIntegrity, "expected effects.ledger.v1, got [1,2]"},
      {"kind not a string", "{\"kind\": 1}\n", true, ErrorKind::kIntegrity,
       "expected effects.ledger.v1, got {\"kind\":1}"},
      {"header without kind", "{}\n{}\n", false, ErrorKind::kIntegrity, "expected effects.ledger.v1, got {}"},
      {"header not JSON", "kind=effects.ledger.v1\n", true, ErrorKind::kJson, ""},
      {"header followed by more on its line", std::string(kHeader) + " {}\n", true, ErrorKind::kJson, ""},
      {"B entry not JSON", std::string(kHeader) + "\n{\"ok\":true}\nnot json\n", false, ErrorKind::kJson, ""},
      {"B entry a lone carriage return", std::string(kHeader) + "\n\r\n", false, ErrorKind::kJson, ""},
      {"B entry only blanks", std::string(kHeader) + "\n   \n", false, ErrorKind::kJson, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Digest bad = s.put(c.bad);
    const size_t before = *s.blobs().physical_bytes();
    auto r = c.bad_is_a ? merge_effects(s.blobs(), bad, good, x, {}) : merge_effects(s.blobs(), good, bad, x, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    EXPECT_EQ(*s.blobs().physical_bytes(), before);
  }
  // A's ledger is checked before B's is read.
  auto missing_b = merge_effects(s.blobs(), s.put("{}\n"), compute_digest("missing"), x, {});
  ASSERT_FALSE(missing_b.has_value());
  EXPECT_EQ(missing_b.error().kind, ErrorKind::kIntegrity);
  auto missing_a = merge_effects(s.blobs(), compute_digest("missing"), good, x, {});
  ASSERT_FALSE(missing_a.has_value());
  EXPECT_EQ(missing_a.error().kind, ErrorKind::kIo);
}

}  // namespace
}  // namespace qv
