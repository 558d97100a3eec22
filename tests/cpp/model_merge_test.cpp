#include "merge/model_merge.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <optional>

#include "model/delta.h"
#include "model/model_diff.h"

namespace qv {
namespace {

class ModelMergeTest : public testing::Test {
 protected:
  ModelMergeTest() {
    char tmpl[] = "/tmp/qv_model_merge_test.XXXXXX";
    dir_ = mkdtemp(tmpl);
    blobs_ = std::make_unique<LocalBlobStore>(dir_);
  }
  ~ModelMergeTest() override { std::filesystem::remove_all(dir_); }

  Digest store(ModelDiff d) {
    auto r = put_diff(*blobs_, std::move(d));
    EXPECT_TRUE(r) << r.error().message;
    return *r;
  }
  Digest store_text(std::string_view text) { return *blobs_->put(text); }
  ModelDiff load(const Digest& d) {
    auto r = get_diff(*blobs_, d);
    EXPECT_TRUE(r) << r.error().message;
    return r ? *r : ModelDiff{};
  }
  Result<ModelMergeOutcome> merge(ModelDiff a, ModelDiff b, float alpha = 0.5f, double p = 0.7, uint64_t seed = 0) {
    return merge_model_layers(*blobs_, store(std::move(a)), store(std::move(b)), alpha, p, seed);
  }

