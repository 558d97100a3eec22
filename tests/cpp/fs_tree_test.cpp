#include "core/fs_tree.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>

namespace qv {
namespace {

const std::string kHexA(64, 'a');
const std::string kBlobA = "sha256:" + kHexA;

FsTreeEntry file_entry(std::string path, std::string mode, uint64_t size, std::string blob) {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = std::move(mode);
  e.size = size;
  e.kind = FsEntryKind::kFile;
  e.blob = Digest::from_text(std::move(blob));
  return e;
}

FsTreeEntry dir_entry(std::string path, std::string mode) {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = std::move(mode);
  e.kind = FsEntryKind::kDir;
  return e;
}

FsTreeEntry link_entry(std::string path, std::string target, std::string blob) {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = "0777";
  e.size = target.size();
  e.kind = FsEntryKind::kSymlink;
  e.blob = Digest::from_text(std::move(blob));
  e.link_target = std::move(target);
  return e;
}

// Reader messages end with a position; the position itself belongs to the reader.
void expect_json_error(const Result<FsTree>& r, const std::string& prefix) {
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kJson);
  const std::string& m = r.error().message;
  EXPECT_EQ(m.substr(0, prefix.size()), prefix) << m;
  EXPECT_TRUE(std::regex_search(m, std::regex(" at line [0-9]+ column [0-9]+$"))) << m;
}

TEST(FsTreeTest, EncodesExactBytes) {
  FsTree tree;
  tree.entries = {dir_entry("d", "0755"), file_entry("d/f", "0644", 3, kBlobA), link_entry("l", "d/f", kBlobA)};
  EXPECT_EQ(encode_tree(tree),
            "{\"kind\":\"fs.tree.v1\",\"entries\":["
            "{\"path\":\"d\",\"mode\":\"0755\",\"size\":0,\"kind\":\"dir\"},"
            "{\"path\":\"d/f\",\"mode\":\"0644\",\"size\":3,\"kind\":\"file\",\"blob\":\"" +
                kBlobA +
                "\"},"
                "{\"path\":\"l\",\"mode\":\"0777\",\"size\":3,\"kind\":\"symlink\",\"blob\":\"" +
                kBlobA + "\",\"link_target\":\"d/f\"}]}");
  EXPECT_EQ(encode_tree(FsTree{}), "{\"kind\":\"fs.tree.v1\",\"entries\":[]}");

  FsTreeEntry big = file_entry("big", "4755", UINT64_MAX, kBlobA);
  FsTree one;
  one.entries = {big};
  EXPECT_NE(encode_tree(one).find("\"size\":18446744073709551615,"), std::string::npos);
}

TEST(FsTreeTest, StringsUseMinimalEscapingAndRoundTrip) {
  struct {
    std::string path;
    std::string json;
  } cases[] = {
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"tab\there", "tab\\there"},
      {"nl\ncr\rff\fbs\b", "nl\\ncr\\rff\\fbs\\b"},
      {std::string("c\x01\x1f", 3), "c\\u0001\\u001f"},
      {"caf\xC3\xA9/\xE2\x82\xAC", "caf\xC3\xA9/\xE2\x82\xAC"},
      {"sl/ash", "sl/ash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    FsTree tree;
    tree.entries = {file_entry(c.path, "0644", 0, kBlobA)};
    tree.entries.push_back(link_entry("l", c.path, kBlobA));
    std::string bytes = encode_tree(tree);
    EXPECT_NE(bytes.find("\"path\":\"" + c.json + "\""), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("\"link_target\":\"" + c.json + "\""), std::string::npos) << bytes;
    auto back = decode_tree(bytes);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, tree);
    EXPECT_EQ(encode_tree(*back), bytes);
  }
}

