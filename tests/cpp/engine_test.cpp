#include "merge/engine.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/fs_tree.h"
#include "core/manifest.h"
#include "core/records.h"
#include "merge_test_util.h"
#include "model/model_diff.h"

namespace qv {
namespace {

using testing::file_entry;
using testing::ImageLayers;
using testing::put_image;
using testing::TestStore;

std::expected<MergeReport, MergeError> merge(const TestStore& s, const Digest& a, const Digest& b,
                                             const std::optional<Digest>& ancestor = std::nullopt,
                                             const MergeOptions& options = {}) {
  DefaultSummarizer summarizer;
  return merge_images(s.store(), a, b, summarizer, options, ancestor);
}

Manifest manifest(const TestStore& s, const Digest& id) {
  auto m = get_manifest(s.store(), id);
  EXPECT_TRUE(m.has_value()) << m.error().message;
  return m ? *m : Manifest{};
}

// X holds two files and a one-message trace; A and B each derive from it.
struct History {
  Digest x, a, b;
  FsTreeEntry f_base, g_base;
};

History fork(const TestStore& s, std::string_view a_f, std::string_view b_f, std::string_view b_g = "g0") {
  History h;
  h.f_base = file_entry(s, "f", "f0");
  h.g_base = file_entry(s, "g", "g0");
  ImageLayers lx;
  lx.fs = s.put_tree({h.f_base, h.g_base});
  lx.trace = s.put_trace({{"user", "plan"}});
  h.x = put_image(s, "x", {}, lx);

  ImageLayers la = lx;
  la.fs = s.put_tree({file_entry(s, "f", a_f), h.g_base});
  la.trace = s.put_trace({{"user", "plan"}, {"assistant", "on A"}});
  h.a = put_image(s, "a", {h.x}, la);

  ImageLayers lb = lx;
  lb.fs = s.put_tree({file_entry(s, "f", b_f), file_entry(s, "g", b_g)});
  lb.trace = s.put_trace({{"user", "plan"}, {"assistant", "step 1"}, {"user", "ok"}});
  lb.env = s.put(encode_env_record("/elsewhere", {{"B_ONLY", "1"}}));
  lb.kind = "reviewer";
  h.b = put_image(s, "b", {h.x}, lb);
  return h;
}

TEST(MergeEngineTest, CleanMergeBuildsManifestFromA) {
  TestStore s;
  const History h = fork(s, "f-by-a", "f0", "g-by-b");
  const Timestamp before = now_utc();
  auto r = merge(s, h.a, h.b);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->ancestor, h.x);
  EXPECT_EQ(r->overall, MergeStatus::kClean);
  EXPECT_TRUE(r->world.conflicts.empty());
  EXPECT_EQ(r->trace.summary, "[merged from sibling] [assistant] step 1 / [user] ok");
  EXPECT_TRUE(r->model.kept_side);

  const Manifest ma = manifest(s, h.a);
  const Manifest m = manifest(s, r->merged_cid);
  EXPECT_EQ(m.schema_version, 1u);
  EXPECT_EQ(m.media_type, "application/vnd.qivara.image.v1+json");
  EXPECT_EQ(m.agent.kind, "coder");  // A's, though B's is "reviewer"
  EXPECT_EQ(m.agent.version, "a");
  EXPECT_EQ(m.agent.fingerprint, "merge:qv-py+qv-py");
  EXPECT_EQ(m.model.base, ma.model.base);
  EXPECT_EQ(m.model.diff, r->model.merged_diff);
  EXPECT_EQ(m.cache, ma.cache);
  EXPECT_EQ(m.world.fs, r->world.tree);
  EXPECT_EQ(m.world.env, ma.world.env);
  EXPECT_EQ(m.world.procs, ma.world.procs);
  EXPECT_EQ(m.effects.ledger, r->effects);
  EXPECT_EQ(m.trace.messages, r->trace.trace);
  EXPECT_EQ(m.parents, (std::vector<Digest>{h.a, h.b}));
  EXPECT_GE(std::make_pair(m.created_at.secs, m.created_at.nanos), std::make_pair(before.secs, before.nanos));

  auto tree = load_tree(s.blobs(), m.world.fs);
  ASSERT_TRUE(tree.has_value());
  std::vector<std::string> contents;
  for (const auto& e : tree->entries) contents.push_back(s.get(*e.blob));
  EXPECT_EQ(contents, (std::vector<std::string>{"f-by-a", "g-by-b"}));
  EXPECT_EQ(s.get(m.effects.ledger),
            "{\"kind\":\"effects.merged.v1\",\"parent_a\":\"" + ma.effects.ledger.as_str() + "\",\"parent_b\":\"" +
                manifest(s, h.b).effects.ledger.as_str() + "\",\"ancestor\":\"" +
                manifest(s, h.x).effects.ledger.as_str() +
                "\",\"replay_with_new_key\":[],\"summary\":{\"a_entries\":0,\"b_entries\":0,"
                "\"b_irreversible_cached\":0}}");
}

TEST(MergeEngineTest, WorldConflictMakesMergeConflicted) {
  TestStore s;
  const History h = fork(s, "ours", "theirs");
  auto r = merge(s, h.a, h.b);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->overall, MergeStatus::kConflicted);
  ASSERT_EQ(r->world.conflicts.size(), 1u);
  EXPECT_EQ(r->world.conflicts[0].path, "f");
  EXPECT_FALSE(r->model.conflicted);
  EXPECT_EQ(manifest(s, r->merged_cid).parents, (std::vector<Digest>{h.a, h.b}));
}

TEST(MergeEngineTest, ModelConflictMakesMergeConflicted) {
  TestStore s;
  LoraDelta lora;
  lora.adapters.push_back(LoraAdapter{0, "q", 1, 1, 1, {1.0f}, {2.0f}});
  FullDelta full;
  full.params["w"] = {0.5f};
  auto lora_id = put_diff(s.blobs(), lora);
  auto full_id = put_diff(s.blobs(), full);
  ASSERT_TRUE(lora_id && full_id);
  ImageLayers la, lb;
  la.diff = *lora_id;
  lb.diff = *full_id;
  const Digest x = put_image(s, "x");
  const Digest a = put_image(s, "a", {x}, la);
  const Digest b = put_image(s, "b", {x}, lb);
  auto r = merge(s, a, b);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_TRUE(r->world.conflicts.empty());
  EXPECT_TRUE(r->model.conflicted);
  EXPECT_EQ(r->overall, MergeStatus::kConflicted);
  EXPECT_EQ(r->model.merged_diff, *lora_id);  // A's diff, already canonical
}

TEST(MergeEngineTest, SelfMerge) {
  TestStore s;
  ImageLayers l;
  l.trace = s.put_trace({{"user", "hi"}});
  const Digest a = put_image(s, "a", {}, l);
  auto r = merge(s, a, a);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->ancestor, a);
  EXPECT_NE(r->merged_cid, a);
  EXPECT_EQ(r->overall, MergeStatus::kClean);
  const Manifest m = manifest(s, r->merged_cid);
  EXPECT_EQ(m.parents, (std::vector<Digest>{a, a}));
  EXPECT_EQ(m.agent.fingerprint, "merge:qv-py+qv-py");
  EXPECT_EQ(s.get(m.trace.messages),
            "{\"role\":\"user\",\"content\":\"hi\"}\n"
            "{\"role\":\"system\",\"content\":\"[merged from sibling] (no divergence)\"}\n");
}

TEST(MergeEngineTest, SameMergeTwiceGivesSameLayers) {
  TestStore s;
  const History h = fork(s, "ours", "theirs", "g1");
  auto r1 = merge(s, h.a, h.b);
  auto r2 = merge(s, h.a, h.b);
  ASSERT_TRUE(r1.has_value() && r2.has_value());
  EXPECT_EQ(r1->trace.trace, r2->trace.trace);
  EXPECT_EQ(r1->world.tree, r2->world.tree);
  EXPECT_EQ(r1->effects, r2->effects);
  EXPECT_EQ(r1->model.merged_diff, r2->model.merged_diff);
  const Manifest m1 = manifest(s, r1->merged_cid), m2 = manifest(s, r2->merged_cid);
  EXPECT_EQ(m1.world, m2.world);
  EXPECT_EQ(m1.agent, m2.agent);
}

