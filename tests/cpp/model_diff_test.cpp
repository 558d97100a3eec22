#include "model/model_diff.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>

namespace qv {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

class TempBlobs {
 public:
  TempBlobs() {
    char tmpl[] = "/tmp/qv_model_diff_test.XXXXXX";
    dir_ = mkdtemp(tmpl);
    store_ = std::make_unique<LocalBlobStore>(dir_);
  }
  ~TempBlobs() { std::filesystem::remove_all(dir_); }
  LocalBlobStore& blobs() { return *store_; }

  Digest put_text(std::string_view text) {
    auto d = store_->put(text);
    EXPECT_TRUE(d);
    return *d;
  }
  std::string text_of(const Digest& d) {
    auto t = store_->get(d);
    EXPECT_TRUE(t);
    return t ? *t : std::string();
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<LocalBlobStore> store_;
};

LoraAdapter adapter(uint32_t layer, std::string matrix, uint32_t rank, uint32_t in, uint32_t out, float fill = 0.5f) {
  return LoraAdapter{layer, std::move(matrix), rank, in, out, FloatVec(size_t{rank} * in, fill),
                     FloatVec(size_t{out} * rank, -fill)};
}

class ModelDiffTest : public testing::Test {
 protected:
  // put_diff, then the stored text.
  std::string written(ModelDiff d) {
    auto digest = put_diff(t_.blobs(), std::move(d));
    EXPECT_TRUE(digest) << digest.error().message;
    return digest ? t_.text_of(*digest) : std::string();
  }
  Result<ModelDiff> read(std::string_view text) { return get_diff(t_.blobs(), t_.put_text(text)); }

  TempBlobs t_;
};

TEST_F(ModelDiffTest, CanonicalText) {
  IA3Delta ia3;
  ia3.scaling["9"]["v"] = {1.0f};
  ia3.scaling["10"]["q_proj"] = {2.0f};
  ia3.scaling["10"]["q"] = {};
  ia3.scaling["empty"];
  FullDelta full;
  full.params["w"] = {1.0f, -0.5f, 0.1f};
  InPlaceTttDelta ttt;
  ttt.steps = {TttStep{7, {{"b", {1.0f}}, {"a", {}}}}, TttStep{2, {}}, TttStep{7, {}}};
  LoraDelta lora;
  lora.adapters = {adapter(2, "v", 1, 1, 1), adapter(10, "q", 0, 0, 0), adapter(1, "q", 1, 1, 1),
                   adapter(9, "q", 0, 0, 0), adapter(1, "k", 1, 2, 1)};
  LoraDelta escaped;
  escaped.adapters = {adapter(0, "a\"\\\b\t\n\f\r\x01\x1f\x7f\xc3\xa9", 0, 0, 0)};
  struct {
    const char* name;
    ModelDiff diff;
    std::string text;
  } cases[] = {
      {"empty lora", LoraDelta{}, R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[]}})"},
      {"empty ia3", IA3Delta{}, R"({"layout":"model.diff.v1","diff":{"kind":"ia3","scaling":{}}})"},
      {"empty full", FullDelta{}, R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{}}})"},
      {"empty ttt", InPlaceTttDelta{}, R"({"layout":"model.diff.v1","diff":{"kind":"in-place-ttt","steps":[]}})"},
      {"full", full, R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{"w":[1.0,-0.5,0.1]}}})"},
      {"ia3 keys in byte order", ia3,
       R"({"layout":"model.diff.v1","diff":{"kind":"ia3","scaling":{"10":{"q":[],"q_proj":[2.0]},"9":{"v":[1.0]},"empty":{}}}})"},
      {"ttt steps stable by id", ttt,
       R"({"layout":"model.diff.v1","diff":{"kind":"in-place-ttt","steps":[{"step_id":2,"deltas":{}},)"
       R"({"step_id":7,"deltas":{"a":[],"b":[1.0]}},{"step_id":7,"deltas":{}}]}})"},
      {"lora by layer number then matrix", lora,
       R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[)"
       R"({"layer_id":1,"matrix":"k","rank":1,"in_dim":2,"out_dim":1,"a":[0.5,0.5],"b":[-0.5]},)"
       R"({"layer_id":1,"matrix":"q","rank":1,"in_dim":1,"out_dim":1,"a":[0.5],"b":[-0.5]},)"
       R"({"layer_id":2,"matrix":"v","rank":1,"in_dim":1,"out_dim":1,"a":[0.5],"b":[-0.5]},)"
       R"({"layer_id":9,"matrix":"q","rank":0,"in_dim":0,"out_dim":0,"a":[],"b":[]},)"
       R"({"layer_id":10,"matrix":"q","rank":0,"in_dim":0,"out_dim":0,"a":[],"b":[]}]}})"},
      {"minimal escaping", escaped,
       "{\"layout\":\"model.diff.v1\",\"diff\":{\"kind\":\"lora\",\"adapters\":[{\"layer_id\":0,\"matrix\":"
       "\"a\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9\",\"rank\":0,\"in_dim\":0,\"out_dim\":0,\"a\":[],"
       "\"b\":[]}]}}"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(written(c.diff), c.text);
    // Reading gives back the canonical diff, and writing it again the same bytes.
    auto back = read(c.text);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(written(*back), c.text);
  }
  EXPECT_EQ(written(LoraDelta{}).size(), 63u);
}

