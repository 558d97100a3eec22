#include "merge/ancestor.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "merge_test_util.h"

namespace qv {
namespace {

using testing::TestStore;

// A history: images in creation order, each naming its parents by label.
// A label that is never defined is a parent that is not in the store.
struct Image {
  std::string label;
  std::vector<std::string> parents;
};

struct Case {
  const char* name;
  std::vector<Image> history;
  std::string a, b;
  // The ancestor's label, or "!none", "!store", "!octopus {label}".
  std::string outcome;
};

TEST(AncestorTest, SearchOrderAndTieBreaks) {
  const Case cases[] = {
      {"b's only parent is a", {{"a", {}}, {"b", {"a"}}}, "a", "b", "a"},
      {"a's only parent is b", {{"b", {}}, {"a", {"b"}}}, "a", "b", "b"},
      {"siblings of one parent", {{"m", {}}, {"a", {"m"}}, {"b", {"m"}}}, "a", "b", "m"},
      // A queues r first; B tests r before a and finds it in A's visited set.
      {"first listed parent wins (r, a)", {{"r", {}}, {"a", {"r"}}, {"b", {"r", "a"}}}, "a", "b", "r"},
      {"first listed parent wins (a, r)", {{"r", {}}, {"a", {"r"}}, {"b", {"a", "r"}}}, "a", "b", "a"},
      {"two parents against one", {{"p1", {}}, {"p2", {}}, {"a", {"p1", "p2"}}, {"b", {"p2"}}}, "a", "b", "p2"},
      // A runs out after its first visit; B keeps walking alone.
      {"one side runs dry", {{"a", {}}, {"c", {"a"}}, {"b", {"c"}}}, "a", "b", "a"},
      {"two snapshots", {{"a", {}}, {"b", {}}}, "a", "b", "!none"},
      {"disjoint histories", {{"r1", {}}, {"r2", {}}, {"a", {"r1"}}, {"b", {"r2"}}}, "a", "b", "!none"},
      {"octopus start refused before its parents",
       {{"p1", {}}, {"p2", {}}, {"p3", {}}, {"a", {"p1", "p2", "p3"}}, {"b", {"p1"}}},
       "a", "b", "!octopus a"},
      // b lists a, which A has visited, yet the count is checked first.
      {"octopus refused even when a parent matches", {{"p2", {}}, {"p3", {}}, {"a", {}}, {"b", {"a", "p2", "p3"}}},
       "a", "b", "!octopus b"},
      {"octopus on B's walk",
       {{"p1", {}}, {"p2", {}}, {"p3", {}}, {"o", {"p1", "p2", "p3"}}, {"a", {}}, {"b", {"o"}}},
       "a", "b", "!octopus o"},
      // a lists p twice. Queued once, A's third visit is o (refused); queued
      // twice, A would spend that turn on p again and B would find o first.
      {"a parent listed twice is queued once",
       {{"x1", {}}, {"x2", {}}, {"x3", {}}, {"o", {"x1", "x2", "x3"}}, {"p", {"o"}}, {"a", {"p", "p"}},
        {"d", {"o"}}, {"c", {"d"}}, {"b", {"c"}}},
       "a", "b", "!octopus o"},
      {"a not stored", {{"b", {}}}, "a", "b", "!store"},
      {"b not stored", {{"a", {}}}, "a", "b", "!store"},
      {"missing parent on the walk", {{"a", {"gone"}}, {"b", {}}}, "a", "b", "!store"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStore s;
    std::map<std::string, Digest> ids;
    auto id_of = [&](const std::string& label) {
      auto it = ids.find(label);
      // Undefined labels stand for well-formed ids that nothing is stored under.
      return it != ids.end() ? it->second : compute_digest("not stored: " + label);
    };
    for (const Image& img : c.history) {
      std::vector<Digest> parents;
      for (const auto& p : img.parents) parents.push_back(id_of(p));
      ids[img.label] = testing::put_image(s, img.label, parents);
    }
    const Digest a = id_of(c.a), b = id_of(c.b);
    auto r = find_common_ancestor(s.store(), a, b);
    if (c.outcome[0] != '!') {
      ASSERT_TRUE(r.has_value()) << r.error().text();
      EXPECT_EQ(*r, ids.at(c.outcome));
    } else if (c.outcome == "!none") {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, AncestorError::Kind::kNoCommonAncestor);
      EXPECT_EQ(r.error().text(), "no common ancestor between " + a.as_str() + " and " + b.as_str());
    } else if (c.outcome == "!store") {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, AncestorError::Kind::kStore);
      EXPECT_EQ(r.error().store.kind, ErrorKind::kIo);
      EXPECT_EQ(r.error().text(), "store: io: " + r.error().store.message);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, AncestorError::Kind::kMultiParent);
      const std::string at = c.outcome.substr(std::string_view("!octopus ").size());
      EXPECT_EQ(r.error().text(),
                "multi-parent (octopus) ancestor at " + ids.at(at).as_str() + "; v1 merge supports at most 2 parents");
    }
  }
}

TEST(AncestorTest, SameIdNeedsNoStore) {
  TestStore s;
  // Neither stored nor even well-formed: equal ids are answered without a read.
  const Digest a = Digest::from_text("sha256:not-an-image");
  auto r = find_common_ancestor(s.store(), a, a);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, a);
}

TEST(AncestorTest, StoreErrorEmbedsCoreErrorText) {
  TestStore s;
  const Digest b = testing::put_image(s, "b");
  // Not a well-formed id, so the blob store refuses it before touching a file.
  const Digest a = Digest::from_text("sha256:../../etc/passwd");
  auto r = find_common_ancestor(s.store(), a, b);
  ASSERT_FALSE(r.has_value());
  ASSERT_EQ(r.error().kind, AncestorError::Kind::kStore);
  EXPECT_EQ(r.error().text(), "store: " + r.error().store.embedded());
}

}  // namespace
}  // namespace qv