  std::filesystem::path dir_;
  std::unique_ptr<LocalBlobStore> blobs_;
};

// What the merge must produce for a pair of vectors with the given seeds.
FloatVec expected_pair(const FloatVec& a, const FloatVec& b, uint64_t sa, uint64_t sb, float alpha = 0.5f,
                       double p = 0.7) {
  auto da = dare(a, p, sa);
  auto db = dare(b, p, sb);
  EXPECT_TRUE(da && db);
  const std::span<const float> views[] = {*da, *db};
  auto t = ties_merge(views, 0.2, alpha);
  EXPECT_TRUE(t);
  return *t;
}

FloatVec ramp(size_t n, float start, float step) {
  FloatVec v(n);
  for (size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<float>(i);
  return v;
}

std::vector<uint32_t> bits(const FloatVec& v) {
  std::vector<uint32_t> b;
  for (float x : v) b.push_back(std::bit_cast<uint32_t>(x));
  return b;
}

FullDelta full(std::initializer_list<std::pair<const std::string, FloatVec>> params) {
  FullDelta d;
  d.params = params;
  return d;
}

struct Flags {
  bool kept_side, applied, conflicted;
};

void expect_flags(const ModelMergeOutcome& o, Flags f) {
  EXPECT_EQ(o.kept_side, f.kept_side);
  EXPECT_EQ(o.applied_task_arithmetic, f.applied);
  EXPECT_EQ(o.conflicted, f.conflicted);
}

TEST_F(ModelMergeTest, SideAndKindRules) {
  LoraDelta lora;
  lora.adapters = {LoraAdapter{1, "q", 1, 1, 1, {1.0f}, {2.0f}}};
  const FullDelta two_params = full({{"w2", {1.0f}}, {"w1", {2.0f, 3.0f}}});
  IA3Delta empty_layer;
  empty_layer.scaling["only"];
  struct {
    const char* name;
    ModelDiff a, b;
    double p;
    Flags flags;
    ModelDiff expected;
  } cases[] = {
      {"both empty", LoraDelta{}, LoraDelta{}, 0.7, {true, false, false}, LoraDelta{}},
      {"a empty keeps b", FullDelta{}, two_params, 0.7, {true, false, false}, two_params},
      {"b empty keeps a", two_params, InPlaceTttDelta{}, 5.0, {true, false, false}, two_params},
      {"different kinds keep a", lora, two_params, 5.0, {false, false, true}, lora},
      {"a layer with no matrices is an entry", empty_layer, two_params, 0.7, {false, false, true}, empty_layer},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = merge(c.a, c.b, 0.5f, c.p);
    ASSERT_TRUE(r) << r.error().message;
    expect_flags(*r, c.flags);
    EXPECT_TRUE(load(r->merged_diff) == c.expected);
    EXPECT_EQ(r->merged_diff, store(c.expected));  // re-stored in canonical form
  }
}

TEST_F(ModelMergeTest, SnapshotDocumentsMergeIntoTheCanonicalEmptyDiff) {
  const Digest snap = store_text(R"({"diff":{"adapters":[],"kind":"lora"},"layout":"model.diff.v1"})");
  auto r = merge_model_layers(*blobs_, snap, snap, 0.5f, 0.7, 0);
  ASSERT_TRUE(r);
  expect_flags(*r, {true, false, false});
  EXPECT_NE(r->merged_diff, snap);
  EXPECT_EQ(*blobs_->get(r->merged_diff), R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[]}})");
}

TEST_F(ModelMergeTest, LoraPairsByKeyWithFourSeeds) {
  const uint64_t seed = 0xFFFFFFFFFFFFFFFEull;  // seed + 2 and seed + 3 wrap to 0 and 1
  LoraDelta a, b;
  a.adapters = {
      LoraAdapter{0, "q", 2, 3, 4, ramp(6, 9.0f, 1.0f), ramp(8, 9.0f, 1.0f)},  // replaced below
      LoraAdapter{1, "v", 1, 1, 1, {7.0f}, {8.0f}},
      LoraAdapter{0, "q", 2, 3, 4, ramp(6, 1.0f, 0.5f), ramp(8, -1.0f, 0.25f)},
      LoraAdapter{0, "k", 2, 3, 4, ramp(6, 2.0f, -0.5f), ramp(8, 3.0f, 0.1f)},
  };
  b.adapters = {
      LoraAdapter{0, "q", 2, 3, 4, ramp(6, -2.0f, 1.0f), ramp(8, 0.5f, -0.5f)},
      LoraAdapter{0, "k", 2, 3, 4, ramp(6, 1.0f, 1.0f), ramp(8, -3.0f, 0.2f)},
      LoraAdapter{0, "a", 1, 1, 1, {5.0f}, {6.0f}},
  };
  auto r = merge(a, b, 0.5f, 0.3, seed);
  ASSERT_TRUE(r) << r.error().message;
  expect_flags(*r, {false, true, false});
  const auto merged = std::get<LoraDelta>(load(r->merged_diff)).adapters;
  ASSERT_EQ(merged.size(), 4u);
  EXPECT_EQ(merged[0].matrix, "a");  // B only, unchanged
  EXPECT_EQ(merged[0].a, FloatVec{5.0f});
  for (size_t i : {1u, 2u}) {
    SCOPED_TRACE(merged[i].matrix);
    const LoraAdapter& x = merged[i].matrix == "k" ? a.adapters[3] : a.adapters[2];
    const LoraAdapter& y = merged[i].matrix == "k" ? b.adapters[1] : b.adapters[0];
    EXPECT_EQ(bits(merged[i].a), bits(expected_pair(x.a, y.a, seed, seed + 1, 0.5f, 0.3)));
    EXPECT_EQ(bits(merged[i].b), bits(expected_pair(x.b, y.b, 0, 1, 0.5f, 0.3)));
    EXPECT_EQ(merged[i].rank, 2u);
  }
  EXPECT_EQ(merged[1].matrix, "k");
  EXPECT_EQ(merged[2].matrix, "q");
  EXPECT_EQ(merged[3].layer_id, 1u);  // A only, unchanged
  EXPECT_EQ(merged[3].b, FloatVec{8.0f});
}

TEST_F(ModelMergeTest, FullNumbersEveryNameOfTheUnion) {
  const uint64_t seed = 100;
  const FloatVec w1a = ramp(50, 1.0f, 0.1f), w1b = ramp(50, -2.0f, 0.2f);
  const FloatVec w2a = ramp(40, 3.0f, -0.1f), w2b = ramp(40, 0.5f, 0.05f);
  struct {
    const char* name;
    bool with_w0;
    uint64_t s1a, s1b, s2a, s2b;
  } cases[] = {
      {"shared names only", false, seed, seed + 255, seed + 1, seed + 254},
      {"a one-sided name takes a number", true, seed + 1, seed + 254, seed + 2, seed + 253},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FullDelta a = full({{"w1", w1a}, {"w2", w2a}});
    if (c.with_w0) a.params["w0"] = {4.0f, -4.0f};
    FullDelta b = full({{"w2", w2b}, {"w1", w1b}});
    auto r = merge(a, b, 0.25f, 0.7, seed);
    ASSERT_TRUE(r) << r.error().message;
    expect_flags(*r, {false, true, false});
    auto out = std::get<FullDelta>(load(r->merged_diff)).params;
    EXPECT_EQ(out.size(), c.with_w0 ? 3u : 2u);
    EXPECT_EQ(bits(out["w1"]), bits(expected_pair(w1a, w1b, c.s1a, c.s1b, 0.25f)));
    EXPECT_EQ(bits(out["w2"]), bits(expected_pair(w2a, w2b, c.s2a, c.s2b, 0.25f)));
    if (c.with_w0) {
      EXPECT_EQ(out["w0"], (FloatVec{4.0f, -4.0f}));
    }
  }
}

TEST_F(ModelMergeTest, Ia3PairCounterRunsAcrossLayers) {
  const uint64_t seed = 7;
  IA3Delta a, b;
  a.scaling["l1"]["m"] = ramp(30, 1.0f, 0.5f);
  a.scaling["l1"]["only_a"] = {1.0f};
  a.scaling["l2"]["m"] = ramp(30, -1.0f, 0.5f);
  a.scaling["l2"]["n"] = ramp(30, 2.0f, -0.5f);
  a.scaling["la"];
  b.scaling["l1"]["m"] = ramp(30, 0.5f, 0.25f);
  b.scaling["l2"]["m"] = ramp(30, 3.0f, -0.25f);
  b.scaling["l2"]["n"] = ramp(30, -2.0f, 0.75f);
  b.scaling["lb"]["x"] = {9.0f};
  auto r = merge(a, b, 0.5f, 0.7, seed);
  ASSERT_TRUE(r) << r.error().message;
  expect_flags(*r, {false, true, false});
  auto out = std::get<IA3Delta>(load(r->merged_diff)).scaling;
  ASSERT_EQ(out.size(), 4u);
  EXPECT_TRUE(out["la"].empty());
  EXPECT_EQ(out["lb"]["x"], FloatVec{9.0f});
  EXPECT_EQ(out["l1"]["only_a"], FloatVec{1.0f});
  EXPECT_EQ(bits(out["l1"]["m"]), bits(expected_pair(a.scaling["l1"]["m"], b.scaling["l1"]["m"], seed, seed + 1)));
  EXPECT_EQ(bits(out["l2"]["m"]),
            bits(expected_pair(a.scaling["l2"]["m"], b.scaling["l2"]["m"], seed + 2, seed + 3)));
  EXPECT_EQ(bits(out["l2"]["n"]),
            bits(expected_pair(a.scaling["l2"]["n"], b.scaling["l2"]["n"], seed + 4, seed + 5)));
}

TEST_F(ModelMergeTest, TttStepsConcatenateStably) {
  InPlaceTttDelta a, b;
  a.steps = {TttStep{3, {{"from", {1.0f}}}}, TttStep{1, {}}};
  b.steps = {TttStep{2, {}}, TttStep{3, {{"from", {2.0f}}}}};
  auto r = merge(a, b, 0.5f, 5.0, 0);  // p is not used
  ASSERT_TRUE(r) << r.error().message;
  expect_flags(*r, {false, false, false});
  auto steps = std::get<InPlaceTttDelta>(load(r->merged_diff)).steps;
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].step_id, 1u);
  EXPECT_EQ(steps[1].step_id, 2u);
  EXPECT_EQ(steps[2].deltas["from"], FloatVec{1.0f});  // A's step 3 first
  EXPECT_EQ(steps[3].deltas["from"], FloatVec{2.0f});
}

