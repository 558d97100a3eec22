#include "core/manifest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/file_util.h"

namespace qv {
namespace {

Digest d(char c) { return Digest::from_text("sha256:" + std::string(64, c)); }

Manifest sample() {
  Manifest m;
  m.agent = {"coder", "1.0.1", "qv-py"};
  m.model = {d('1'), d('2')};
  m.cache = {"paged-batchinvariant-v1", d('3')};
  m.world = {d('4'), d('5'), d('6')};
  m.effects = {d('7')};
  m.trace = {d('8')};
  m.created_at = {1700000000, 5000000};
  return m;
}

std::string sample_text(std::string_view parents) {
  auto h = [](char c) { return "sha256:" + std::string(64, c); };
  return "{\"schema_version\":1,\"media_type\":\"application/vnd.qivara.image.v1+json\","
         "\"agent\":{\"kind\":\"coder\",\"version\":\"1.0.1\",\"fingerprint\":\"qv-py\"},"
         "\"model\":{\"base\":\"" + h('1') + "\",\"diff\":\"" + h('2') + "\"},"
         "\"cache\":{\"layout\":\"paged-batchinvariant-v1\",\"manifest\":\"" + h('3') + "\"},"
         "\"world\":{\"fs\":\"" + h('4') + "\",\"env\":\"" + h('5') + "\",\"procs\":\"" + h('6') + "\"},"
         "\"effects\":{\"ledger\":\"" + h('7') + "\"},\"trace\":{\"messages\":\"" + h('8') + "\"},"
         "\"created_at\":\"2023-11-14T22:13:20.005Z\"" + std::string(parents) + "}";
}

TEST(ManifestTest, CanonicalTextAndRoundTrip) {
  Manifest m = sample();
  std::string text = encode_manifest(m);
  EXPECT_EQ(text, sample_text(",\"parents\":[]"));
  EXPECT_EQ(encode_manifest(m), text);
  auto back = decode_manifest(text);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(*back, m);

  m.parents = {d('a'), d('b')};
  text = encode_manifest(m);
  EXPECT_NE(text.find("\"parents\":[\"" + d('a').as_str() + "\",\"" + d('b').as_str() + "\"]}"), std::string::npos);
  EXPECT_EQ(*decode_manifest(text), m);
}

TEST(ManifestTest, EscapesAgentKind) {
  Manifest m = sample();
  m.agent.kind = "a\"b\tc\x01\xc3\xa9/\x7f";
  std::string text = encode_manifest(m);
  EXPECT_NE(text.find(R"("kind":"a\"b\tc\u0001)" "\xc3\xa9/\x7f\""), std::string::npos) << text;
  EXPECT_EQ(decode_manifest(text)->agent.kind, m.agent.kind);
}

TEST(ManifestTest, ReadingRules) {
  const std::string base = sample_text(",\"parents\":[]");
  // Without parents; with an unknown key; as an array without parents.
  auto no_parents = decode_manifest(sample_text(""));
  ASSERT_TRUE(no_parents.has_value()) << no_parents.error().message;
  EXPECT_TRUE(no_parents->parents.empty());
  std::string extra = base;
  extra.insert(1, "\"zzz\":{\"deep\":[1,2,{\"x\":null}]},");
  EXPECT_TRUE(decode_manifest(extra).has_value());
  std::string spaced = " \n\t" + base + "\r\n ";
  EXPECT_TRUE(decode_manifest(spaced).has_value());

  Manifest m = sample();
  auto h = [](char c) { return "\"sha256:" + std::string(64, c) + "\""; };
  std::string array_form = "[1,\"mt\",[\"coder\",\"1.0.1\",\"qv-py\"],[" + h('1') + "," + h('2') +
                           "],[\"paged-batchinvariant-v1\"," + h('3') + "],[" + h('4') + "," + h('5') + "," +
                           h('6') + "],[" + h('7') + "],[" + h('8') + "],\"2023-11-14T22:13:20.005Z\"]";
  auto arr = decode_manifest(array_form);
  ASSERT_TRUE(arr.has_value()) << arr.error().message;
  EXPECT_EQ(arr->media_type, "mt");
  EXPECT_EQ(arr->world, m.world);

  auto offset = decode_manifest(sample_text("").replace(sample_text("").find("2023"), 24, "2023-11-15T00:13:20.005+02:00"));
  ASSERT_TRUE(offset.has_value()) << offset.error().message;
  EXPECT_EQ(offset->created_at, m.created_at);

  auto with_version = [&](std::string v) {
    std::string t = base;
    t.replace(t.find(":1,") + 1, 1, v);
    return t;
  };
  EXPECT_EQ(decode_manifest(with_version("7"))->schema_version, 7u);
  EXPECT_EQ(decode_manifest(with_version("4294967295"))->schema_version, 4294967295u);

  std::string no_agent = base;
  size_t a0 = no_agent.find("\"agent\"");
  no_agent.erase(a0, no_agent.find("\"model\"") - a0);
  std::string dup_trace = base;
  dup_trace.insert(dup_trace.size() - 1, ",\"trace\":{\"messages\":\"x\"}");

  struct {
    std::string name;
    std::string text;
    std::string message;  // prefix up to " at line"
  } cases[] = {
      {"missing agent", no_agent, "missing field `agent`"},
      {"duplicate trace", dup_trace, "duplicate field `trace`"},
      {"second value", base + " {}", "trailing characters"},
      {"negative version", with_version("-1"), "invalid value: integer `-1`, expected u32"},
      {"float version", with_version("1.0"), "invalid type: floating point `1.0`, expected u32"},
      {"version too big", with_version("4294967296"), "invalid value: integer `4294967296`, expected u32"},
      {"agent as string", base.substr(0, base.find("{\"kind\"")) + "\"x\"" + base.substr(base.find(",\"model\"")),
       "invalid type: string \"x\", expected struct AgentInfo"},
      {"short array", "[1,\"mt\"]", "invalid length 2, expected struct Manifest with 10 elements"},
      {"short layer array", array_form.substr(0, array_form.find("[\"coder\"")) + "[\"coder\"]]",
       "invalid length 1, expected struct AgentInfo with 3 elements"},
      {"surplus array", array_form.substr(0, array_form.size() - 1) + ",[],7]", "trailing characters"},
      {"bad time", base.substr(0, base.find("2023")) + "yesterday\"" + base.substr(base.find("Z\"") + 2),
       "input contains invalid characters"},
      {"short time", base.substr(0, base.find("2023")) + "2023\"" + base.substr(base.find("Z\"") + 2),
       "premature end of input"},
      {"parents not strings", sample_text(",\"parents\":[1]"), "invalid type: integer `1`, expected a string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_manifest(c.text);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kJson);
    EXPECT_EQ(r.error().message.substr(0, c.message.size()), c.message) << r.error().message;
    EXPECT_NE(r.error().message.find(" at line "), std::string::npos) << r.error().message;
  }

  // A missing field is noticed once the object has been read in full.
  auto missing = decode_manifest(no_agent);
  EXPECT_EQ(missing.error().message, "missing field `agent` at line 1 column " + std::to_string(no_agent.size()));
  auto deep = decode_manifest("{\"x\":" + std::string(200, '[') + std::string(200, ']') + "}");
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error().message.substr(0, 24), "recursion limit exceeded");
}

TEST(ManifestTest, PutWritesBlobAndPlainCopy) {
  auto dir = std::filesystem::temp_directory_path() / ("qv-manifest-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  auto store = QvStore::open(dir);
  ASSERT_TRUE(store.has_value());
  Manifest m = sample();
  auto id = put_manifest(*store, m);
  ASSERT_TRUE(id.has_value()) << id.error().message;
  EXPECT_EQ(*id, compute_digest(encode_manifest(m)));
  auto copy = dir / "images" / (std::string(id->hex()) + ".json");
  EXPECT_EQ(*read_file(copy), encode_manifest(m));
  // No temporary file is left beside the copy.
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir / "images")) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
  std::filesystem::remove(copy);
  EXPECT_EQ(*get_manifest(*store, *id), m);
  EXPECT_EQ(*put_manifest(*store, m), *id);
  EXPECT_TRUE(std::filesystem::exists(copy));

  // A blob that is not a manifest fails as Json; a missing one as Io.
  auto body = store->blobs()->put("hello");
  EXPECT_EQ(get_manifest(*store, *body).error().kind, ErrorKind::kJson);
  EXPECT_EQ(get_manifest(*store, d('c')).error().kind, ErrorKind::kIo);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv
