#include "core/blob_store.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/file_util.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// These runtimes reserve terabytes of address space; an address-space limit
// cannot be used to observe our own allocations under them.
constexpr bool kAddressSpaceLimitUsable = false;
#else
constexpr bool kAddressSpaceLimitUsable = true;
#endif

// Compressible text, roughly like source code.
std::string text_bytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"def ", "return ", "self", ".value", " = ", "(", ")", ":\n    ",
                                       "if ", "None", "import ", "os", "\n", "for ", " in ", "range"};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) s += kWords[rng() % std::size(kWords)];
  s.resize(n);
  return s;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Replaces a file's content in place. Not by truncating to zero: ext4 flushes
// a file rewritten that way on close, which would make the loops below crawl.
void spit(const fs::path& p, std::string_view bytes) {
  UniqueFd fd(::open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd) << p << ": " << std::strerror(errno);
  ASSERT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(bytes.size())), 0);
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Every file below dir whose name is not a final blob name.
std::vector<std::string> stray_files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_directory() && e.path().extension() != ".zst") out.push_back(e.path().string());
  }
  return out;
}

std::string describe_error(const CoreError& e) {
  switch (e.kind) {
    case ErrorKind::kIo: return "io:" + e.message;
    case ErrorKind::kIntegrity: return "integrity:" + e.message;
    default: return "other:" + e.message;
  }
}
// One comparable text per outcome, so that a table row states the whole result.
std::string describe(const Result<std::string>& r) {
  return r ? "ok:" + std::to_string(r->size()) : describe_error(r.error());
}
std::string describe(const Result<bool>& r) {
  return r ? (*r ? "ok:true" : "ok:false") : describe_error(r.error());
}
std::string describe(const Result<Digest>& r) { return r ? "ok:" + r->as_str() : describe_error(r.error()); }
std::string describe(const Result<uint64_t>& r) {
  return r ? "ok:" + std::to_string(*r) : describe_error(r.error());
}

std::string little_endian(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  return s;
}

const std::string kFrameMagic = little_endian(0xFD2FB528, 4);

std::string skippable_frame(std::string_view payload) {
  return little_endian(0x184D2A50, 4) + little_endian(payload.size(), 4) + std::string(payload);
}

// A frame of run-length blocks: each block header (3 bytes) and one byte stand
// for 128 KiB of output, the densest a frame gets.
std::string rle_bomb(size_t blocks) {
  std::string f = kFrameMagic;
  f.push_back(0x00);                 // no content size, not single-segment, no checksum
  f.push_back(static_cast<char>(7 << 3));  // window 2^17, room for 128 KiB blocks
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t last = i + 1 == blocks ? 1 : 0;
    f += little_endian((131072u << 3) | (1u << 1) | last, 3);
    f.push_back('A');
  }
  return f;
}

long vm_size_bytes() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7)) * 1024;
  }
  return -1;
}

struct ChildResult {
  bool exited_zero = false;
  std::string text;
};

// Runs fn in a forked child and returns what it wrote back. Lets a test
// change process-wide limits, or die, without touching the test process.
ChildResult run_in_child(const std::function<std::string()>& fn) {
  int p[2];
  if (::pipe(p) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    // Whatever happens, the child never returns into the test runner.
    try {
      std::string s = fn();
      (void)write_all(p[1], s);
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(0);
  }
  ::close(p[1]);
  ChildResult r;
  if (auto text = read_fd(p[0])) r.text = *text;
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exited_zero = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// Records the names touched in directories, in order, as "CREATE name" etc.
// Events are queued by the kernel during the system calls themselves, so
// after an operation returns its events are all there.
class DirWatch {
 public:
  explicit DirWatch(const std::vector<fs::path>& dirs, uint32_t mask = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO |
                                                                       IN_DELETE | IN_MODIFY | IN_ATTRIB)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const auto& d : dirs) ::inotify_add_watch(fd_.get(), d.c_str(), mask);
  }
  bool ok() const { return static_cast<bool>(fd_); }

  std::vector<std::string> drain() {
    std::vector<std::string> out;
    alignas(struct inotify_event) char buf[8192];
    for (;;) {
      ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<struct inotify_event*>(p);
        std::string name = e->len > 0 ? std::string(e->name) : std::string();
        const char* what = (e->mask & IN_CREATE)       ? "CREATE "
                           : (e->mask & IN_MOVED_FROM) ? "MOVED_FROM "
                           : (e->mask & IN_MOVED_TO)   ? "MOVED_TO "
                           : (e->mask & IN_DELETE)     ? "DELETE "
                           : (e->mask & IN_MODIFY)     ? "MODIFY "
                                                       : "ATTRIB ";
        out.push_back(what + name);
        p += sizeof(struct inotify_event) + e->len;
      }
    }
    return out;
  }

 private:
  UniqueFd fd_;
};

class BlobStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "qv-blob-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    if (!mounted_.empty()) ::umount2(mounted_.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path path_of(const Digest& d) const { return *blob_path(root_, d); }
  fs::path path_of(std::string_view bytes) const { return path_of(compute_digest(bytes)); }
  std::string pid_text() const { return std::to_string(::getpid()); }

  fs::path root_;
  fs::path mounted_;
};

TEST_F(BlobStoreTest, RoundTripsContentOfEveryShape) {
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"one byte", "a"},
      {"every byte value", all_bytes},
      {"text 200 KiB", text_bytes(200 << 10, 1)},
      {"incompressible 64 KiB", random_bytes(64 << 10, 2)},
  };
  LocalBlobStore store(root_);
  uint64_t on_disk = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Digest d = compute_digest(c.bytes);
    ASSERT_EQ(describe(store.has(d)), "ok:false");
    auto put = store.put(c.bytes);
    ASSERT_TRUE(put.has_value()) << put.error().message;
    EXPECT_EQ(*put, d);
    EXPECT_EQ(describe(store.has(d)), "ok:true");
    ASSERT_TRUE(fs::is_regular_file(path_of(d)));
    on_disk += fs::file_size(path_of(d));
    auto got = store.get(d);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_TRUE(*got == c.bytes);
  }
  EXPECT_EQ(describe(store.physical_bytes()), "ok:" + std::to_string(on_disk));
  EXPECT_EQ(stray_files(root_), std::vector<std::string>{});
}

TEST_F(BlobStoreTest, WritesOneFrameWithoutChecksumOrDictionary) {
  LocalBlobStore store(root_);
  for (const std::string& bytes : {std::string(), text_bytes(50000, 3), random_bytes(3000, 4)}) {
    SCOPED_TRACE(bytes.size());
    ASSERT_TRUE(store.put(bytes).has_value());
    std::string raw = slurp(path_of(bytes));
    ASSERT_GE(raw.size(), 6u);
    EXPECT_EQ(raw.substr(0, 4), kFrameMagic);
    auto descriptor = static_cast<unsigned char>(raw[4]);
    EXPECT_EQ(descriptor & 0x04, 0) << "checksum flag";
    EXPECT_EQ(descriptor & 0x03, 0) << "dictionary id";
    EXPECT_EQ(ZSTD_findFrameCompressedSize(raw.data(), raw.size()), raw.size()) << "exactly one frame";
  }
}