TEST_F(ModelMergeTest, AlphaZeroZeroesMergedVectorsOnly) {
  FullDelta a = full({{"both", {1.0f, -2.0f, -3.0f, 4.0f, 5.0f, -6.0f, 7.0f, 8.0f}}, {"a_only", {1.5f}}});
  FullDelta b = full({{"both", {-1.0f, -2.0f, -3.0f, -4.0f, 5.0f, 6.0f, 7.0f, -8.0f}}});
  auto r = merge(a, b, 0.0f, 0.2, 3);
  ASSERT_TRUE(r);
  auto out = std::get<FullDelta>(load(r->merged_diff)).params;
  EXPECT_EQ(out["a_only"], FloatVec{1.5f});
  const FloatVec& both = out["both"];
  // "both" is name 1 of the union (after "a_only").
  EXPECT_EQ(bits(both), bits(expected_pair(a.params["both"], b.params["both"], 3 + 1, 3 + (1 ^ 255), 0.0f, 0.2)));
  for (float x : both) EXPECT_EQ(x, 0.0f);
}

TEST_F(ModelMergeTest, FailuresStoreNothing) {
  LoraDelta rank8, rank4;
  rank8.adapters = {LoraAdapter{3, "q", 8, 2, 1, FloatVec(16), FloatVec(8)}};
  rank4.adapters = {LoraAdapter{3, "q", 4, 2, 1, FloatVec(8), FloatVec(4)}};
  // Stored by another writer: a shorter than its shape says.
  const std::string short_a =
      R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[{"layer_id":0,"matrix":"k","rank":1,"in_dim":2,"out_dim":1,"a":[1],"b":[1]}]}})";
  LoraDelta fits;
  fits.adapters = {LoraAdapter{0, "k", 1, 2, 1, FloatVec(2, 1.0f), FloatVec(1, 1.0f)}};
  IA3Delta ia3a, ia3b;
  ia3a.scaling["l"]["m"] = FloatVec(3, 1.0f);
  ia3b.scaling["l"]["m"] = FloatVec(2, 1.0f);
  const std::string mismatch_msg =
      "LoRA shape mismatch on layer 3 matrix q: A=(8/2/1) B=(4/2/1)";
  struct {
    const char* name;
    ModelDiff a, b;
    double p;
    std::string message;
    std::string a_text = "";  // stored as is instead of a
  } cases[] = {
      {"lora shapes differ", rank8, rank4, 0.7, mismatch_msg},
      {"full lengths differ", full({{"w", FloatVec(3)}}), full({{"w", FloatVec(5)}}), 0.7,
       "Full param w: A.len 3 \u2260 B.len 5"},
      {"ia3 lengths differ", ia3a, ia3b, 0.7, "IA3 layer l matrix m: len mismatch 3 \u2260 2"},
      {"p out of range", full({{"w", {1.0f}}}), full({{"w", {1.0f}}}), 0.0, "dare: p must be in (0,1), got 0"},
      {"vector lengths differ inside lora", LoraDelta{}, fits, 0.7, "ties_merge: delta 1 has len 2, expected 1",
       short_a},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Digest da = c.a_text.empty() ? store(c.a) : store_text(c.a_text), db = store(c.b);
    const uint64_t before = *blobs_->physical_bytes();
    auto r = merge_model_layers(*blobs_, da, db, 0.5f, c.p, 0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(*blobs_->physical_bytes(), before);
  }
  // A result that does not fit its shape fails when stored.
  auto dx = blobs_->put(short_a);
  auto r = merge_model_layers(*blobs_, *dx, *dx, 0.5f, 0.7, 0);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "LoraAdapter L0/k: a.len 1 \u2260 rank\u00b7in_dim 2");
  // Loading errors come first, whatever the other side holds.
  auto missing = merge_model_layers(*blobs_, compute_digest("absent"), *dx, 0.5f, 0.7, 0);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, ErrorKind::kIo);
  const Digest v2 = store_text(R"({"layout":"model.diff.v2","diff":{"kind":"lora","adapters":[]}})");
  auto wrong_layout = merge_model_layers(*blobs_, *dx, v2, 0.5f, 0.7, 0);
  ASSERT_FALSE(wrong_layout);
  EXPECT_EQ(wrong_layout.error().kind, ErrorKind::kIntegrity);
}

