#include "fs/restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_util.h"
#include "core/fs_tree.h"
#include "fs/worker_pool.h"

namespace qv {
namespace {

// Blobs fetched ahead of the writer: decompressing and hashing run on other
// cores while files are written in list order.
constexpr size_t kPrefetchWindow = 64;
constexpr size_t kPrefetchBytes = size_t{64} << 20;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string quoted_path(const std::string& path) { return "\"" + path + "\""; }

// Splits an entry path into its names. Anything but plain names joined by
// single slashes ("", "/abs", "a//b", "./a", "a/..", NUL bytes) could name a
// place other than the one written, so the whole tree is refused.
Status split_path(const std::string& path, std::vector<std::string_view>& out) {
  out.clear();
  auto bad = [&] {
    return integrity_error("entry path " + quoted_path(path) + " is not a relative path of plain names");
  };
  if (path.empty() || path.find('\0') != std::string::npos) return bad();
  std::string_view rest = path;
  for (;;) {
    size_t slash = rest.find('/');
    std::string_view name = rest.substr(0, slash);
    if (name.empty() || name == "." || name == "..") return bad();
    out.push_back(name);
    if (slash == std::string_view::npos) return {};
    rest.remove_prefix(slash + 1);
  }
}

// The parent the way path components see it: trailing slashes do not make
// an empty last component ("out/" has parent "", like "out").
std::string parent_text(const std::string& target) {
  size_t end = target.size();
  while (end > 1 && target[end - 1] == '/') --end;
  std::string_view body(target.data(), end);
  size_t slash = body.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  size_t stop = slash;
  while (stop > 0 && body[stop - 1] == '/') --stop;
  if (stop == 0) return "/";
  return std::string(body.substr(0, stop));
}

int64_t now_nanos() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (ts.tv_sec > (kMax - ts.tv_nsec) / 1000000000) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Opens directories below the temporary root one name at a time, never
// following a link, and keeps the chain of the last one open: entries come
// in tree order, so consecutive entries mostly share their parents.
class DirCursor {
 public:
  explicit DirCursor(int root) : root_(root) {}

  // The directory made of the first n names, created (0777 before the umask)
  // where missing.
  Result<int> open(const std::vector<std::string_view>& names, size_t n, const std::string& entry_path) {
    size_t keep = 0;
    while (keep < open_.size() && keep < n && open_[keep].name == names[keep]) ++keep;
    open_.resize(keep);
    for (size_t j = keep; j < n; ++j) {
      int parent = j == 0 ? root_ : open_[j - 1].fd.get();
      auto fd = step(parent, names, j, j + 1 == n, entry_path);
      if (!fd) return std::unexpected(fd.error());
      open_.push_back(Level{std::string(names[j]), std::move(*fd)});
    }
    return n == 0 ? root_ : open_[n - 1].fd.get();
  }

  void close_all() { open_.clear(); }

 private:
  struct Level {
    std::string name;
    UniqueFd fd;
  };

  static Result<UniqueFd> step(int parent, const std::vector<std::string_view>& names, size_t j, bool last,
                               const std::string& entry_path) {
    std::string name(names[j]);
    UniqueFd fd(::openat(parent, name.c_str(), kDirFlags));
    if (fd) return fd;
    int err = errno;
    if (err == ENOENT) {
      if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) return errno_error(errno);
      fd.reset(::openat(parent, name.c_str(), kDirFlags));
      if (fd) return fd;
      err = errno;
    }
    if (err == ELOOP || err == ENOTDIR) {
      struct stat st;
      if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        std::string link;
        for (size_t k = 0; k <= j; ++k) {
          if (k) link += '/';
          link += names[k];
        }
        return integrity_error("entry " + entry_path + " leads through symbolic link " + link);
      }
      // Something other than a directory is in the way: "exists" where the
      // directory itself was asked for, "not a directory" further up.
      return errno_error(last ? EEXIST : ENOTDIR);
    }
    return errno_error(err);
  }

  int root_;
  std::vector<Level> open_;
};