TEST_F(BlobStoreTest, StoringAgainTouchesNothing) {
  LocalBlobStore store(root_);
  std::string bytes = text_bytes(5000, 5);
  ASSERT_TRUE(store.put(bytes).has_value());
  fs::path file = path_of(bytes);
  // An old timestamp: an unchanged file cannot be mistaken for one rewritten
  // within the clock's granularity.
  struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old_times, 0), 0);
  struct stat before;
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  DirWatch watch({file.parent_path()});
  ASSERT_TRUE(watch.ok());
  auto again = store.put(bytes);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, compute_digest(bytes));
  EXPECT_EQ(watch.drain(), std::vector<std::string>{}) << "no temporary file, no write";
  struct stat after;
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(BlobStoreTest, TemporaryNamesCountFromOnePerStoreObject) {
  const std::string a = "first", b = "second", c = "third";
  LocalBlobStore store(root_);
  std::vector<fs::path> dirs;
  for (const auto& bytes : {a, b, c}) {
    ASSERT_EQ(describe(store.has(compute_digest(bytes))), "ok:false");  // creates the fan-out directory
    dirs.push_back(path_of(bytes).parent_path());
  }
  DirWatch watch(dirs, IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE);
  ASSERT_TRUE(watch.ok());
  auto expect_write = [&](LocalBlobStore& s, const std::string& bytes, int counter) {
    SCOPED_TRACE(bytes);
    std::string hex(compute_digest(bytes).hex());
    std::string tmp = hex + ".tmp." + pid_text() + "." + std::to_string(counter);
    ASSERT_TRUE(s.put(bytes).has_value());
    EXPECT_EQ(watch.drain(), (std::vector<std::string>{"CREATE " + tmp, "MOVED_FROM " + tmp, "MOVED_TO " + hex + ".zst"}));
  };
  expect_write(store, a, 1);
  expect_write(store, b, 2);
  ASSERT_TRUE(store.put(a).has_value());  // already stored: takes no counter value
  EXPECT_EQ(watch.drain(), std::vector<std::string>{});
  expect_write(store, c, 3);

  fs::remove(path_of(a));
  watch.drain();
  LocalBlobStore fresh(root_);
  expect_write(fresh, a, 1);
}

TEST_F(BlobStoreTest, OccupiedTemporaryNameTakesNextCounterValue) {
  const std::string bytes = text_bytes(3000, 6);
  LocalBlobStore store(root_);
  ASSERT_TRUE(store.has(compute_digest(bytes)).has_value());
  fs::path dir = path_of(bytes).parent_path();
  std::string hex(compute_digest(bytes).hex());
  std::string stem = hex + ".tmp." + pid_text() + ".";
  spit(dir / (stem + "1"), "someone else's file");
  // A planted link must not be followed.
  fs::create_symlink(root_ / "victim", dir / (stem + "2"));

  DirWatch watch({dir}, IN_CREATE);
  ASSERT_TRUE(store.put(bytes).has_value());
  EXPECT_EQ(watch.drain(), std::vector<std::string>{"CREATE " + stem + "3"});
  EXPECT_EQ(slurp(dir / (stem + "1")), "someone else's file");
  EXPECT_TRUE(fs::is_symlink(dir / (stem + "2")));
  EXPECT_FALSE(fs::exists(root_ / "victim"));
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{stem + "1", stem + "2", hex + ".zst"}));
  auto got = store.get(compute_digest(bytes));
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == bytes);
}

TEST_F(BlobStoreTest, TruncatedOrEmptyFileIsAnIncompleteFrame) {
  LocalBlobStore store(root_);
  std::string bytes = text_bytes(4000, 7);
  Digest d = *store.put(bytes);
  std::string whole = slurp(path_of(d));
  // Every proper prefix, the empty file included.
  for (size_t len = 0; len < whole.size(); ++len) {
    SCOPED_TRACE(len);
    spit(path_of(d), whole.substr(0, len));
    EXPECT_EQ(describe(store.get(d)), "io:incomplete frame");
  }
}

