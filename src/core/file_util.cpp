#include "core/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

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

Status make_dirs(const std::filesystem::path& dir) {
  if (dir.empty()) return {};
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return errno_error(EEXIST);
  }
  std::filesystem::path parent = dir.parent_path();
  if (!parent.empty() && parent != dir) QV_TRY(make_dirs(parent));
  if (::mkdir(dir.c_str(), 0777) != 0) {
    int err = errno;
    // Another process may have created it in the meantime.
    if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return errno_error(err);
  }
  return {};
}

Result<std::string> read_fd(int fd) {
  std::string out;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<size_t>(st.st_size));
  }
  size_t chunk = 1 << 16;
  for (;;) {
    size_t old = out.size();
    // Read straight into the string; the size hint may be wrong, so keep going to EOF.
    size_t want = out.capacity() > old ? out.capacity() - old : chunk;
    if (want < 4096) want = chunk;
    out.resize(old + want);
    ssize_t n = ::read(fd, out.data() + old, want);
    if (n < 0) {
      if (errno == EINTR) {
        out.resize(old);
        continue;
      }
      return errno_error(errno);
    }
    out.resize(old + static_cast<size_t>(n));
    if (n == 0) break;
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

Result<uint64_t> walk_size(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return errno_error(errno);
  uint64_t total = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) {
      int err = errno;
      ::closedir(d);
      if (err != 0) return errno_error(err);
      return total;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child = dir + "/" + std::string(name);
    struct stat st;
    if (::lstat(child.c_str(), &st) != 0) {
      int err = errno;
      ::closedir(d);
      return errno_error(err);
    }
    if (S_ISREG(st.st_mode)) {
      total = add_saturating(total, static_cast<uint64_t>(st.st_size));
    } else if (S_ISDIR(st.st_mode)) {
      auto sub = walk_size(child);
      if (!sub) {
        ::closedir(d);
        return sub;
      }
      total = add_saturating(total, *sub);
    }
  }
}

}  // namespace

Result<uint64_t> physical_size(const std::filesystem::path& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return uint64_t{0};
  return walk_size(dir.string());
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