TEST(FsTreeTest, DecodesAcceptedForms) {
  const std::string file_obj = "{\"path\":\"f\",\"mode\":\"0644\",\"size\":3,\"kind\":\"file\",\"blob\":\"" + kBlobA + "\"}";
  struct {
    const char* name;
    std::string doc;
    FsTree expected;
  } cases[] = {
      {"empty", "{\"kind\":\"fs.tree.v1\",\"entries\":[]}", FsTree{}},
      {"keys in any order, white space",
       " \n{ \"entries\" : [ " + file_obj + " ] ,\t\"kind\" : \"fs.tree.v1\" }\r\n",
       FsTree{"fs.tree.v1", {file_entry("f", "0644", 3, kBlobA)}}},
      {"unknown keys skipped",
       "{\"x\":{\"y\":[1,null,{\"z\":true}]},\"kind\":\"fs.tree.v1\",\"entries\":[{\"extra\":[1.5],"
       "\"path\":\"d\",\"mode\":\"0700\",\"size\":0,\"kind\":\"dir\"}],\"kind2\":1}",
       FsTree{"fs.tree.v1", {dir_entry("d", "0700")}}},
      {"nulls are absent",
       "{\"kind\":\"fs.tree.v1\",\"entries\":[{\"path\":\"f\",\"mode\":\"0644\",\"size\":0,\"kind\":\"file\","
       "\"blob\":null,\"link_target\":null}]}",
       FsTree{"fs.tree.v1", {[] {
                FsTreeEntry e = file_entry("f", "0644", 0, "");
                e.blob.reset();
                return e;
              }()}}},
      {"largest size",
       "{\"kind\":\"fs.tree.v1\",\"entries\":[{\"path\":\"f\",\"mode\":\"0644\",\"size\":18446744073709551615,"
       "\"kind\":\"file\",\"blob\":\"" +
           kBlobA + "\"}]}",
       FsTree{"fs.tree.v1", {file_entry("f", "0644", UINT64_MAX, kBlobA)}}},
      {"array forms",
       "[\"fs.tree.v1\",[[\"f\",\"0644\",3,\"file\",\"" + kBlobA + "\",null],[\"l\",\"0777\",3,\"symlink\",\"" +
           kBlobA + "\",\"d/f\"]]]",
       FsTree{"fs.tree.v1", {file_entry("f", "0644", 3, kBlobA), link_entry("l", "d/f", kBlobA)}}},
      {"other kind text is not checked", "{\"kind\":\"fs.tree.v9\",\"entries\":[]}", FsTree{"fs.tree.v9", {}}},
      {"nothing else verified",
       "{\"kind\":\"\",\"entries\":[{\"path\":\"\",\"mode\":\"rwx\",\"size\":7,\"kind\":\"symlink\",\"blob\":\"nope\"}]}",
       FsTree{"", {[] {
                FsTreeEntry e;
                e.mode = "rwx";
                e.size = 7;
                e.kind = FsEntryKind::kSymlink;
                e.blob = Digest::from_text("nope");
                return e;
              }()}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_tree(c.doc);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(*r, c.expected);
  }
}

TEST(FsTreeTest, DecodeErrors) {
  auto entry_doc = [](const std::string& entry) { return "{\"kind\":\"fs.tree.v1\",\"entries\":[" + entry + "]}"; };
  const std::string b = "\"blob\":\"" + kBlobA + "\"";
  struct {
    std::string doc;
    std::string message;  // without the position
  } cases[] = {
      {"{\"kind\":\"fs.tree.v1\"}", "missing field `entries`"},
      {"{\"entries\":[]}", "missing field `kind`"},
      {"{\"kind\":\"a\",\"kind\":\"b\",\"entries\":[]}", "duplicate field `kind`"},
      {"{\"kind\":\"a\",\"entries\":[],\"entries\":[]}", "duplicate field `entries`"},
      {"{\"kind\":\"fs.tree.v1\",\"entries\":{}}", "invalid type: map, expected a sequence"},
      {"{\"kind\":1,\"entries\":[]}", "invalid type: integer `1`, expected a string"},
      {"\"x\"", "invalid type: string \"x\", expected struct FsTree"},
      {"[\"fs.tree.v1\"]", "invalid length 1, expected struct FsTree with 2 elements"},
      {"[]", "invalid length 0, expected struct FsTree with 2 elements"},
      {"[\"fs.tree.v1\",[],1]", "trailing characters"},
      {entry_doc("{\"mode\":\"0644\",\"size\":1,\"kind\":\"file\"}"), "missing field `path`"},
      {entry_doc("{\"path\":\"f\",\"size\":1,\"kind\":\"file\"}"), "missing field `mode`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"kind\":\"file\"}"), "missing field `size`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1}"), "missing field `kind`"},
      {entry_doc("{\"path\":\"f\",\"path\":\"g\",\"mode\":\"0644\",\"size\":1,\"kind\":\"file\"}"),
       "duplicate field `path`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"file\",\"blob\":null," + b + "}"),
       "duplicate field `blob`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"file\",\"link_target\":\"a\","
                 "\"link_target\":\"b\"}"),
       "duplicate field `link_target`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":-1,\"kind\":\"file\"}"),
       "invalid value: integer `-1`, expected u64"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1.5,\"kind\":\"file\"}"),
       "invalid type: floating point `1.5`, expected u64"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1e3,\"kind\":\"file\"}"), "invalid type: floating point"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":18446744073709551616,\"kind\":\"file\"}"), "invalid "},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":\"1\",\"kind\":\"file\"}"),
       "invalid type: string \"1\", expected u64"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"File\"}"),
       "unknown variant `File`, expected one of `file`, `dir`, `symlink`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"\"}"),
       "unknown variant ``, expected one of `file`, `dir`, `symlink`"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":5}"), "invalid type: integer `5`, expected "},
      {entry_doc("{\"path\":7,\"mode\":\"0644\",\"size\":1,\"kind\":\"file\"}"),
       "invalid type: integer `7`, expected a string"},
      {entry_doc("{\"path\":\"f\",\"mode\":null,\"size\":1,\"kind\":\"file\"}"), "invalid type: null, expected a string"},
      {entry_doc("{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"file\",\"blob\":1}"),
       "invalid type: integer `1`, expected a string"},
      {entry_doc("[\"f\",\"0644\",1,\"file\",null]"), "invalid length 5, expected struct FsTreeEntry with 6 elements"},
      {entry_doc("[\"f\",\"0644\",1,\"file\",null,null,null]"), "trailing characters"},
      {entry_doc("1"), "invalid type: integer `1`, expected struct FsTreeEntry"},
      {"{\"kind\":\"fs.tree.v1\",\"entries\":[]}{\"kind\":\"fs.tree.v1\",\"entries\":[]}", "trailing characters"},
      {"{\"kind\":\"fs.tree.v1\",\"entries\":[]} x", "trailing characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.doc);
    expect_json_error(decode_tree(c.doc), c.message);
  }
}