TEST_F(ModelDiffTest, FloatText) {
  struct {
    float value;
    const char* text;
  } cases[] = {
      {1.0f, "1.0"},       {0.5f, "0.5"},           {100.0f, "100.0"}, {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},    {1e-6f, "0.000001"},     {1e-7f, "1e-7"},   {0.1f, "0.1"},
      {-0.0f, "-0.0"},     {0.0f, "0.0"},           {123.25f, "123.25"}, {0.00123f, "0.00123"},
      {1.5e-7f, "1.5e-7"}, {3.4028235e38f, "3.4028235e+38"},
      {1e-45f, "1e-45"},   {-2.5f, "-2.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FullDelta d;
    d.params["x"] = {c.value};
    EXPECT_EQ(written(d), std::string(R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{"x":[)") +
                              c.text + "]}}}");
  }
}

TEST_F(ModelDiffTest, WriteChecksShapesAndFiniteness) {
  auto with = [](std::vector<LoraAdapter> adapters) {
    LoraDelta d;
    d.adapters = std::move(adapters);
    return ModelDiff(std::move(d));
  };
  LoraAdapter both_wrong = adapter(3, "q/k", 4, 3, 2);
  both_wrong.a.resize(11);
  both_wrong.b.resize(9);
  LoraAdapter b_wrong = adapter(1, "v", 4, 3, 2);
  b_wrong.b.resize(7);
  LoraAdapter huge = adapter(0, "h", 0, 0, 0);
  huge.rank = 4294967295u;
  huge.in_dim = 4294967295u;
  FullDelta inf;
  inf.params["ok"] = {1.0f};
  inf.params["w"] = {1.0f, 2.0f, kInf};
  IA3Delta nan;
  nan.scaling["l"]["m"] = {std::nanf("")};
  InPlaceTttDelta ttt_inf;
  ttt_inf.steps = {TttStep{4, {{"p", {-kInf}}}}};
  LoraAdapter lora_inf = adapter(5, "o", 1, 1, 1);
  lora_inf.b[0] = kInf;
  struct {
    const char* name;
    ModelDiff diff;
    std::string message;
  } cases[] = {
      {"a checked before b", with({both_wrong}),
       "LoraAdapter L3/q/k: a.len 11 \u2260 rank\u00b7in_dim 12"},
      {"first failure in canonical order", with({both_wrong, b_wrong}),
       "LoraAdapter L1/v: b.len 7 \u2260 out_dim\u00b7rank 8"},
      {"products in 64 bits", with({huge}), "LoraAdapter L0/h: a.len 0 \u2260 rank\u00b7in_dim 18446744065119617025"},
      {"infinite full", inf, "Full param w: element 2 is inf, which a model diff cannot store"},
      {"nan ia3", nan, "IA3 layer l matrix m: element 0 is NaN, which a model diff cannot store"},
      {"infinite ttt", ttt_inf, "TttStep 4 param p: element 0 is -inf, which a model diff cannot store"},
      {"infinite lora", with({lora_inf}), "LoraAdapter L5/o b: element 0 is inf, which a model diff cannot store"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = *t_.blobs().physical_bytes();
    auto r = put_diff(t_.blobs(), std::move(c.diff));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(*t_.blobs().physical_bytes(), before);  // nothing stored
  }
}

TEST_F(ModelDiffTest, ReadsEveryAcceptedForm) {
  LoraDelta one;
  one.adapters = {LoraAdapter{1, "q", 1, 1, 2, {0.25f}, {1.0f, -2.0f}}};
  FullDelta w;
  w.params["w"] = {1.0f};
  FullDelta rounded;
  rounded.params["x"] = {1.0f, 0.1f, kInf, -kInf, 0.0f, 16777216.0f, 1e-45f};
  FullDelta last_wins;
  last_wins.params["a"] = {2.0f};
  last_wins.params["b"] = {};
  IA3Delta ia3;
  ia3.scaling["l"]["m"] = {3.0f};
  InPlaceTttDelta ttt;
  ttt.steps = {TttStep{5, {}}, TttStep{4294967295u, {{"p", {1.0f}}}}};
  LoraDelta reversed;
  reversed.adapters = {LoraAdapter{2, "v", 0, 0, 0, {}, {}}, LoraAdapter{1, "q", 9, 9, 9, {1.0f}, {}}};
  struct {
    const char* name;
    std::string text;
    ModelDiff expected;
  } cases[] = {
      {"snapshot's sorted keys", R"({"diff":{"adapters":[],"kind":"lora"},"layout":"model.diff.v1"})", LoraDelta{}},
      {"white space", " \t\r\n{ \"layout\" : \"model.diff.v1\" ,\n \"diff\" : { \"kind\" : \"lora\" , "
                      "\"adapters\" : [ ] } }\n\r\t ",
       LoraDelta{}},
      {"kind last, keys shuffled",
       R"({"diff":{"adapters":[{"b":[1,-2],"a":[0.25],"out_dim":2,"in_dim":1,"rank":1,"matrix":"q","layer_id":1}],"kind":"lora"},"layout":"model.diff.v1"})",
       one},
      {"unknown keys skipped",
       R"({"x":{"kind":"full","y":[1,{"z":null}]},"layout":"model.diff.v1","diff":{"extra":"kind","kind":"full","params":{"w":[1]},"more":[[]]},"z":true})",
       w},
      {"envelope as array", R"(["model.diff.v1",{"kind":"full","params":{"w":[1.0]}}])", w},
      {"diff as array", R"({"layout":"model.diff.v1","diff":["full",{"w":[1]}]})", w},
      {"records as arrays", R"({"layout":"model.diff.v1","diff":["lora",[[1,"q",1,1,2,[0.25],[1,-2]]]]})", one},
      {"steps as arrays", R"({"layout":"model.diff.v1","diff":["in-place-ttt",[[5,{}],[4294967295,{"p":[1]}]]]})",
       ttt},
      {"numbers round to float32",
       R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{"x":[1,0.1,1e39,-1e39,-0e5,16777217,1e-45]}}})",
       rounded},
      {"repeated map key, last wins",
       R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{"a":[1,1],"b":[],"a":[2]}}})", last_wins},
      {"repeated layer, last wins",
       R"({"layout":"model.diff.v1","diff":{"kind":"ia3","scaling":{"l":{"n":[1]},"l":{"m":[3]}}}})", ia3},
      {"escaped kind", R"({"layout":"model.diff.v1","diff":{"kind":"f\u0075ll","params":{"w":[1]}}})", w},
      {"no reordering, no shape check",
       R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[{"layer_id":2,"matrix":"v","rank":0,"in_dim":0,"out_dim":0,"a":[],"b":[]},{"layer_id":1,"matrix":"q","rank":9,"in_dim":9,"out_dim":9,"a":[1],"b":[]}]}})",
       reversed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = read(c.text);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->index(), c.expected.index());
    EXPECT_TRUE(*r == c.expected);
  }
  // -0e5 keeps its sign.
  auto r = read(cases[8].text);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::signbit(std::get<FullDelta>(*r).params["x"][4]));
}

// Errors inside the diff are found after the diff has been read in full, so
// they point at its closing bracket; errors of the tag itself and of the
// syntax point where they are.
TEST_F(ModelDiffTest, ReadErrors) {
  const std::string head = R"({"layout":"model.diff.v1","diff":)";
  // Column of the last byte of head + diff: the diff's closing bracket.
  auto end_of = [&](const std::string& diff) { return " at line 1 column " + std::to_string(head.size() + diff.size()); };
  struct {
    const char* name;
    std::string diff;  // appended to head, then "}"
    std::string message;  // empty suffix check only when position is left open
    bool exact = true;
  } cases[] = {
      {"missing payload field", R"({"kind":"lora"})", "missing field `adapters`"},
      {"missing kind", R"({"adapters":[]})", "missing field `kind`"},
      {"wrong payload type", R"({"params":[],"kind":"full"})", "invalid type: sequence, expected a map"},
      {"null float", R"({"kind":"full","params":{"w":[1,null]}})", "invalid type: null, expected f32"},
      {"string float", R"({"kind":"full","params":{"w":["1"]}})", "invalid type: string \"1\", expected f32"},
      {"negative u32", R"({"kind":"in-place-ttt","steps":[{"step_id":-1,"deltas":{}}]})",
       "invalid value: integer `-1`, expected u32"},
      {"u32 overflow", R"({"kind":"in-place-ttt","steps":[{"step_id":4294967296,"deltas":{}}]})",
       "invalid value: integer `4294967296`, expected u32"},
      {"missing record field", R"({"kind":"in-place-ttt","steps":[{"step_id":1}]})", "missing field `deltas`"},
      {"duplicate record field", R"({"kind":"in-place-ttt","steps":[{"step_id":1,"step_id":2,"deltas":{}}]})",
       "duplicate field `step_id`"},
      {"duplicate payload field", R"({"kind":"full","params":{},"params":{}})", "duplicate field `params`"},
      {"short record array", R"(["lora",[[1,"q",1,1,2,[0.25]]]])",
       "invalid length 6, expected struct LoraAdapter with 7 elements"},
      {"long record array", R"(["lora",[[1,"q",1,1,2,[0.25],[1,-2],0]]])",
       "invalid length 8, expected 7 elements in sequence"},
      {"payload missing in array form", R"(["lora"])", "invalid length 0, expected struct LoraDelta with 1 element"},
      {"payload surplus in array form", R"(["full",{},5,6])", "invalid length 3, expected 1 element in sequence"},
      {"matrix not a string", R"({"kind":"lora","adapters":[{"layer_id":1,"matrix":2}]})",
       "invalid type: integer `2`, expected a string"},
      {"list not an array", R"({"kind":"lora","adapters":{}})", "invalid type: map, expected a sequence"},
      {"adapter not a record", R"({"kind":"lora","adapters":[5]})",
       "invalid type: integer `5`, expected struct LoraAdapter"},
      {"unknown kind", R"({"kind":"qlora","adapters":[]})",
       "unknown variant `qlora`, expected one of `lora`, `ia3`, `full`, `in-place-ttt`", false},
      {"kind in capitals", R"({"adapters":[],"kind":"LoRA"})",
       "unknown variant `LoRA`, expected one of `lora`, `ia3`, `full`, `in-place-ttt`", false},
      {"kind not a string", R"({"kind":5})", "invalid type: integer `5`, expected variant identifier", false},
      {"kind not a string in array form", R"([null])", "invalid type: null, expected variant identifier", false},
      {"duplicate kind", R"({"kind":"lora","kind":"lora","adapters":[]})", "duplicate field `kind`", false},
      {"diff of wrong type", R"("lora")", "invalid type: string \"lora\", expected internally tagged enum ModelDiff",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = read(head + c.diff + "}");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kJson);
    if (c.exact) {
      EXPECT_EQ(r.error().message, c.message + end_of(c.diff));
    } else {
      EXPECT_EQ(r.error().message.substr(0, c.message.size() + 9), c.message + " at line ");
    }
  }
}

