#include "fs/restore.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "core/fs_tree.h"
#include "fs/capture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Everything below dir: relative path -> "d", "f:{content}" or "l:{target}".
std::map<std::string, std::string> listing(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dir, ec))) return out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), dir).string();
    if (it->is_symlink()) {
      out[rel] = "l:" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      out[rel] = "d";
    } else {
      out[rel] = "f:" + read_text(it->path());
    }
  }
  return out;
}

std::vector<std::string> leftovers(const fs::path& parent) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(parent, ec)) {
    std::string name = e.path().filename().string();
    if (name.starts_with(".qv-restore.")) out.push_back(name);
  }
  return out;
}

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(022);
    char tmpl[] = "/tmp/qv-restore-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    store_ = std::make_unique<LocalBlobStore>(base_ / "store");
  }
  void TearDown() override {
    ::umask(old_umask_);
    fs::remove_all(base_);
  }

  FsTreeEntry file(std::string path, const std::string& content) {
    FsTreeEntry e;
    e.path = std::move(path);
    e.mode = "0644";
    e.size = content.size();
    e.kind = FsEntryKind::kFile;
    e.blob = store_->put(content).value();
    return e;
  }
  static FsTreeEntry dir(std::string path, std::string mode = "0755") {
    FsTreeEntry e;
    e.path = std::move(path);
    e.mode = std::move(mode);
    e.kind = FsEntryKind::kDir;
    return e;
  }
  static FsTreeEntry link(std::string path, std::string target) {
    FsTreeEntry e;
    e.path = std::move(path);
    e.mode = "0777";
    e.size = target.size();
    e.kind = FsEntryKind::kSymlink;
    e.blob = compute_digest(target);
    e.link_target = std::move(target);
    return e;
  }
  Digest put_tree(std::vector<FsTreeEntry> entries) {
    FsTree t;
    t.entries = std::move(entries);
    return store_->put(encode_tree(t)).value();
  }

  mode_t old_umask_ = 0;
  fs::path base_;
  std::unique_ptr<LocalBlobStore> store_;
};

TEST_F(RestoreTest, RebuildsACapturedTree) {
  fs::path src = base_ / "src";
  fs::create_directories(src / "a" / "b");
  fs::create_directories(src / "empty");
  std::ofstream(src / "a" / "b" / "f") << "deep";
  std::ofstream(src / "top") << "top";
  std::ofstream(src / "zero") << "";
  fs::create_symlink("../x", src / "a" / "rel");
  fs::create_symlink("/nowhere/at/all", src / "abs");
  auto tree = capture_tree(*store_, [&] {
    CaptureOptions o;
    o.root = src;
    return o;
  }());
  ASSERT_TRUE(tree.has_value()) << tree.error().message;

  fs::path target = base_ / "new" / "parents" / "out";
  auto r = restore_tree(*store_, *tree, target);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(listing(target), listing(src));
  EXPECT_EQ(fs::read_symlink(target / "a" / "rel"), "../x");
  EXPECT_TRUE(leftovers(target.parent_path()).empty());
}