Status write_file(int dirfd, std::string_view name, std::string_view bytes) {
  std::string n(name);
  UniqueFd fd(::openat(dirfd, n.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return errno_error(errno);
  QV_TRY(write_all(fd.get(), bytes));
  return fd.close();
}

Status make_link(int dirfd, std::string_view name, const std::string& target) {
  std::string n(name);
  if (::symlinkat(target.c_str(), dirfd, n.c_str()) != 0) return errno_error(errno);
  return {};
}

}  // namespace

Status restore_tree(BlobStore& blobs, const Digest& tree_digest, const std::filesystem::path& target) {
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    return io_error("restore_tree refuses to overwrite existing path " + path_text(target));
  }
  auto loaded = load_tree(blobs, tree_digest);
  if (!loaded) return std::unexpected(loaded.error());
  const std::vector<FsTreeEntry>& entries = loaded->entries;

  // Every path is checked before anything is written, so a hostile tree
  // leaves nothing behind.
  std::vector<std::string_view> names;
  for (const auto& e : entries) {
    QV_TRY(split_path(e.path, names));
    if (e.kind == FsEntryKind::kSymlink && e.link_target && e.link_target->find('\0') != std::string::npos) {
      return integrity_error("symlink entry " + e.path + " has a NUL byte in its link_target");
    }
  }

  const std::string parent = parent_text(target.native());
  if (!parent.empty()) QV_TRY(make_dirs(parent));
  std::string tmp_name = ".qv-restore." + std::to_string(::getpid()) + "." + std::to_string(now_nanos());
  std::string tmp = parent.empty() ? tmp_name : (parent.back() == '/' ? parent : parent + "/") + tmp_name;
  if (::mkdir(tmp.c_str(), 0777) != 0) return errno_error(errno);
  UniqueFd tmp_fd(::open(tmp.c_str(), kDirFlags));
  if (!tmp_fd) return errno_error(errno);

  std::vector<size_t> fetch;  // entries whose blob is read ahead, in list order
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind == FsEntryKind::kFile && entries[i].blob) fetch.push_back(i);
  }
  OrderedPrefetch<Result<std::string>> blobs_ahead(
      fetch.size(), available_cpus(), kPrefetchWindow, kPrefetchBytes,
      [&](size_t k) -> Result<std::string> {
        try {
          return blobs.get(*entries[fetch[k]].blob);
        } catch (const std::bad_alloc&) {
          return errno_error(ENOMEM);
        }
      },
      [](const Result<std::string>& r) { return r ? r->size() : size_t{0}; });
  size_t next_fetch = 0;

  DirCursor dirs(tmp_fd.get());
  for (const auto& e : entries) {
    if (e.kind != FsEntryKind::kDir) continue;
    QV_TRY(split_path(e.path, names));
    auto fd = dirs.open(names, names.size(), e.path);
    if (!fd) return std::unexpected(fd.error());
  }

  for (size_t i = 0; i < entries.size(); ++i) {
    const FsTreeEntry& e = entries[i];
    if (e.kind == FsEntryKind::kDir) continue;
    if (e.kind == FsEntryKind::kFile && !e.blob) return integrity_error("file entry " + e.path + " missing blob");
    if (e.kind == FsEntryKind::kSymlink && !e.link_target) {
      return integrity_error("symlink entry " + e.path + " missing link_target");
    }
    QV_TRY(split_path(e.path, names));
    if (e.kind == FsEntryKind::kFile) {
      // Taken before the parent is made, as the blob is read first.
      Result<std::string> bytes = blobs_ahead.take(next_fetch++);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      auto dirfd = dirs.open(names, names.size() - 1, e.path);
      if (!dirfd) return std::unexpected(dirfd.error());
      QV_TRY(write_file(*dirfd, names.back(), *bytes));
    } else {
      auto dirfd = dirs.open(names, names.size() - 1, e.path);
      if (!dirfd) return std::unexpected(dirfd.error());
      QV_TRY(make_link(*dirfd, names.back(), *e.link_target));
    }
  }

  dirs.close_all();
  tmp_fd.reset();
  if (::rename(tmp.c_str(), target.c_str()) != 0) return errno_error(errno);
  return {};
}

}  // namespace qv