TEST_F(ModelDiffTest, EnvelopeErrors) {
  struct {
    const char* name;
    std::string text;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {"other layout", R"({"layout":"model.diff.v2","diff":{"kind":"lora","adapters":[]}})", ErrorKind::kIntegrity,
       "expected layout model.diff.v1, got model.diff.v2"},
      {"decode errors come before the layout", R"({"layout":"x","diff":{"kind":"lora"}})", ErrorKind::kJson,
       "missing field `adapters` at line 1 column 36"},
      {"missing layout", R"({"diff":{"kind":"lora","adapters":[]}})", ErrorKind::kJson,
       "missing field `layout` at line 1 column 38"},
      {"trailing characters", R"({"layout":"model.diff.v1","diff":{"kind":"lora","adapters":[]}} x)", ErrorKind::kJson,
       "trailing characters at line 1 column 65"},
      {"envelope surplus", R"(["model.diff.v1",{"kind":"lora","adapters":[]},1])", ErrorKind::kJson,
       "trailing characters at line 1 column "},
      {"short envelope", R"(["model.diff.v1"])", ErrorKind::kJson,
       "invalid length 1, expected struct Envelope with 2 elements at line 1 column 17"},
      {"not a record", "5", ErrorKind::kJson, "invalid type: integer `5`, expected struct Envelope at line 1 column "},
      {"empty", "", ErrorKind::kJson, ""},
      {"truncated", R"({"layout":"model.diff.v1","diff":{"kind":"full","params":{"w":[1,)", ErrorKind::kJson, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = read(c.text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().message.substr(0, c.message.size()), c.message);
    if (c.kind == ErrorKind::kJson) {
      EXPECT_NE(r.error().message.find(" at line "), std::string::npos);
    }
  }
  // A blob that is not stored fails as the blob store does.
  auto missing = get_diff(t_.blobs(), compute_digest("not stored"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, ErrorKind::kIo);
}

TEST_F(ModelDiffTest, SyntaxErrorsWinOverPayloadErrors) {
  // The whole diff is read before its payload is decoded, so a broken value
  // after a bad float is what gets reported, at its own position.
  for (std::string diff : {R"({"kind":"full","params":{"w":[null]},"x":tru})",
                           R"({"params":{"w":[null]},"kind":"full","x":[1,}})"}) {
    SCOPED_TRACE(diff);
    auto r = read(R"({"layout":"model.diff.v1","diff":)" + diff + "}");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::kJson);
    EXPECT_EQ(r.error().message.find("invalid type: null"), std::string::npos) << r.error().message;
  }
}

TEST_F(ModelDiffTest, PositionsCountLines) {
  // The payload is decoded after the scan, but its errors still name the
  // document's own line and column.
  auto r = read("{\"layout\":\"model.diff.v1\",\n\"diff\":{\n\"kind\":\"full\",\n\"params\":{\"w\":[null]}\n}}");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "invalid type: null, expected f32 at line 5 column 1");
}

