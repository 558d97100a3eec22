#include "merge/world_merge.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/fs_tree.h"
#include "merge_test_util.h"

namespace qv {
namespace {

using testing::dir_entry;
using testing::file_entry;
using testing::link_entry;
using testing::TestStore;

FsTree load(const TestStore& s, const Digest& d) {
  auto t = load_tree(s.blobs(), d);
  EXPECT_TRUE(t.has_value()) << t.error().message;
  return t ? *t : FsTree{};
}

std::string conflict_text(std::string_view a, std::string_view b) {
  return "<<<<<<< A\n" + std::string(a) + "\n=======\n" + std::string(b) + "\n>>>>>>> B\n";
}

// One path, every row of the decision table. The three sides use different
// modes so that "a copy of a" and "a copy of b" can be told apart; a mode of
// its own never makes a side count as changed.
TEST(WorldMergeTest, DecisionTable) {
  enum class Out { kNothing, kA, kB, kConflictFile };
  struct Case {
    const char* name;
    std::optional<std::string> a, b, x;  // file content, or no entry
    Out out;
    bool conflict;
    bool clean;
  };
  const Case cases[] = {
      {"gone on both sides", std::nullopt, std::nullopt, std::nullopt, Out::kNothing, false, false},
      {"only in X", std::nullopt, std::nullopt, "base", Out::kNothing, false, false},
      {"added in A", "ours", std::nullopt, std::nullopt, Out::kA, false, true},
      {"added in B", std::nullopt, "theirs", std::nullopt, Out::kB, false, true},
      {"B deleted, A unchanged", "base", std::nullopt, "base", Out::kNothing, false, true},
      {"B deleted, A changed", "ours", std::nullopt, "base", Out::kA, true, false},
      {"A deleted, B unchanged", std::nullopt, "base", "base", Out::kNothing, false, true},
      {"A deleted, B changed", std::nullopt, "theirs", "base", Out::kB, true, false},
      {"neither changed", "base", "base", "base", Out::kA, false, true},
      {"only A changed", "ours", "base", "base", Out::kA, false, true},
      {"only B changed", "base", "theirs", "base", Out::kB, false, true},
      {"both changed alike", "same", "same", "base", Out::kA, false, true},
      {"both added alike", "same", "same", std::nullopt, Out::kA, false, true},
      {"both changed differently", "ours", "theirs", "base", Out::kConflictFile, true, false},
      {"both added differently", "ours", "theirs", std::nullopt, Out::kConflictFile, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStore s;
    std::vector<FsTreeEntry> ta, tb, tx;
    if (c.a) ta.push_back(file_entry(s, "f", *c.a, "0600"));
    if (c.b) tb.push_back(file_entry(s, "f", *c.b, "0640"));
    if (c.x) tx.push_back(file_entry(s, "f", *c.x, "0644"));
    const Digest empty = compute_digest("");

    auto r = merge_world(s.blobs(), s.put_tree(ta), s.put_tree(tb), s.put_tree(tx));
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->clean_paths, c.clean ? 1u : 0u);
    const FsTree merged = load(s, r->tree);

    switch (c.out) {
      case Out::kNothing: EXPECT_TRUE(merged.entries.empty()); break;
      case Out::kA: EXPECT_EQ(merged.entries, ta); break;
      case Out::kB: EXPECT_EQ(merged.entries, tb); break;
      case Out::kConflictFile: {
        ASSERT_EQ(merged.entries.size(), 1u);
        const FsTreeEntry& e = merged.entries[0];
        const std::string content = conflict_text(*c.a, *c.b);
        EXPECT_EQ(e.path, "f");
        EXPECT_EQ(e.mode, "0600");
        EXPECT_EQ(e.kind, FsEntryKind::kFile);
        EXPECT_EQ(e.blob, compute_digest(content));
        EXPECT_EQ(e.size, content.size());
        EXPECT_FALSE(e.link_target.has_value());
        EXPECT_EQ(s.get(*e.blob), content);
        break;
      }
    }

    ASSERT_EQ(r->conflicts.size(), c.conflict ? 1u : 0u);
    if (c.conflict) {
      const WorldConflict& w = r->conflicts[0];
      EXPECT_EQ(w.path, "f");
      EXPECT_EQ(w.a_digest, c.a ? *ta[0].blob : empty);
      EXPECT_EQ(w.b_digest, c.b ? *tb[0].blob : empty);
      EXPECT_EQ(w.x_digest, c.x ? tx[0].blob : std::nullopt);
    }
  }
}

TEST(WorldMergeTest, ExampleConflictBlob) {
  TestStore s;
  auto r = merge_world(s.blobs(), s.put_tree({file_entry(s, "notes.txt", "one\n")}),
                       s.put_tree({file_entry(s, "notes.txt", "two\n")}), s.put_tree({}));
  ASSERT_TRUE(r.has_value()) << r.error().message;
  const FsTree merged = load(s, r->tree);
  ASSERT_EQ(merged.entries.size(), 1u);
  EXPECT_EQ(merged.entries[0].size, 38u);
  EXPECT_EQ(s.get(*merged.entries[0].blob), "<<<<<<< A\none\n\n=======\ntwo\n\n>>>>>>> B\n");
}

TEST(WorldMergeTest, ConflictSideTexts) {
  struct Case {
    const char* name;
    FsTreeEntry (*a)(const TestStore&);
    FsTreeEntry (*b)(const TestStore&);
    std::string content;
    bool a_has_blob;
  };
  const Case cases[] = {
      {"binary side", [](const TestStore& s) { return file_entry(s, "p", std::string("\xff\xfe\x00x", 4)); },
       [](const TestStore& s) { return file_entry(s, "p", "text"); }, conflict_text("<binary: 4 bytes>", "text"),
       true},
      {"empty blob is empty text", [](const TestStore& s) { return file_entry(s, "p", ""); },
       [](const TestStore& s) { return file_entry(s, "p", "text"); }, conflict_text("", "text"), true},
      {"directory against file", [](const TestStore&) { return dir_entry("p"); },
       [](const TestStore& s) { return file_entry(s, "p", "text"); }, conflict_text("", "text"), false},
      {"file entry without a blob",
       [](const TestStore&) {
         FsTreeEntry e = dir_entry("p", "0600");
         e.kind = FsEntryKind::kFile;
         return e;
       },
       [](const TestStore& s) { return file_entry(s, "p", "text"); }, conflict_text("", "text"), false},
      {"link targets", [](const TestStore& s) { return link_entry(s, "p", "../ours"); },
       [](const TestStore& s) { return link_entry(s, "p", "../theirs"); }, conflict_text("../ours", "../theirs"),
       true},
      {"text ending in a newline keeps the empty line", [](const TestStore& s) { return file_entry(s, "p", "a\n\n"); },
       [](const TestStore& s) { return file_entry(s, "p", "b"); }, conflict_text("a\n\n", "b"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStore s;
    FsTreeEntry a = c.a(s), b = c.b(s);
    auto r = merge_world(s.blobs(), s.put_tree({a}), s.put_tree({b}), s.put_tree({}));
    ASSERT_TRUE(r.has_value()) << r.error().message;
    const FsTree merged = load(s, r->tree);
    ASSERT_EQ(merged.entries.size(), 1u);
    const FsTreeEntry& e = merged.entries[0];
    EXPECT_EQ(e.kind, FsEntryKind::kFile);
    EXPECT_EQ(e.mode, a.mode);
    EXPECT_FALSE(e.link_target.has_value());
    EXPECT_EQ(e.size, c.content.size());
    EXPECT_EQ(s.get(*e.blob), c.content);
    ASSERT_EQ(r->conflicts.size(), 1u);
    EXPECT_EQ(r->conflicts[0].a_digest, c.a_has_blob ? *a.blob : compute_digest(""));
    EXPECT_EQ(r->conflicts[0].b_digest, *b.blob);
    EXPECT_FALSE(r->conflicts[0].x_digest.has_value());
  }
}

TEST(WorldMergeTest, PathsInByteOrder) {
  TestStore s;
  // Capture lists a directory's contents right after it; the merge uses plain
  // byte order, so "a-b" (hyphen 0x2D) comes before "a/x" (slash 0x2F).
  std::vector<FsTreeEntry> x = {dir_entry("a"), file_entry(s, "a/x", "1"), file_entry(s, "a-b", "2"),
                                file_entry(s, "b", "3")};
  std::vector<FsTreeEntry> a = {dir_entry("a"), file_entry(s, "a/x", "1a"), file_entry(s, "a-b", "2a"),
                                file_entry(s, "b", "3")};
  std::vector<FsTreeEntry> b = {dir_entry("a"), file_entry(s, "a/x", "1b"), file_entry(s, "a-b", "2b"),
                                file_entry(s, "b", "3"), file_entry(s, "A", "new")};
  auto r = merge_world(s.blobs(), s.put_tree(a), s.put_tree(b), s.put_tree(x));
  ASSERT_TRUE(r.has_value()) << r.error().message;
  std::vector<std::string> paths, conflicts;
  for (const auto& e : load(s, r->tree).entries) paths.push_back(e.path);
  for (const auto& c : r->conflicts) conflicts.push_back(c.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"A", "a", "a-b", "a/x", "b"}));
  EXPECT_EQ(conflicts, (std::vector<std::string>{"a-b", "a/x"}));
  EXPECT_EQ(r->clean_paths, 3u);
}

TEST(WorldMergeTest, IdenticalTreesMergeToSortedCopy) {
  TestStore s;
  std::vector<FsTreeEntry> t = {dir_entry("src"), file_entry(s, "src/main.c", "int main;"),
                                file_entry(s, "src-old", "x"), link_entry(s, "latest", "src")};
  const Digest d = s.put_tree(t);
  auto r = merge_world(s.blobs(), d, d, d);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_TRUE(r->conflicts.empty());
  EXPECT_EQ(r->clean_paths, 4u);
  std::vector<FsTreeEntry> sorted = {t[3], t[0], t[2], t[1]};
  EXPECT_EQ(load(s, r->tree).entries, sorted);
}

TEST(WorldMergeTest, RepeatedPathUsesLaterEntry) {
  TestStore s;
  const FsTreeEntry base = file_entry(s, "f", "base");
  const FsTreeEntry changed = file_entry(s, "f", "changed");
  // A lists f twice: first unchanged, then changed. Only the later one counts,
  // so A's change wins against an untouched B.
  auto r = merge_world(s.blobs(), s.put_tree({base, changed}), s.put_tree({base}), s.put_tree({changed, base}));
  ASSERT_TRUE(r.has_value()) << r.error().message;
  // X's later entry is `base`, so A changed f and B did not.
  EXPECT_EQ(load(s, r->tree).entries, std::vector<FsTreeEntry>{changed});
  EXPECT_TRUE(r->conflicts.empty());
}

TEST(WorldMergeTest, CleanPathsNeverReadBlobs) {
  TestStore s;
  // Digests of content that was never stored: a read of any of them would fail.
  auto phantom = [](std::string path, std::string_view tag) {
    FsTreeEntry e = dir_entry(std::move(path), "0644");
    e.kind = FsEntryKind::kFile;
    e.blob = compute_digest(tag);
    return e;
  };
  std::vector<FsTreeEntry> x = {phantom("keep", "k"), phantom("ours", "o0"), phantom("theirs", "t0"),
                                phantom("gone", "g")};
  std::vector<FsTreeEntry> a = {phantom("keep", "k"), phantom("ours", "o1"), phantom("theirs", "t0"),
                                phantom("added", "n")};
  std::vector<FsTreeEntry> b = {phantom("keep", "k"), phantom("ours", "o0"), phantom("theirs", "t1")};
  auto r = merge_world(s.blobs(), s.put_tree(a), s.put_tree(b), s.put_tree(x));
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(r->clean_paths, 4u);
  EXPECT_TRUE(r->conflicts.empty());

  // A conflict does read both sides: a missing blob there fails the merge.
  auto bad = merge_world(s.blobs(), s.put_tree({phantom("f", "1")}), s.put_tree({phantom("f", "2")}),
                         s.put_tree({}));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind, ErrorKind::kIo);
}

TEST(WorldMergeTest, TreeLoadFailures) {
  TestStore s;
  const Digest good = s.put_tree({});
  const Digest v2 = s.put_tree({}, "fs.tree.v2");
  const Digest unkind = s.put_tree({}, "");
  const Digest missing = compute_digest("no such tree");
  const Digest garbage = s.put("{\"kind\":\"fs.tree.v1\"}");
  struct {
    const char* name;
    Digest a, b, x;
    ErrorKind kind;
    std::string message;  // empty: only the kind is checked
  } cases[] = {
      {"wrong kind in X", good, good, v2, ErrorKind::kIntegrity, "expected fs.tree.v1, got fs.tree.v2"},
      {"empty kind in B", good, unkind, good, ErrorKind::kIntegrity, "expected fs.tree.v1, got "},
      {"A is loaded first", missing, v2, v2, ErrorKind::kIo, ""},
      {"B before X", good, v2, missing, ErrorKind::kIntegrity, "expected fs.tree.v1, got fs.tree.v2"},
      {"undecodable tree", good, good, garbage, ErrorKind::kJson, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = merge_world(s.blobs(), c.a, c.b, c.x);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
  }
}

}  // namespace
}  // namespace qv