TEST_F(ModelMergeTest, OutOfRangePIsHarmlessWithoutSharedPairs) {
  struct {
    const char* name;
    ModelDiff a, b;
  } cases[] = {
      {"disjoint names", full({{"x", {1.0f}}}), full({{"y", {2.0f}}})},
      {"empty side", full({{"x", {1.0f}}}), FullDelta{}},
      {"ttt", InPlaceTttDelta{{TttStep{1, {}}}}, InPlaceTttDelta{{TttStep{1, {}}}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = merge(c.a, c.b, 0.5f, 0.0);
    EXPECT_TRUE(r) << r.error().message;
  }
}

TEST_F(ModelMergeTest, EqualInputsAndSeedGiveTheSameDigest) {
  FullDelta a = full({{"w", ramp(500, -3.0f, 0.013f)}});
  FullDelta b = full({{"w", ramp(500, 2.0f, -0.007f)}});
  auto r1 = merge(a, b, 0.5f, 0.7, 11);
  auto r2 = merge(a, b, 0.5f, 0.7, 11);
  auto r3 = merge(a, b, 0.5f, 0.7, 12);
  ASSERT_TRUE(r1 && r2 && r3);
  EXPECT_EQ(r1->merged_diff, r2->merged_diff);
  EXPECT_NE(r1->merged_diff, r3->merged_diff);
}

}  // namespace
}  // namespace qv