TEST_F(RestoreTest, ModesAreNotRestored) {
  FsTreeEntry exec = file("run", "#!");
  exec.mode = "0755";
  auto t = put_tree({dir("private", "0700"), exec});
  fs::path target = base_ / "out";
  ASSERT_TRUE(restore_tree(*store_, t, target).has_value());
  struct stat st;
  ASSERT_EQ(::stat((target / "run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::stat((target / "private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(RestoreTest, EdgeShapes) {
  struct {
    const char* name;
    std::vector<FsTreeEntry> entries;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {"no entries", {}, {}},
      {"file without its dir entry", {file("x/y/z", "1")}, {{"x", "d"}, {"x/y", "d"}, {"x/y/z", "f:1"}}},
      {"empty dir", {dir("e")}, {{"e", "d"}}},
      {"dangling relative link", {link("l", "../x")}, {{"l", "l:../x"}}},
      {"a path listed twice: the later file wins", {file("f", "first"), file("f", "second")}, {{"f", "f:second"}}},
      {"dirs are made before files, whatever the order", {file("d/f", "1"), dir("d"), dir("d/e")},
       {{"d", "d"}, {"d/e", "d"}, {"d/f", "f:1"}}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path target = base_ / ("t" + std::to_string(n++));
    auto r = restore_tree(*store_, put_tree(c.entries), target);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(listing(target), c.expected);
  }
}

TEST_F(RestoreTest, RelativeTargets) {
  fs::path old = fs::current_path();
  fs::current_path(base_);
  auto t = put_tree({file("f", "1")});
  for (std::string target : {"plain", "trailing/", "sub/dir"}) {
    SCOPED_TRACE(target);
    auto r = restore_tree(*store_, t, target);
    EXPECT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(read_text(base_ / target / "f"), "1");
  }
  EXPECT_TRUE(leftovers(base_).empty());
  fs::current_path(old);
}

TEST_F(RestoreTest, RefusesAnExistingTargetBeforeAnythingElse) {
  fs::path existing_dir = base_ / "dir";
  fs::create_directories(existing_dir);
  fs::path existing_file = base_ / "file";
  std::ofstream(existing_file) << "x";
  fs::path link_to_dir = base_ / "link";
  fs::create_directory_symlink(existing_dir, link_to_dir);
  auto before = listing(base_);
  Digest missing = compute_digest("no such tree");
  for (const fs::path& target : {existing_dir, existing_file, link_to_dir}) {
    SCOPED_TRACE(target);
    auto r = restore_tree(*store_, missing, target);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kIo);
    EXPECT_EQ(r.error().message, "restore_tree refuses to overwrite existing path " + target.string());
  }
  EXPECT_EQ(listing(base_), before);
}

TEST_F(RestoreTest, DanglingLinkTargetFailsAtTheRename) {
  fs::path target = base_ / "dangling";
  fs::create_symlink("missing", target);
  auto r = restore_tree(*store_, put_tree({file("f", "1")}), target);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kIo);
  EXPECT_EQ(fs::read_symlink(target), "missing");
  auto left = leftovers(base_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(std::regex_match(left[0], std::regex("\\.qv-restore\\." + std::to_string(::getpid()) + "\\.[0-9]+")))
      << left[0];
  EXPECT_EQ(read_text(base_ / left[0] / "f"), "1");
}

TEST_F(RestoreTest, TreeLoadFailuresChangeNothing) {
  FsTree other;
  other.kind = "fs.tree.v2";
  struct {
    const char* name;
    Digest tree;
    ErrorKind kind;
    std::string message;  // empty: not checked
  } cases[] = {
      {"missing tree blob", compute_digest("absent"), ErrorKind::kIo, ""},
      {"not a tree", store_->put("[1,2").value(), ErrorKind::kJson, ""},
      {"other kind", store_->put(encode_tree(other)).value(), ErrorKind::kIntegrity,
       "expected fs.tree.v1, got fs.tree.v2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path target = base_ / "parent" / "out";
    auto r = restore_tree(*store_, c.tree, target);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    EXPECT_FALSE(fs::exists(base_ / "parent"));
  }
}

TEST_F(RestoreTest, EntryFailuresComeInListOrderAndLeaveTheTemporaryDir) {
  FsTreeEntry no_blob = file("b", "unused");
  no_blob.blob.reset();
  FsTreeEntry no_target = link("l", "t");
  no_target.link_target.reset();
  FsTreeEntry absent = file("m", "x");
  absent.blob = compute_digest("never stored");
  struct {
    const char* name;
    std::vector<FsTreeEntry> entries;
    ErrorKind kind;
    std::string message;  // empty: not checked
    std::map<std::string, std::string> written;
  } cases[] = {
      {"file without blob",
       {dir("d"), file("a", "1"), no_blob, file("c", "3")},
       ErrorKind::kIntegrity,
       "file entry b missing blob",
       {{"d", "d"}, {"a", "f:1"}}},
      {"link without target", {file("a", "1"), no_target, file("c", "3")}, ErrorKind::kIntegrity,
       "symlink entry l missing link_target", {{"a", "f:1"}}},
      {"missing blob after a missing-blob field: the earlier entry is reported",
       {file("a", "1"), no_blob, absent},
       ErrorKind::kIntegrity,
       "file entry b missing blob",
       {{"a", "f:1"}}},
      {"blob missing from the store", {file("a", "1"), absent, file("z", "3")}, ErrorKind::kIo, "",
       {{"a", "f:1"}}},
      {"file over a dir", {dir("x"), file("x", "1")}, ErrorKind::kIo, "Is a directory (os error 21)", {{"x", "d"}}},
      {"link over a dir", {dir("x"), link("x", "t")}, ErrorKind::kIo, "File exists (os error 17)", {{"x", "d"}}},
      {"dir below a file", {file("f", "1"), file("f/g", "2")}, ErrorKind::kIo, "File exists (os error 17)",
       {{"f", "f:1"}}},
      {"dir two below a file", {file("f", "1"), file("f/g/h", "2")}, ErrorKind::kIo,
       "Not a directory (os error 20)", {{"f", "f:1"}}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path parent = base_ / ("p" + std::to_string(n++));
    fs::path target = parent / "out";
    auto r = restore_tree(*store_, put_tree(c.entries), target);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind) << r.error().message;
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    auto left = leftovers(parent);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(listing(parent / left[0]), c.written);
  }
}

TEST_F(RestoreTest, ManyFilesArriveInOrder) {
  std::vector<FsTreeEntry> entries;
  std::vector<Digest> blobs;
  for (int k = 0; k < 5; ++k) blobs.push_back(store_->put(std::string(1000 * k, 'a' + k)).value());
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string dir_name = "d";
    dir_name += std::to_string(i / 40);
    std::string p = dir_name;
    p += "/f";
    p += std::to_string(i);
    FsTreeEntry e;
    e.path = p;
    e.mode = "0644";
    e.kind = FsEntryKind::kFile;
    e.blob = blobs[i % 5];
    entries.push_back(e);
    expected[dir_name] = "d";
    std::string& want = expected[p];
    want = "f:";
    want.append(static_cast<size_t>(1000 * (i % 5)), static_cast<char>('a' + i % 5));
  }
  fs::path target = base_ / "many";
  auto r = restore_tree(*store_, put_tree(entries), target);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(listing(target), expected);
}

// Trees no capture writes, built to escape the target: each must fail, write
// nothing outside the temporary directory and leave the target absent.
TEST_F(RestoreTest, HostileTreesStayInside) {
  const fs::path outside = base_ / "outside";
  const fs::path sentinel = base_ / "sentinel";
  fs::create_directories(outside);
  std::ofstream(sentinel) << "keep";
  const std::string root_probe = "qv-restore-probe-" + std::to_string(::getpid());
  struct Case {
    const char* name;
    std::vector<FsTreeEntry> entries;
    ErrorKind kind;
    std::string message;  // empty: not checked
  };
  const std::string out = outside.string();
  std::vector<Case> cases = {
      {"dot-dot", {file("../x", "p")}, ErrorKind::kIntegrity,
       "entry path \"../x\" is not a relative path of plain names"},
      {"dot-dot further down", {file("a/../../x", "p")}, ErrorKind::kIntegrity, ""},
      {"absolute", {file(out + "/abs", "p")}, ErrorKind::kIntegrity, ""},
      {"absolute dir", {dir(out + "/d")}, ErrorKind::kIntegrity, ""},
      {"absolute link", {link(out + "/l", "x")}, ErrorKind::kIntegrity, ""},
      {"empty component", {file("a//b", "p")}, ErrorKind::kIntegrity, ""},
      {"leading dot", {file("./a", "p")}, ErrorKind::kIntegrity, ""},
      {"trailing dot", {dir("a/.")}, ErrorKind::kIntegrity, ""},
      {"trailing slash", {file("a/", "p")}, ErrorKind::kIntegrity, ""},
      {"empty", {file("", "p")}, ErrorKind::kIntegrity, "entry path \"\" is not a relative path of plain names"},
      {"NUL byte", {file(std::string("..\0x", 4), "p")}, ErrorKind::kIntegrity, ""},
      {"NUL in a link target", {link("l", std::string("a\0b", 3))}, ErrorKind::kIntegrity, ""},
      {"bad path after good ones", {file("fine", "1"), dir("ok"), dir("../d")}, ErrorKind::kIntegrity, ""},
      {"link to root, then a file below it", {link("a", "/"), file("a/" + root_probe, "p")}, ErrorKind::kIntegrity,
       "entry a/" + root_probe + " leads through symbolic link a"},
      {"link to dot-dot, then a file below it", {link("a", ".."), file("a/x", "p")}, ErrorKind::kIntegrity, ""},
      {"link outside, then a dir below it via its file's parent", {link("a", out), file("a/b/c", "p")},
       ErrorKind::kIntegrity, "entry a/b/c leads through symbolic link a"},
      {"link below a link", {link("a", out), link("a/l", "x")}, ErrorKind::kIntegrity, ""},
      {"chain of links", {link("l1", "l2"), link("l2", out), file("l1/x", "p")}, ErrorKind::kIntegrity, ""},
      {"nested link", {dir("d"), link("d/up", "../.."), file("d/up/x", "p")}, ErrorKind::kIntegrity,
       "entry d/up/x leads through symbolic link d/up"},
      {"link then a file at the same path", {link("a", sentinel.string()), file("a", "pwned")}, ErrorKind::kIo,
       "Too many levels of symbolic links (os error 40)"},
      {"link then a dir of the same name", {link("a", out), dir("a"), file("a/x", "p")}, ErrorKind::kIo,
       "File exists (os error 17)"},
      {"dir then a link of the same name", {dir("a"), link("a", out)}, ErrorKind::kIo, "File exists (os error 17)"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path parent = base_ / ("p" + std::to_string(n++));
    fs::path target = parent / "out";
    auto r = restore_tree(*store_, put_tree(c.entries), target);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind) << r.error().message;
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(read_text(sentinel), "keep");
    EXPECT_FALSE(fs::exists(fs::symlink_status(fs::path("/") / root_probe)));
    // Only the temporary directory may appear in the parent.
    std::error_code ec;
    for (auto& e : fs::directory_iterator(parent, ec)) {
      EXPECT_TRUE(e.path().filename().string().starts_with(".qv-restore.")) << e.path();
    }
    // Malformed paths are refused before anything is created.
    if (r.error().message.find("is not a relative path") != std::string::npos) {
      EXPECT_FALSE(fs::exists(parent));
    }
  }
  // Nothing else appeared beside the parents.
  for (auto& e : fs::directory_iterator(base_)) {
    std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "store" || name == "outside" || name == "sentinel" || name.starts_with("p")) << name;
  }
}

}  // namespace
}  // namespace qv
