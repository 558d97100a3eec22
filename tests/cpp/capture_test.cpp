#include "fs/capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "core/file_util.h"
#include "core/fs_tree.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Fails put for one chosen content; counts every put.
class FailingStore final : public BlobStore {
 public:
  FailingStore(BlobStore& inner, std::string bad) : inner_(inner), bad_(std::move(bad)) {}
  Result<Digest> put(std::string_view bytes) override {
    puts_.fetch_add(1);
    if (bytes == bad_) return io_error("No space left on device (os error 28)");
    return inner_.put(bytes);
  }
  Result<std::string> get(const Digest& d) override { return inner_.get(d); }
  Result<bool> has(const Digest& d) override { return inner_.has(d); }
  Result<uint64_t> physical_bytes() override { return inner_.physical_bytes(); }
  int puts() const { return puts_.load(); }

 private:
  BlobStore& inner_;
  std::string bad_;
  std::atomic<int> puts_{0};
};

// Appending avoids a false -Wrestrict of GCC 12 on `"x" + std::to_string(i)`.
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

CaptureOptions opts(fs::path root, unsigned workers = 0, bool follow = false, std::vector<std::string> excludes = {}) {
  CaptureOptions o;
  o.root = std::move(root);
  o.excludes = std::move(excludes);
  o.follow_links = follow;
  o.workers = workers;
  return o;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-capture-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    src_ = base_ / "src";
    fs::create_directories(src_);
    store_ = std::make_unique<LocalBlobStore>(base_ / "store");
  }
  void TearDown() override {
    // Undo permission changes so the tree can be removed.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(base_, ec); it != fs::recursive_directory_iterator(); ++it) {
      if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
    }
    fs::remove_all(base_, ec);
  }

  void write(const fs::path& rel, const std::string& content) {
    fs::path p = src_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  void mkdir(const fs::path& rel) { fs::create_directories(src_ / rel); }
  void symlink(const std::string& target, const fs::path& rel) {
    fs::create_directories((src_ / rel).parent_path());
    ASSERT_EQ(::symlink(target.c_str(), (src_ / rel).c_str()), 0);
  }

  FsTree capture(const CaptureOptions& options) {
    auto d = capture_tree(*store_, options);
    EXPECT_TRUE(d.has_value()) << d.error().message;
    if (!d) return FsTree{};
    auto tree = load_tree(*store_, *d);
    EXPECT_TRUE(tree.has_value()) << tree.error().message;
    return tree ? *tree : FsTree{};
  }
  FsTree capture() { return capture(opts(src_)); }
  FsTree capture_excluding(std::vector<std::string> excludes) { return capture(opts(src_, 0, false, std::move(excludes))); }
  static std::vector<std::string> paths(const FsTree& t) {
    std::vector<std::string> out;
    for (const auto& e : t.entries) out.push_back(e.path);
    return out;
  }
  Digest empty_tree_digest() { return compute_digest(encode_tree(FsTree{})); }
  size_t blob_files() {
    size_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(base_ / "store")) n += e.path().extension() == ".zst";
    return n;
  }

  fs::path base_, src_;
  std::unique_ptr<LocalBlobStore> store_;
};

