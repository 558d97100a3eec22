#include "core/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

#include "core/file_util.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

void write_text(const fs::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { base_ = make_temp_dir(::testing::TempDir()); }
  void TearDown() override {
    std::error_code ec;
    for (const auto& d : {base_, shm_}) {
      if (!d.empty()) fs::remove_all(d, ec);
    }
  }
  static fs::path make_temp_dir(const fs::path& parent) {
    std::string tmpl = (parent / "qv-store-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return {};
    return tmpl;
  }

  fs::path base_;
  fs::path shm_;
};

TEST_F(StoreTest, OpenCreatesTheLayoutAndKeepsTheRootAsGiven) {
  // Missing ancestors included; "." components are kept, not normalised away.
  fs::path root = base_ / "a" / "." / "b" / "store";
  auto store = QvStore::open(root);
  ASSERT_TRUE(store.has_value()) << store.error().message;
  EXPECT_EQ(store->root().native(), root.native());
  EXPECT_TRUE(fs::is_directory(root / "images"));
  EXPECT_TRUE(fs::is_directory(root / "blobs" / "sha256"));
  EXPECT_TRUE(fs::is_empty(root / "blobs" / "sha256"));
  EXPECT_EQ(store->physical_bytes().value_or(1), 0u);

  // Reopening, and opening a directory with unrelated content, changes nothing.
  write_text(root / "unrelated.txt", "keep me");
  ASSERT_TRUE(QvStore::open(root).has_value());
  EXPECT_EQ(fs::file_size(root / "unrelated.txt"), 7u);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(root)) ++entries;
  EXPECT_EQ(entries, 4u);  // images, blobs, blobs/sha256, unrelated.txt
}

TEST_F(StoreTest, OpenFailsWhereDirectoriesCannotBeCreated) {
  write_text(base_ / "file", "x");
  fs::create_directory(base_ / "images_is_file");
  write_text(base_ / "images_is_file" / "images", "x");
  struct {
    const char* name;
    fs::path root;
    std::string message;
  } cases[] = {
      {"root is a regular file", base_ / "file", errno_text(ENOTDIR)},
      {"root below a regular file", base_ / "file" / "sub", errno_text(ENOTDIR)},
      {"images is a regular file", base_ / "images_is_file", errno_text(EEXIST)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = QvStore::open(c.root);
    ASSERT_FALSE(store.has_value());
    EXPECT_EQ(store.error().kind, ErrorKind::kIo);
    EXPECT_EQ(store.error().message, c.message);
  }
}

TEST_F(StoreTest, CopiesShareOneBlobStore) {
  auto a = QvStore::open(base_ / "s");
  ASSERT_TRUE(a.has_value());
  QvStore b = *a;
  EXPECT_EQ(a->blobs().get(), b.blobs().get());
  EXPECT_EQ(&a->root(), &b.root());
  auto other = QvStore::open(base_ / "s");
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(other->blobs().get(), a->blobs().get());

  auto d = b.blobs()->put("shared");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(a->blobs()->has(*d).value_or(false), true);
}

TEST_F(StoreTest, PhysicalBytesCountsRegularFilesUnderBlobsOnly) {
  fs::path root = base_ / "s";
  auto store = QvStore::open(root);
  ASSERT_TRUE(store.has_value());
  ASSERT_EQ(store->physical_bytes().value_or(1), 0u);

  auto d = store->blobs()->put(std::string(10000, 'z'));
  ASSERT_TRUE(d.has_value());
  uint64_t blob_size = fs::file_size(*blob_path(root, *d));
  ASSERT_EQ(store->physical_bytes().value_or(0), blob_size);

  struct {
    const char* name;
    std::function<void()> change;
    uint64_t added;
  } steps[] = {
      {"manifest copies are outside", [&] { write_text(root / "images" / "m.json", std::string(500, 'm')); }, 0},
      {"symlink to a large file",
       [&] {
         write_text(base_ / "large", std::string(1 << 20, 'l'));
         fs::create_symlink(base_ / "large", root / "blobs" / "link");
       },
       0},
      {"symlink to a directory",
       [&] { fs::create_directory_symlink(root / "images", root / "blobs" / "sha256" / "dirlink"); }, 0},
      {"named pipe", [&] { ASSERT_EQ(::mkfifo((root / "blobs" / "pipe").c_str(), 0644), 0); }, 0},
      {"file in a non-fan-out directory, nested",
       [&] {
         fs::create_directories(root / "blobs" / "extra" / "deeper");
         write_text(root / "blobs" / "extra" / "deeper" / "f", std::string(123, 'e'));
       },
       123},
      {"leftover temporary", [&] {
         write_text(blob_path(root, *d)->parent_path() / (std::string(d->hex()) + ".tmp.1.1"), "tmp");
       },
       3},
      {"empty file", [&] { write_text(root / "blobs" / "empty", ""); }, 0},
  };
  uint64_t expected = blob_size;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    s.change();
    expected += s.added;
    auto size = store->physical_bytes();
    ASSERT_TRUE(size.has_value()) << size.error().message;
    EXPECT_EQ(*size, expected);
    EXPECT_EQ(store->blobs()->physical_bytes().value_or(0), expected);
  }

  fs::remove_all(root / "blobs");
  EXPECT_EQ(store->physical_bytes().value_or(1), 0u);

  // A "blobs" that is not a directory cannot be listed.
  write_text(root / "blobs", "not a directory");
  auto size = store->physical_bytes();
  ASSERT_FALSE(size.has_value());
  EXPECT_EQ(size.error().kind, ErrorKind::kIo);
  EXPECT_EQ(size.error().message, errno_text(ENOTDIR));
}

TEST_F(StoreTest, PhysicalBytesSaturates) {
  // Apparent sizes beyond 2^64 in total need sparse files of 2^62 bytes,
  // which tmpfs allows.
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  shm_ = make_temp_dir("/dev/shm");
  if (shm_.empty()) GTEST_SKIP() << "cannot write to /dev/shm";
  auto store = QvStore::open(shm_);
  ASSERT_TRUE(store.has_value());
  const off_t huge = off_t{1} << 62;
  for (int i = 0; i < 3; ++i) {
    UniqueFd fd(::open((shm_ / "blobs" / ("sparse" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_TRUE(fd);
    if (::ftruncate(fd.get(), huge) != 0) GTEST_SKIP() << "sparse files of 2^62 bytes not supported";
  }
  EXPECT_EQ(store->physical_bytes().value_or(0), uint64_t{3} << 62);
  UniqueFd fd(::open((shm_ / "blobs" / "sparse3").c_str(), O_CREAT | O_WRONLY, 0644));
  ASSERT_TRUE(fd);
  ASSERT_EQ(::ftruncate(fd.get(), huge), 0);
  EXPECT_EQ(store->physical_bytes().value_or(0), std::numeric_limits<uint64_t>::max());
}

}  // namespace
}  // namespace qv
