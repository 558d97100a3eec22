#include "core/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

namespace qv {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Status UniqueFd::close() {
  int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return errno_error(errno);
  return {};
}

namespace {

bool is_dir(const std::filesystem::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir first, so that the error reported is the one mkdir gives for the
// deepest component that cannot be created (ENOTDIR under a regular file,
// EEXIST for a file in the directory's place, EACCES, EROFS, ...).
Status make_dirs_slow(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err != ENOENT) {
    // Also covers another process creating it in the meantime.
    if (is_dir(dir)) return {};
    return errno_error(err);
  }
  std::filesystem::path parent = dir.parent_path();
  if (parent.empty() || parent == dir) return errno_error(err);
  QV_TRY(make_dirs_slow(parent));
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  err = errno;
  if (is_dir(dir)) return {};
  return errno_error(err);
}

}  // namespace

Status make_dirs(const std::filesystem::path& dir) {
  if (dir.empty()) return {};
  // Nearly every call finds the directory in place: one status query.
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return make_dirs_slow(dir);
}

Result<std::string> read_fd(int fd) {
  std::string out;
  struct stat st;
  // One byte beyond the expected size lets the end of file show up without
  // growing (and copying) the buffer; a file that grew meanwhile still reads whole.
  size_t target = 1 << 16;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    target = static_cast<size_t>(st.st_size) + 1;
  }
  try {
    for (;;) {
      size_t old = out.size();
      if (old == target) target = old * 2;
      ssize_t n = 0;
      int err = 0;
      // No zero-filling: read() writes straight into the new tail.
      out.resize_and_overwrite(target, [&](char* p, size_t len) {
        n = ::read(fd, p + old, len - old);
        if (n < 0) {
          err = errno;
          return old;
        }
        return old + static_cast<size_t>(n);
      });
      if (n < 0) {
        if (err == EINTR) continue;
        return errno_error(err);
      }
      if (n == 0) break;
    }
  } catch (const std::bad_alloc&) {
    return errno_error(ENOMEM);
  } catch (const std::length_error&) {
    return errno_error(ENOMEM);
  }
  return out;
}

Result<std::string> read_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno_error(errno);
  return read_fd(fd.get());
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (n == 0) return io_error("failed to write whole buffer");
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Status fsync_dir(const std::filesystem::path& dir) {
  UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno_error(errno);
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return errno_error(errno);
  return {};
}

namespace {

uint64_t add_saturating(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Works relative to the open directory: no path rebuilding per entry, and no
// PATH_MAX limit however deep a stray tree under the blob directory goes.
Result<uint64_t> walk_size(DirPtr d) {
  uint64_t total = 0;
  int dfd = ::dirfd(d.get());
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      if (errno != 0) return errno_error(errno);
      return total;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno_error(errno);
    if (S_ISREG(st.st_mode)) {
      total = add_saturating(total, static_cast<uint64_t>(st.st_size));
    } else if (S_ISDIR(st.st_mode)) {
      // O_NOFOLLOW: an entry swapped for a link after the status query is not followed.
      int fd = ::openat(dfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return errno_error(errno);
      DirPtr sub(::fdopendir(fd));
      if (!sub) {
        int err = errno;
        ::close(fd);
        return errno_error(err);
      }
      auto size = walk_size(std::move(sub));
      if (!size) return size;
      total = add_saturating(total, *size);
    }
  }
}

}  // namespace

Result<uint64_t> physical_size(const std::filesystem::path& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return uint64_t{0};
  DirPtr d(::opendir(dir.c_str()));
  if (!d) return errno_error(errno);
  return walk_size(std::move(d));
}

bool is_valid_utf8(std::string_view s) {
  size_t i = 0, n = s.size();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::string lossy_utf8(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  // Replacement follows the "maximal subpart" practice: each maximal invalid
  // prefix of a sequence becomes one U+FFFD.
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (len == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      unsigned char cc = p[i + k];
      unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (cc < l || cc > h) break;
    }
    if (k == len) {
      out.append(reinterpret_cast<const char*>(p + i), len);
    } else {
      out += kReplacement;
    }
    i += k;
  }
  return out;
}

std::string path_text(const std::filesystem::path& p) { return lossy_utf8(p.native()); }

}  // namespace qv