TEST(FsTreeTest, ErrorsPointAtWhereReadingStopped) {
  auto r = decode_tree("{\"kind\":\"fs.tree.v1\"}");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "missing field `entries` at line 1 column 21");
  r = decode_tree("{\"kind\":\"fs.tree.v1\",\n\"entries\":[{\"path\":\"f\",\"mode\":\"0644\",\"size\":1,\"kind\":\"File\"}]}");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "unknown variant `File`, expected one of `file`, `dir`, `symlink` at line 2 column 59");
}

TEST(FsTreeTest, LargeTreesRoundTrip) {
  FsTree tree;
  for (int i = 0; i < 100000; ++i) {
    std::string p = "dir" + std::to_string(i / 100) + "/file" + std::to_string(i);
    if (i % 7 == 0) {
      tree.entries.push_back(link_entry(p, "../t" + std::to_string(i), kBlobA));
    } else {
      tree.entries.push_back(file_entry(p, "0644", static_cast<uint64_t>(i) * 977, kBlobA));
    }
  }
  std::string bytes = encode_tree(tree);
  auto back = decode_tree(bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(back->entries.size(), tree.entries.size());
  EXPECT_TRUE(*back == tree);
}

class LoadTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-fs-tree-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    store_ = std::make_unique<LocalBlobStore>(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_;
  std::unique_ptr<LocalBlobStore> store_;
};

TEST_F(LoadTreeTest, ChecksKindAndPassesErrorsThrough) {
  FsTree tree;
  tree.entries = {dir_entry("d", "0755")};
  auto d = store_->put(encode_tree(tree));
  ASSERT_TRUE(d.has_value());
  auto loaded = load_tree(*store_, *d);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  EXPECT_EQ(*loaded, tree);

  for (std::string kind : {"fs.tree.v2", "", "FS.TREE.V1"}) {
    SCOPED_TRACE(kind);
    FsTree other;
    other.kind = kind;
    auto od = store_->put(encode_tree(other));
    ASSERT_TRUE(od.has_value());
    auto r = load_tree(*store_, *od);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
    EXPECT_EQ(r.error().message, "expected fs.tree.v1, got " + kind);
  }

  auto not_json = store_->put("not json");
  ASSERT_TRUE(not_json.has_value());
  auto r = load_tree(*store_, *not_json);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kJson);

  r = load_tree(*store_, compute_digest("never stored"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kIo);
}

}  // namespace
}  // namespace qv