TEST(MergeEngineTest, AncestorOverrideIsTakenAsGiven) {
  TestStore s;
  ImageLayers lx, la, lb;
  lx.fs = s.put_tree({file_entry(s, "f", "from x")});
  la.fs = s.put_tree({file_entry(s, "f", "from x"), file_entry(s, "a", "1")});
  lb.fs = s.put_tree({file_entry(s, "g", "2")});
  // Three unrelated snapshots: only the override makes a merge possible.
  const Digest x = put_image(s, "x", {}, lx);
  const Digest a = put_image(s, "a", {}, la);
  const Digest b = put_image(s, "b", {}, lb);
  ASSERT_FALSE(merge(s, a, b).has_value());
  auto r = merge(s, a, b, x);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->ancestor, x);
  auto tree = load_tree(s.blobs(), r->world.tree);
  ASSERT_TRUE(tree.has_value());
  std::vector<std::string> paths;
  for (const auto& e : tree->entries) paths.push_back(e.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"a", "g"}));  // B's deletion of f wins
}

TEST(MergeEngineTest, OptionsReachTheEffectsRecord) {
  TestStore s;
  const Digest a = put_image(s, "a");
  MergeOptions o;
  o.replay_with_new_key = {SideEffectClass::kIrreversible, SideEffectClass::kPure};
  auto r = merge(s, a, a, std::nullopt, o);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_NE(s.get(r->effects).find("\"replay_with_new_key\":[\"irreversible\",\"pure\"]"), std::string::npos);
}

TEST(MergeEngineTest, FingerprintsAreShortened) {
  TestStore s;
  ImageLayers la, lb;
  la.fingerprint = "abcdefghijk";
  lb.fingerprint = "12345678";
  const Digest x = put_image(s, "x");
  const Digest a = put_image(s, "a", {x}, la);
  const Digest b = put_image(s, "b", {x}, lb);
  auto r = merge(s, a, b);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(manifest(s, r->merged_cid).agent.fingerprint, "merge:abcdefgh+12345678");
}

TEST(MergeEngineTest, ShortFingerprint) {
  struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"qv-py", "qv-py"},
      {"12345678", "12345678"},
      {"123456789", "12345678"},
      {"merge:qv-py+qv-py", "merge:qv"},
      {"merge:\xc3\xa9xyz", "merge:\xc3\xa9"},         // é ends at byte 8
      {"merge:x\xc3\xa9yz", "merge:x"},                // é straddles byte 8
      {"merge\xf0\x9f\x98\x80yz", "merge"},            // a 4-byte character straddles
      {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", "\xe2\x82\xac\xe2\x82\xac"},
      // Not UTF-8 at the cut: no boundary to find, so the plain byte cut.
      {std::string(10, '\x80'), std::string(8, '\x80')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(short_fingerprint(c.in), c.out);
  }
}

TEST(MergeEngineTest, AncestorErrors) {
  TestStore s;
  const Digest p1 = put_image(s, "p1"), p2 = put_image(s, "p2"), p3 = put_image(s, "p3");
  const Digest octopus = put_image(s, "o", {p1, p2, p3});
  const Digest missing = compute_digest("not an image");
  const size_t images = s.image_copies();
  struct {
    const char* name;
    Digest a, b;
    std::string text;  // empty: checked by prefix only
  } cases[] = {
      {"no common ancestor", p1, p2,
       "ancestor: no common ancestor between " + p1.as_str() + " and " + p2.as_str()},
      {"octopus", octopus, p1,
       "ancestor: multi-parent (octopus) ancestor at " + octopus.as_str() + "; v1 merge supports at most 2 parents"},
      {"unreadable manifest", missing, p1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = merge(s, c.a, c.b);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, MergeError::Kind::kAncestor);
    if (c.text.empty()) {
      EXPECT_EQ(r.error().text().rfind("ancestor: store: io: ", 0), 0u) << r.error().text();
    } else {
      EXPECT_EQ(r.error().text(), c.text);
    }
  }
  EXPECT_EQ(s.image_copies(), images);
}

TEST(MergeEngineTest, UnreadableManifestWithOverrideIsLayerError) {
  TestStore s;
  const Digest a = put_image(s, "a");
  const Digest missing = compute_digest("not an image");
  for (const auto& [name, ia, ib, ix] : {std::tuple{"A", missing, a, a}, std::tuple{"B", a, missing, a},
                                          std::tuple{"X", a, a, missing}}) {
    SCOPED_TRACE(name);
    auto r = merge(s, ia, ib, ix);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, MergeError::Kind::kLayer);
    EXPECT_EQ(r.error().text(), "layer: " + r.error().layer.embedded());
    EXPECT_EQ(r.error().layer.kind, ErrorKind::kIo);
  }
}

TEST(MergeEngineTest, WorldFailureKeepsTraceBlobAndWritesNoManifest) {
  TestStore s;
  ImageLayers lx, lb;
  lx.trace = s.put_trace({{"user", "plan"}});
  const Digest x = put_image(s, "x", {}, lx);
  lb.fs = s.put_tree({}, "fs.tree.v9");
  lb.trace = lx.trace;
  const Digest a = put_image(s, "a", {x}, lx);
  const Digest b = put_image(s, "b", {x}, lb);
  const size_t images = s.image_copies();
  auto r = merge(s, a, b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, MergeError::Kind::kLayer);
  EXPECT_EQ(r.error().text(), "layer: CAS integrity check failed for expected fs.tree.v1, got fs.tree.v9");
  EXPECT_TRUE(s.has(compute_digest("{\"role\":\"user\",\"content\":\"plan\"}\n"
                                   "{\"role\":\"system\",\"content\":\"[merged from sibling] (no divergence)\"}\n")));
  EXPECT_EQ(s.image_copies(), images);
}

// A merged image names a merged-effects record, not a ledger: merging it again
// as A or B fails in the effects layer, after the trace and world merges have
// stored their results. As the ancestor it is fine.
TEST(MergeEngineTest, MergedImageCannotBeMergedAgainAsSide) {
  TestStore s;
  const History h = fork(s, "f-by-a", "f0");
  auto first = merge(s, h.a, h.b);
  ASSERT_TRUE(first.has_value()) << first.error().text();
  const Digest merged = first->merged_cid;

  // Another child of X that changes g, merged with the merged image against X.
  ImageLayers lc;
  lc.fs = s.put_tree({h.f_base, file_entry(s, "g", "g-by-c")});
  lc.trace = s.put_trace({{"user", "plan"}});
  const Digest c = put_image(s, "c", {h.x}, lc);
  const Manifest mm = manifest(s, merged);
  const std::string effects_text = s.get(mm.effects.ledger);

  for (bool merged_is_a : {true, false}) {
    SCOPED_TRACE(merged_is_a ? "as A" : "as B");
    const size_t images = s.image_copies();
    auto r = merged_is_a ? merge(s, merged, c, h.x) : merge(s, c, merged, h.x);
    ASSERT_FALSE(r.has_value());
    ASSERT_EQ(r.error().kind, MergeError::Kind::kLayer);
    EXPECT_EQ(r.error().layer.kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().text().rfind("layer: CAS integrity check failed for expected effects.ledger.v1, got "
                                     "{\"ancestor\":",
                                     0),
              0u)
        << r.error().text();
    EXPECT_EQ(s.image_copies(), images);

    if (merged_is_a) {
      // C's history equals X's, so the trace merge appended the no-divergence line.
      EXPECT_TRUE(s.has(compute_digest(
          s.get(mm.trace.messages) +
          "{\"role\":\"system\",\"content\":\"[merged from sibling] (no divergence)\"}\n")));
    }
    // The world merge's tree (f from A's side, g from C) was stored.
    FsTree expected;
    auto merged_tree = load_tree(s.blobs(), mm.world.fs);
    ASSERT_TRUE(merged_tree.has_value());
    expected.entries = {merged_tree->entries[0], file_entry(s, "g", "g-by-c")};
    EXPECT_TRUE(s.has(compute_digest(encode_tree(expected))));
  }

  // As the ancestor, its effects record is named but never read.
  auto ok = merge(s, h.a, c, merged);
  ASSERT_TRUE(ok.has_value()) << ok.error().text();
  EXPECT_NE(s.get(ok->effects).find("\"ancestor\":\"" + mm.effects.ledger.as_str() + "\""), std::string::npos);
  EXPECT_FALSE(effects_text.empty());
}

}  // namespace
}  // namespace qv