TEST_F(ModelDiffTest, EntryCountsAndKinds) {
  IA3Delta ia3;
  ia3.scaling["a"];
  ia3.scaling["b"]["m"] = {1.0f};
  InPlaceTttDelta ttt;
  ttt.steps.resize(3);
  FullDelta full;
  full.params["p"];
  struct {
    ModelDiff d;
    std::string_view kind;
    size_t count;
  } cases[] = {{LoraDelta{}, "lora", 0}, {ia3, "ia3", 2}, {full, "full", 1}, {ttt, "in-place-ttt", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(model_diff_kind_text(c.d), c.kind);
    EXPECT_EQ(entry_count(c.d), c.count);
  }
}

TEST_F(ModelDiffTest, EqualDiffsInAnotherOrderShareOneId) {
  LoraDelta x, y;
  x.adapters = {adapter(2, "v", 1, 1, 1, 1.0f), adapter(1, "q", 1, 1, 1, 2.0f), adapter(1, "q", 1, 1, 1, 3.0f)};
  y.adapters = {adapter(1, "q", 1, 1, 1, 2.0f), adapter(2, "v", 1, 1, 1, 1.0f), adapter(1, "q", 1, 1, 1, 3.0f)};
  auto dx = put_diff(t_.blobs(), x);
  auto dy = put_diff(t_.blobs(), y);
  ASSERT_TRUE(dx && dy);
  EXPECT_EQ(*dx, *dy);
  // Duplicates remain, in their relative order.
  auto back = get_diff(t_.blobs(), *dx);
  ASSERT_TRUE(back);
  const auto& adapters = std::get<LoraDelta>(*back).adapters;
  ASSERT_EQ(adapters.size(), 3u);
  EXPECT_EQ(adapters[0].a[0], 2.0f);
  EXPECT_EQ(adapters[1].a[0], 3.0f);
  EXPECT_EQ(adapters[2].matrix, "v");
}

}  // namespace
}  // namespace qv
