#include "fs/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <optional>

#include "core/file_util.h"
#include "core/fs_tree.h"
#include "fs/worker_pool.h"

namespace qv {
namespace {

// Past this depth the walk stops holding a descriptor per level (so deep
// trees cannot exhaust descriptors) and opens deeper directories by path.
constexpr size_t kMaxHeldDirs = 128;

// One path the walk produced. The metadata is read by the walk itself,
// relative to the open parent directory: one query per entry, and no path
// resolution through components that could change under us.
struct WalkItem {
  std::string rel;  // raw name bytes below the root, joined with '/'
  struct stat st{};  // valid when err == 0
  int err = 0;      // errno of a failed metadata query
};

struct Child {
  std::string name;
  struct stat st{};
  int err = 0;
};

struct Frame {
  UniqueFd fd;  // may be closed past kMaxHeldDirs
  std::vector<Child> children;
  size_t next = 0;
  size_t rel_len = 0;  // length of the directory's rel path plus its '/' (0 for the root)
  dev_t dev = 0;
  ino_t ino = 0;
};

bool is_kept_type(mode_t mode) { return S_ISDIR(mode) || S_ISREG(mode) || S_ISLNK(mode); }

class Walker {
 public:
  explicit Walker(const CaptureOptions& options) : options_(options) {
    prefix_ = options.root.native();
    if (!prefix_.empty() && prefix_.back() != '/') prefix_ += '/';
  }

  std::vector<WalkItem> run() {
    std::vector<WalkItem> items;
    if (excluded(options_.root.native())) return items;
    // The root is followed even when it is a link; an unreadable, missing or
    // non-directory root yields no entries.
    UniqueFd root(::open(options_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return items;
    struct stat st;
    if (::fstat(root.get(), &st) != 0) return items;

    std::vector<Frame> stack;
    std::string rel;
    push_frame(stack, std::move(root), rel, st);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == top.children.size()) {
        stack.pop_back();
        continue;
      }
      Child& c = top.children[top.next++];
      rel.resize(top.rel_len);
      if (top.rel_len != 0) rel.back() = '/';
      rel += c.name;
      items.push_back(WalkItem{rel, c.st, c.err});
      if (c.err != 0 || !S_ISDIR(c.st.st_mode)) continue;
      if (options_.follow_links && is_ancestor(stack, c.st)) {
        items.pop_back();  // a link loop: reported by the walk, so dropped
        continue;
      }
      UniqueFd fd = open_child_dir(top, rel, c.name);
      if (!fd) continue;  // an unlistable directory stays an entry without content
      push_frame(stack, std::move(fd), rel, c.st);
    }
    return items;
  }

  const std::string& prefix() const { return prefix_; }

 private:
  bool excluded(const std::string& full) const {
    if (options_.excludes.empty()) return false;
    std::string text = lossy_utf8(full);
    for (const auto& pattern : options_.excludes) {
      if (text.find(pattern) != std::string::npos) return true;
    }
    return false;
  }

  static bool is_ancestor(const std::vector<Frame>& stack, const struct stat& st) {
    for (const auto& f : stack) {
      if (f.dev == st.st_dev && f.ino == st.st_ino) return true;
    }
    return false;
  }

  UniqueFd open_child_dir(const Frame& parent, const std::string& rel, const std::string& name) const {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (options_.follow_links ? 0 : O_NOFOLLOW);
    if (parent.fd) return UniqueFd(::openat(parent.fd.get(), name.c_str(), flags));
    return UniqueFd(::open((prefix_ + rel).c_str(), flags));
  }

  void push_frame(std::vector<Frame>& stack, UniqueFd fd, const std::string& rel, const struct stat& st) {
    Frame f;
    f.rel_len = rel.empty() ? 0 : rel.size() + 1;
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    std::string dir_rel = rel.empty() ? std::string() : rel + "/";
    list(fd.get(), dir_rel, f.children);
    if (stack.size() < kMaxHeldDirs) f.fd = std::move(fd);
    stack.push_back(std::move(f));
  }

  // Reads one directory: every kept child with its metadata, sorted by name
  // bytes, so that emitting children depth first yields the component-wise
  // order of the whole tree without comparing full paths.
  void list(int dirfd, const std::string& dir_rel, std::vector<Child>& out) const {
    int dup = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return;
    DIR* d = ::fdopendir(dup);
    if (d == nullptr) {
      ::close(dup);
      return;
    }
    const int stat_flags = options_.follow_links ? 0 : AT_SYMLINK_NOFOLLOW;
    for (;;) {
      errno = 0;
      struct dirent* e = ::readdir(d);
      if (e == nullptr) break;  // end, or a listing error: the rest is left out
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      Child c;
      c.name.assign(name);
      if (excluded(prefix_ + dir_rel + c.name)) continue;
      if (::fstatat(dirfd, c.name.c_str(), &c.st, stat_flags) != 0) {
        c.err = errno;
        // Vanished since the listing, or (following links) a dangling link or
        // a loop: walk errors, so the entry is left out.
        if (c.err == ENOENT || c.err == ELOOP) continue;
      } else if (!is_kept_type(c.st.st_mode)) {
        continue;  // pipes, sockets and devices are never opened
      }
      out.push_back(std::move(c));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Child& a, const Child& b) { return a.name < b.name; });
  }