TEST_F(BlobStoreTest, DamagedFileNeverYieldsWrongBytes) {
  LocalBlobStore store(root_);
  std::string bytes = text_bytes(1500, 8);
  Digest d = *store.put(bytes);
  const std::string whole = slurp(path_of(d));
  const std::string integrity_prefix = "integrity:blob " + d.as_str() + " on disk hashes to sha256:";
  int io = 0, integrity = 0;
  for (size_t bit = 0; bit < whole.size() * 8; ++bit) {
    SCOPED_TRACE(bit);
    std::string flipped = whole;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    spit(path_of(d), flipped);
    auto got = store.get(d);
    if (got) {
      // Some header bits (e.g. the window size) do not change the content.
      EXPECT_TRUE(*got == bytes);
    } else if (got.error().kind == ErrorKind::kIntegrity) {
      ++integrity;
      EXPECT_EQ(describe(got).rfind(integrity_prefix, 0), 0u) << describe(got);
    } else {
      ++io;
      EXPECT_EQ(got.error().kind, ErrorKind::kIo);
      EXPECT_FALSE(got.error().message.empty());
    }
  }
  // Both defences are exercised: undecodable streams and decodable wrong content.
  EXPECT_GT(io, 0);
  EXPECT_GT(integrity, 0);
}