TEST_F(CaptureTest, OrdersPathsComponentByComponent) {
  struct {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    std::vector<std::string> expected;
  } cases[] = {
      {"dir before a sibling sharing its prefix", {"a/b", "a-b", "ab"}, {}, {"a", "a/b", "a-b", "ab"}},
      {"dot sorts before slash bytewise, not here", {"a.txt", "a/z"}, {}, {"a", "a/z", "a.txt"}},
      {"bytes, not locale", {"B", "a", "_", "\xC3\xA9"}, {}, {"B", "_", "a", "\xC3\xA9"}},
      {"deep before next sibling", {"x/y/z/w", "x0"}, {"x/e"}, {"x", "x/e", "x/y", "x/y/z", "x/y/z/w", "x0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::create_directories(src_);
    for (const auto& f : c.files) write(f, f);
    for (const auto& d : c.dirs) mkdir(d);
    EXPECT_EQ(paths(capture()), c.expected);
  }
}

TEST_F(CaptureTest, ExcludesBySubstringOfTheFullPath) {
  const std::vector<std::string> defaults = default_excludes();
  EXPECT_EQ(defaults, (std::vector<std::string>{".git/objects", "target", "node_modules"}));
  struct {
    std::vector<std::string> files;
    std::vector<std::string> expected;
  } cases[] = {
      {{".git/objects/ab/cd", ".git/config", ".git/objects2/x"}, {".git", ".git/config"}},
      {{"node_modules/x", "build/target/y", "keep"}, {"build", "keep"}},
      {{"retarget.txt", "targets/z", "tar/get"}, {"tar", "tar/get"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files[0]);
    fs::remove_all(src_);
    fs::create_directories(src_);
    for (const auto& f : c.files) write(f, "x");
    EXPECT_EQ(paths(capture_excluding(defaults)), c.expected);
  }

  // The pattern may span the root prefix and the entry: "src/k" matches src/keep only.
  fs::remove_all(src_);
  write("keep", "1");
  write("other", "2");
  EXPECT_EQ(paths(capture_excluding({"src/k"})), std::vector<std::string>{"other"});

  // A root whose own path holds a pattern yields nothing.
  fs::path target_root = base_ / "target";
  fs::create_directories(target_root / "sub");
  auto d = capture_tree(*store_, opts(target_root, 0, false, defaults));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(*d, empty_tree_digest());
  d = capture_tree(*store_, opts(target_root / "sub", 0, false, defaults));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(*d, empty_tree_digest());
}

TEST_F(CaptureTest, RecordsEachKind) {
  mkdir("e");
  ::chmod((src_ / "e").c_str(), 0750);
  write("empty", "");
  write("f", "hello");
  ::chmod((src_ / "f").c_str(), 0755);
  write("setuid", "s");
  ::chmod((src_ / "setuid").c_str(), 04755);
  mkdir("sticky");
  ::chmod((src_ / "sticky").c_str(), 01777);
  mkdir("none");
  ::chmod((src_ / "none").c_str(), 0);
  symlink("t", "l");
  FsTree t = capture();
  ASSERT_EQ(paths(t), (std::vector<std::string>{"e", "empty", "f", "l", "none", "setuid", "sticky"}));

  const FsTreeEntry& e = t.entries[0];
  EXPECT_EQ(e.kind, FsEntryKind::kDir);
  EXPECT_EQ(e.mode, "0750");
  EXPECT_EQ(e.size, 0u);
  EXPECT_FALSE(e.blob || e.link_target);

  EXPECT_EQ(t.entries[1].kind, FsEntryKind::kFile);
  EXPECT_EQ(t.entries[1].size, 0u);
  EXPECT_EQ(t.entries[1].blob, compute_digest(""));

  const FsTreeEntry& f = t.entries[2];
  EXPECT_EQ(f.mode, "0755");
  EXPECT_EQ(f.size, 5u);
  EXPECT_EQ(f.blob, compute_digest("hello"));
  EXPECT_FALSE(f.link_target);
  EXPECT_EQ(store_->get(*f.blob).value(), "hello");

  const FsTreeEntry& l = t.entries[3];
  EXPECT_EQ(l.kind, FsEntryKind::kSymlink);
  EXPECT_EQ(l.link_target, "t");
  EXPECT_EQ(l.size, 1u);
  EXPECT_EQ(l.blob, compute_digest("t"));
  EXPECT_EQ(store_->get(*l.blob).value(), "t");
  EXPECT_EQ(l.mode, "0777");

  EXPECT_EQ(t.entries[4].mode, "0000");
  EXPECT_EQ(t.entries[5].mode, "4755");
  EXPECT_EQ(t.entries[6].mode, "1777");
}

TEST_F(CaptureTest, LinksAreNotFollowed) {
  write("real/inner", "i");
  symlink("real", "to_dir");
  symlink("real/inner", "to_file");
  symlink("missing", "dangling");
  symlink(src_.string(), "to_root");
  FsTree t = capture();
  EXPECT_EQ(paths(t), (std::vector<std::string>{"dangling", "real", "real/inner", "to_dir", "to_file", "to_root"}));
  EXPECT_EQ(t.entries[0].link_target, "missing");
  EXPECT_EQ(t.entries[5].link_target, src_.string());
  EXPECT_EQ(t.entries[5].size, src_.string().size());

  // With links followed, a link to a directory is entered, a loop and a
  // dangling link are left out.
  FsTree followed = capture(opts(src_, 0, true));
  EXPECT_EQ(paths(followed),
            (std::vector<std::string>{"real", "real/inner", "to_dir", "to_dir/inner", "to_file"}));
  EXPECT_EQ(followed.entries[4].kind, FsEntryKind::kFile);
  EXPECT_EQ(followed.entries[4].blob, compute_digest("i"));
}

TEST_F(CaptureTest, RootLinkIsFollowed) {
  write("a", "1");
  fs::path link = base_ / "root-link";
  ASSERT_EQ(::symlink(src_.c_str(), link.c_str()), 0);
  auto d = capture_tree(*store_, opts(link));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(paths(load_tree(*store_, *d).value()), std::vector<std::string>{"a"});
}

TEST_F(CaptureTest, NamesBecomeText) {
  write("a\\b", "x");
  write("bad\xff\xfe", "y");
  symlink("t\xff", "l");
  FsTree t = capture();
  ASSERT_EQ(paths(t), (std::vector<std::string>{"a/b", "bad\xEF\xBF\xBD\xEF\xBF\xBD", "l"}));
  EXPECT_EQ(t.entries[2].link_target, "t\xEF\xBF\xBD");
  EXPECT_EQ(t.entries[2].size, 4u);
  EXPECT_EQ(t.entries[2].blob, compute_digest("t\xEF\xBF\xBD"));
}

TEST_F(CaptureTest, SpecialFilesAreLeftOutWithoutBeingOpened) {
  write("a", "1");
  ASSERT_EQ(::mkfifo((src_ / "fifo").c_str(), 0644), 0);  // opening it for reading would block
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sp = (src_ / "sock").string();
  ASSERT_LT(sp.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sp.c_str(), sp.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  bool have_dev = ::mknod((src_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  FsTree t = capture();
  ::close(sock);
  EXPECT_EQ(paths(t), std::vector<std::string>{"a"}) << (have_dev ? "with a device node" : "");
}

TEST_F(CaptureTest, MissingOrNonDirectoryRootGivesTheEmptyTree) {
  for (fs::path root : {base_ / "missing", base_ / "missing" / "deeper"}) {
    auto d = capture_tree(*store_, opts(root));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, empty_tree_digest());
  }
  write("file", "x");
  auto d = capture_tree(*store_, opts(src_ / "file"));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(*d, empty_tree_digest());
  EXPECT_TRUE(store_->has(*d).value());
}

TEST_F(CaptureTest, UnreadableFileFailsWithTheSystemText) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  write("ok", "1");
  write("secret", "2");
  ::chmod((src_ / "secret").c_str(), 0);
  auto d = capture_tree(*store_, opts(src_));
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind, ErrorKind::kIo);
  EXPECT_EQ(d.error().message, "Permission denied (os error 13)");
}

TEST_F(CaptureTest, UnsearchableDirectoryFailsOnMetadata) {
  if (::geteuid() == 0) GTEST_SKIP() << "root searches any directory";
  write("d/x", "1");
  ::chmod((src_ / "d").c_str(), 0644);  // listable, but its entries cannot be queried
  auto d = capture_tree(*store_, opts(src_));
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().message,
            "IO error for operation on " + (src_ / "d" / "x").string() + ": Permission denied (os error 13)");
}

TEST_F(CaptureTest, UnlistableDirectoryIsKeptWithoutContent) {
  if (::geteuid() == 0) GTEST_SKIP() << "root lists any directory";
  write("d/x", "1");
  ::chmod((src_ / "d").c_str(), 0);
  EXPECT_EQ(paths(capture()), std::vector<std::string>{"d"});
}

TEST_F(CaptureTest, RecaptureStoresNothingNewAndModesCount) {
  write("a/one", "1");
  write("two", "2");
  auto first = capture_tree(*store_, opts(src_));
  ASSERT_TRUE(first.has_value());
  size_t blobs = blob_files();
  auto again = capture_tree(*store_, opts(src_));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*first, *again);
  EXPECT_EQ(blob_files(), blobs);

  ::chmod((src_ / "two").c_str(), 0600);
  auto moded = capture_tree(*store_, opts(src_));
  ASSERT_TRUE(moded.has_value());
  EXPECT_NE(*moded, *first);
  EXPECT_EQ(blob_files(), blobs + 1);  // the new tree only
}

TEST_F(CaptureTest, HardLinksShareOneBlob) {
  write("a", "same");
  ASSERT_EQ(::link((src_ / "a").c_str(), (src_ / "b").c_str()), 0);
  FsTree t = capture();
  ASSERT_EQ(t.entries.size(), 2u);
  EXPECT_EQ(t.entries[0].blob, t.entries[1].blob);
}

TEST_F(CaptureTest, ResultsKeepListOrderWhateverTheWorkers) {
  std::vector<std::string> expected;
  for (int d = 0; d < 6; ++d) {
    std::string dir = numbered("d", d);
    expected.push_back(dir);
    for (int f = 0; f < 10; ++f) {
      std::string p = numbered(dir + "/f", f);
      write(p, p);
      expected.push_back(p);
    }
  }
  for (unsigned workers : {1u, 3u, 16u}) {
    SCOPED_TRACE(workers);
    FsTree t = capture(opts(src_, workers));
    ASSERT_EQ(paths(t), expected);
    for (const auto& e : t.entries) {
      if (e.kind == FsEntryKind::kFile) {
        EXPECT_EQ(e.blob, compute_digest(e.path));
      }
    }
  }
}

TEST_F(CaptureTest, FailingPutIsReportedAndNoTreeIsStored) {
  for (int i = 0; i < 20; ++i) write(numbered("f", i), numbered("content ", i));
  write("zz-bad", "bad");
  FailingStore failing(*store_, "bad");
  auto d = capture_tree(failing, opts(src_, 2));
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind, ErrorKind::kIo);
  EXPECT_EQ(d.error().message, "No space left on device (os error 28)");
  EXPECT_EQ(failing.puts(), 21);  // the bad entry is last: every file was tried, the tree was not

  // A failure early in the list stops workers from starting more entries.
  for (int i = 0; i < 200; ++i) write(numbered("g", i), numbered("more ", i));
  write("a-bad", "bad");
  FailingStore early(*store_, "bad");
  d = capture_tree(early, opts(src_, 1));
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(early.puts(), 1);
}

TEST_F(CaptureTest, WorksInAForkedChildAfterTheParentCaptured) {
  write("a", "parent");
  ASSERT_TRUE(capture_tree(*store_, opts(src_, 4)).has_value());
  write("b", "child");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(60);  // a hang ends the child instead of the suite
    LocalBlobStore child_store(base_ / "store");
    auto d = capture_tree(child_store, opts(src_, 4));
    bool ok = d.has_value() && load_tree(child_store, *d).value().entries.size() == 2;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace qv