  const CaptureOptions& options_;
  std::string prefix_;  // the root's text followed by '/', as entries are joined to it
};

std::string mode_text(mode_t mode) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return std::string(buf, static_cast<size_t>(n));
}

std::string entry_path(const std::string& rel) {
  std::string text = lossy_utf8(rel);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

Result<std::optional<std::string>> read_link(const std::string& full, const struct stat& st) {
  size_t cap = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256;
  for (;;) {
    std::string buf(cap, '\0');
    ssize_t n = ::readlink(full.c_str(), buf.data(), buf.size());
    if (n < 0) {
      int err = errno;
      if (err == EINVAL) return std::optional<std::string>();  // no longer a link
      return errno_error(err);
    }
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return std::optional<std::string>(std::move(buf));
    }
    cap *= 2;
  }
}

// Reads a regular file through one descriptor. Returns nothing when the path
// no longer names a regular file (it was swapped for a link, a pipe or a
// device since the walk): such an entry is left out, as the walk would have.
Result<std::optional<std::string>> read_regular(const std::string& full, bool follow_links) {
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
  UniqueFd fd(::open(full.c_str(), flags));
  if (!fd) {
    int err = errno;
    if ((err == ELOOP && !follow_links) || err == ENXIO) return std::optional<std::string>();
    return errno_error(err);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno_error(errno);
  if (!S_ISREG(st.st_mode)) return std::optional<std::string>();
  auto bytes = read_fd(fd.get());
  if (!bytes) return std::unexpected(bytes.error());
  return std::optional<std::string>(std::move(*bytes));
}

Result<std::optional<FsTreeEntry>> process(BlobStore& blobs, const CaptureOptions& options, const std::string& prefix,
                                           const WalkItem& item) {
  std::string full = prefix + item.rel;
  if (item.err != 0) {
    return io_error("IO error for operation on " + lossy_utf8(full) + ": " + errno_text(item.err));
  }
  FsTreeEntry e;
  e.path = entry_path(item.rel);
  e.mode = mode_text(item.st.st_mode);
  if (S_ISDIR(item.st.st_mode)) {
    e.kind = FsEntryKind::kDir;
    e.size = 0;
    return std::optional<FsTreeEntry>(std::move(e));
  }
  if (S_ISLNK(item.st.st_mode)) {
    auto target = read_link(full, item.st);
    if (!target) return std::unexpected(target.error());
    if (!*target) return std::optional<FsTreeEntry>();
    std::string text = lossy_utf8(**target);
    auto digest = blobs.put(text);
    if (!digest) return std::unexpected(digest.error());
    e.kind = FsEntryKind::kSymlink;
    e.size = text.size();
    e.blob = std::move(*digest);
    e.link_target = std::move(text);
    return std::optional<FsTreeEntry>(std::move(e));
  }
  auto bytes = read_regular(full, options.follow_links);
  if (!bytes) return std::unexpected(bytes.error());
  if (!*bytes) return std::optional<FsTreeEntry>();
  auto digest = blobs.put(**bytes);
  if (!digest) return std::unexpected(digest.error());
  e.kind = FsEntryKind::kFile;
  e.size = (*bytes)->size();
  e.blob = std::move(*digest);
  return std::optional<FsTreeEntry>(std::move(e));
}

}  // namespace

const std::vector<std::string>& default_excludes() {
  static const std::vector<std::string> kExcludes = {".git/objects", "target", "node_modules"};
  return kExcludes;
}

Result<Digest> capture_tree(BlobStore& blobs, const CaptureOptions& options) {
  std::vector<WalkItem> items;
  std::string prefix;
  try {
    Walker walker(options);
    items = walker.run();
    prefix = walker.prefix();
  } catch (const std::bad_alloc&) {
    return errno_error(ENOMEM);
  }

  std::vector<std::optional<FsTreeEntry>> results(items.size());
  std::mutex failure_mu;
  std::optional<CoreError> failure;  // the first failure recorded; guarded by failure_mu
  std::atomic<bool> stop{false};
  auto record = [&](CoreError error) {
    {
      std::lock_guard<std::mutex> lock(failure_mu);
      if (!failure) failure = std::move(error);
    }
    stop.store(true, std::memory_order_relaxed);
  };
  unsigned workers = options.workers != 0 ? options.workers : default_file_workers();
  parallel_for(items.size(), workers, [&](size_t i) {
    if (stop.load(std::memory_order_relaxed)) return;
    try {
      auto r = process(blobs, options, prefix, items[i]);
      if (!r) {
        record(std::move(r.error()));
        return;
      }
      results[i] = std::move(*r);
    } catch (const std::bad_alloc&) {
      // A file too large to hold in memory.
      record(CoreError{ErrorKind::kIo, errno_text(ENOMEM)});
    }
  });
  if (failure) return std::unexpected(std::move(*failure));

  try {
    FsTree tree;
    tree.entries.reserve(results.size());
    for (auto& r : results) {
      if (r) tree.entries.push_back(std::move(*r));
    }
    items.clear();
    results.clear();
    return blobs.put(encode_tree(tree));
  } catch (const std::bad_alloc&) {
    return errno_error(ENOMEM);
  }
}

}  // namespace qv