TEST_F(BlobStoreTest, ForeignContentAtFinalName) {
  LocalBlobStore store(root_);
  const std::string bytes = "the real content";
  const std::string other = "other bytes entirely";
  Digest d = compute_digest(bytes);
  ASSERT_TRUE(store.has(d).has_value());
  struct {
    const char* name;
    std::string file;
    std::string expected;
  } cases[] = {
      {"valid frame of other bytes", *zstd_compress(other),
       "integrity:blob " + d.as_str() + " on disk hashes to " + compute_digest(other).as_str()},
      {"valid frame followed by garbage", *zstd_compress(bytes) + "garbage!",
       std::string("io:") + ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
      {"not zstd at all", "plain text, not compressed",
       std::string("io:") + ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    spit(path_of(d), c.file);
    EXPECT_EQ(describe(store.get(d)), c.expected);
    // The status query finds a file: put trusts the name and leaves it alone.
    ASSERT_EQ(describe(store.put(bytes)), "ok:" + d.as_str());
    EXPECT_EQ(slurp(path_of(d)), c.file);
  }

  fs::remove(path_of(d));
  fs::create_directory(path_of(d));
  EXPECT_EQ(describe(store.get(d)), "io:" + errno_text(EISDIR));
}

TEST_F(BlobStoreTest, ConcatenatedFramesReadAsOneBlob) {
  struct {
    const char* name;
    std::vector<std::string> parts;
    bool skippable_between = false;
  } cases[] = {
      {"two frames", {"first half, ", "second half"}},
      {"empty frames around", {"", "middle", ""}},
      {"large then small", {text_bytes(300000, 9), "tail"}},
      {"skippable frame between", {"before ", "after"}, true},
  };
  LocalBlobStore store(root_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string joined, file;
    for (size_t i = 0; i < c.parts.size(); ++i) {
      if (i > 0 && c.skippable_between) file += skippable_frame("metadata");
      joined += c.parts[i];
      file += *zstd_compress(c.parts[i]);
    }
    Digest d = compute_digest(joined);
    ASSERT_TRUE(make_dirs(path_of(d).parent_path()).has_value());
    spit(path_of(d), file);
    auto got = store.get(d);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_TRUE(*got == joined);
  }
}

TEST_F(BlobStoreTest, MissingBlobIsNotFoundAndCreatesFanOutDirectory) {
  LocalBlobStore store(root_);
  Digest never = compute_digest("never stored");
  EXPECT_EQ(describe(store.get(never)), "io:" + errno_text(ENOENT));
  EXPECT_TRUE(fs::is_directory(path_of(never).parent_path()));
  EXPECT_TRUE(fs::is_empty(path_of(never).parent_path()));

  // The digest's text names the file: an upper-case id is a different name.
  ASSERT_TRUE(store.put("stored").has_value());
  std::string upper = compute_digest("stored").as_str();
  std::transform(upper.begin() + 7, upper.end(), upper.begin() + 7, [](char ch) { return std::toupper(ch); });
  Digest parsed = *parse_digest(upper);
  EXPECT_EQ(describe(store.has(parsed)), "ok:false");
  EXPECT_EQ(describe(store.get(parsed)), "io:" + errno_text(ENOENT));
  EXPECT_TRUE(fs::is_directory(path_of(parsed).parent_path()));
}

TEST_F(BlobStoreTest, FanOutDirectoryThatCannotBeCreatedFailsEveryOperation) {
  LocalBlobStore store(root_);
  const std::string bytes = "blocked";
  Digest d = compute_digest(bytes);
  ASSERT_TRUE(make_dirs(root_ / "blobs" / "sha256").has_value());
  spit(path_of(d).parent_path(), "a file where the fan-out directory belongs");
  const std::string expected = errno_text(EEXIST);
  auto put = store.put(bytes);
  ASSERT_FALSE(put.has_value());
  EXPECT_EQ(put.error().kind, ErrorKind::kIo);
  EXPECT_EQ(put.error().message, expected);
  auto has = store.has(d);
  ASSERT_FALSE(has.has_value());
  EXPECT_EQ(has.error().message, expected);
  EXPECT_EQ(describe(store.get(d)), "io:" + expected);
}

TEST_F(BlobStoreTest, MalformedReferenceNamesNoFile) {
  LocalBlobStore store(root_);
  for (const char* text : {"sha256:../../../../escape", "", "sha256:", "sha256:ab/../../x"}) {
    SCOPED_TRACE(text);
    Digest d = Digest::from_text(text);
    EXPECT_FALSE(store.get(d).has_value());
    EXPECT_FALSE(store.has(d).has_value());
  }
  EXPECT_FALSE(fs::exists(root_ / "blobs"));
  EXPECT_FALSE(fs::exists(root_.parent_path() / "escape"));
}

TEST_F(BlobStoreTest, DeclaredContentSizeIsNeverTrusted) {
  // Frame headers announcing enormous content, with little or no body.
  const std::string fcs8_window1k = kFrameMagic + "\xC0" + std::string(1, '\0');  // 8-byte size, 1 KiB window
  const std::string fcs8_single = kFrameMagic + "\xE0";                          // 8-byte size, window = size
  const std::string raw_block5 = little_endian((5u << 3) | 1u, 3) + "hello";     // last raw block, 5 bytes
  struct {
    const char* name;
    std::string file;
    std::string expected;
  } cases[] = {
      {"2^40 declared, no blocks", fcs8_window1k + little_endian(uint64_t{1} << 40, 8), "io:incomplete frame"},
      {"2^33 declared, no blocks", fcs8_window1k + little_endian(uint64_t{1} << 33, 8), "io:incomplete frame"},
      {"2^40 declared, 5 bytes delivered", fcs8_window1k + little_endian(uint64_t{1} << 40, 8) + raw_block5,
       std::string("io:") + ZSTD_getErrorString(ZSTD_error_corruption_detected)},
      {"single segment of 2^40", fcs8_single + little_endian(uint64_t{1} << 40, 8),
       std::string("io:") + ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Digest d = compute_digest(c.name);
    ASSERT_TRUE(make_dirs(path_of(d).parent_path()).has_value());
    spit(path_of(d), c.file);
    auto attempt = [&] {
      if (kAddressSpaceLimitUsable) {
        // Room for the decoder and the file, nowhere near the declared size.
        rlim_t limit = static_cast<rlim_t>(vm_size_bytes()) + (rlim_t{64} << 20);
        struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_AS, &rl) != 0) return std::string("setrlimit failed");
      }
      LocalBlobStore s(root_);
      return describe(s.get(d));
    };
    ChildResult r = run_in_child(attempt);
    EXPECT_TRUE(r.exited_zero);
    EXPECT_EQ(r.text, c.expected);
  }
}

TEST_F(BlobStoreTest, DecompressionBombFailsAsAnError) {
  if (!kAddressSpaceLimitUsable) GTEST_SKIP() << "address-space limits do not work under this sanitizer";
  // 16 KiB on disk that would expand to 512 MiB, under a 256 MiB budget.
  const std::string bomb = rle_bomb(4096);
  Digest d = compute_digest("bomb");
  ASSERT_TRUE(make_dirs(path_of(d).parent_path()).has_value());
  spit(path_of(d), bomb);
  ChildResult r = run_in_child([&] {
    rlim_t limit = static_cast<rlim_t>(vm_size_bytes()) + (rlim_t{256} << 20);
    struct rlimit rl = {limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) return std::string("setrlimit failed");
    LocalBlobStore s(root_);
    return describe(s.get(d));
  });
  EXPECT_TRUE(r.exited_zero) << "the reader must not die";
  EXPECT_EQ(r.text, "io:" + errno_text(ENOMEM));

  // The same construction, small enough, decodes: the error above is the budget.
  const std::string small = rle_bomb(3);
  spit(path_of(d), small);
  LocalBlobStore store(root_);
  EXPECT_EQ(describe(store.get(d)), "integrity:blob " + d.as_str() + " on disk hashes to " +
                                        compute_digest(std::string(3 * 131072, 'A')).as_str());
}

TEST_F(BlobStoreTest, ZstdCommandLineDecodesEveryBlobToItsName) {
  if (std::system("command -v zstd >/dev/null 2>&1") != 0) GTEST_SKIP() << "zstd command not installed";
  LocalBlobStore store(root_);
  std::vector<std::string> sample = {"", "x", text_bytes(1000, 10), text_bytes(150000, 11), random_bytes(20000, 12)};
  for (const auto& bytes : sample) ASSERT_TRUE(store.put(bytes).has_value());
  size_t checked = 0;
  for (const auto& e : fs::recursive_directory_iterator(root_ / "blobs")) {
    if (e.path().extension() != ".zst") continue;
    SCOPED_TRACE(e.path().string());
    std::string cmd = "zstd -d -c -q -- '" + e.path().string() + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    auto out = read_fd(::fileno(p));
    int status = ::pclose(p);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(compute_digest(*out).hex(), e.path().stem().string());
    ++checked;
  }
  EXPECT_EQ(checked, sample.size());
}

TEST_F(BlobStoreTest, ConcurrentThreadsAndProcessesShareOneStore) {
  // Overlapping content: every writer stores every item, in its own order.
  std::vector<std::string> items;
  for (uint32_t i = 0; i < 40; ++i) items.push_back(text_bytes(1 + (i * 997) % 6000, 100 + i));
  items.push_back("");
  auto put_all = [&](LocalBlobStore& store, uint32_t seed) {
    std::vector<size_t> order(items.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    int wrong = 0;
    for (size_t i : order) {
      auto d = store.put(items[i]);
      if (!d || *d != compute_digest(items[i])) ++wrong;
    }
    return wrong;
  };
  auto run_threads = [&](LocalBlobStore& store, uint32_t base_seed, int threads) {
    std::vector<std::thread> pool;
    std::vector<int> wrong(threads, 0);
    for (int t = 0; t < threads; ++t) pool.emplace_back([&, t] { wrong[t] = put_all(store, base_seed + t); });
    for (auto& th : pool) th.join();
    int total = 0;
    for (int w : wrong) total += w;
    return total;
  };

  std::vector<pid_t> children;
  for (uint32_t p = 0; p < 3; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      int wrong = 1;
      try {
        LocalBlobStore own(root_);  // a separate handle: counter starts at 0 again
        wrong = run_threads(own, 1000 * (p + 1), 2);
      } catch (...) {
      }
      ::_exit(wrong == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  LocalBlobStore store(root_);
  EXPECT_EQ(run_threads(store, 7, 3), 0);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  for (const auto& bytes : items) {
    auto got = store.get(compute_digest(bytes));
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_TRUE(*got == bytes);
  }
  EXPECT_EQ(stray_files(root_ / "blobs"), std::vector<std::string>{});
  size_t blobs = 0;
  for (const auto& e : fs::recursive_directory_iterator(root_ / "blobs")) blobs += e.path().extension() == ".zst";
  EXPECT_EQ(blobs, items.size());
}

TEST_F(BlobStoreTest, KilledWriterLeavesOnlyCompleteBlobs) {
  std::mt19937 rng(20240611);
  std::set<pid_t> writers;
  for (int iteration = 0; iteration < 12; ++iteration) {
    pid_t pid = ::fork();
    if (pid == 0) {
      try {
        LocalBlobStore store(root_);
        for (uint32_t i = 0;; ++i) {
          uint32_t seed = static_cast<uint32_t>(iteration) * 100000 + i;
          (void)store.put(text_bytes(1000 + (seed * 7919) % 120000, seed));
        }
      } catch (...) {
      }
      ::_exit(1);
    }
    ASSERT_GT(pid, 0);
    writers.insert(pid);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 150000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
  }

  LocalBlobStore reader(root_);
  for (const auto& e : fs::recursive_directory_iterator(root_ / "blobs")) {
    if (e.is_directory()) continue;
    std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    ASSERT_GT(name.size(), 65u);
    std::string hex = name.substr(0, 64);
    if (name.substr(64) == ".zst") {
      auto got = reader.get(*parse_digest("sha256:" + hex));
      EXPECT_TRUE(got.has_value()) << got.error().message;
    } else {
      // Only a temporary of one of the killed writers may remain.
      ASSERT_EQ(name.substr(64, 5), ".tmp.");
      std::string rest = name.substr(69);
      size_t dot = rest.find('.');
      ASSERT_NE(dot, std::string::npos);
      EXPECT_TRUE(writers.count(std::stoi(rest.substr(0, dot))));
    }
  }
}

TEST_F(BlobStoreTest, FullFilesystemFailsWithoutLeavingFiles) {
  fs::path mnt = root_ / "small";
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  mounted_ = mnt;
  LocalBlobStore store(mnt);
  ASSERT_TRUE(store.put("fits").has_value());
  {
    // Fill the filesystem completely.
    UniqueFd fd(::open((mnt / "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    std::string chunk(4096, 'f');
    while (::write(fd.get(), chunk.data(), chunk.size()) > 0) {
    }
  }
  const std::string bytes = random_bytes(48 << 10, 13);
  Digest d = compute_digest(bytes);
  auto put = store.put(bytes);
  ASSERT_FALSE(put.has_value());
  EXPECT_EQ(put.error().kind, ErrorKind::kIo);
  EXPECT_EQ(put.error().message, errno_text(ENOSPC));
  EXPECT_FALSE(fs::exists(*blob_path(mnt, d)));
  EXPECT_EQ(describe(store.has(d)), "ok:false");
  EXPECT_EQ(stray_files(mnt / "blobs"), std::vector<std::string>{}) << "the failed temporary is removed";

  // Space again: the same put succeeds.
  fs::remove(mnt / "filler");
  ASSERT_EQ(describe(store.put(bytes)), "ok:" + d.as_str());
  auto got = store.get(d);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == bytes);
}

TEST_F(BlobStoreTest, FileSizeLimitFailsWithoutLeavingFiles) {
  const std::string bytes = random_bytes(8192, 14);
  ChildResult r = run_in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {1000, 1000};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return std::string("setrlimit failed");
    LocalBlobStore s(root_);
    auto put = s.put(bytes);
    return put ? std::string("stored") : put.error().message;
  });
  EXPECT_TRUE(r.exited_zero);
  EXPECT_EQ(r.text, errno_text(EFBIG));
  EXPECT_FALSE(fs::exists(path_of(bytes)));
  EXPECT_EQ(stray_files(root_ / "blobs"), std::vector<std::string>{});
}

}  // namespace
}  // namespace qv
