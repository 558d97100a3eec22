// Small POSIX file helpers shared by the store, capture and restore.
// Every error carries the system's text ("... (os error N)"). Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.h"

namespace qv {

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  // close() with its error reported (a failed close can lose written data).
  Status close();

 private:
  int fd_ = -1;
};

// mkdir -p with permission bits 0777 before the umask; existing directories are fine.
Status make_dirs(const std::filesystem::path& dir);

// Reads a whole file.
Result<std::string> read_file(const std::filesystem::path& path);
// Reads everything from an open descriptor.
Result<std::string> read_fd(int fd);

// Writes all bytes, retrying EINTR; a zero-byte write fails with
// "failed to write whole buffer".
Status write_all(int fd, std::string_view data);

// fsync of a directory, so that names created or renamed in it survive a crash.
Status fsync_dir(const std::filesystem::path& dir);

// Sum of apparent sizes of regular files below dir (links and special files
// ignored, saturating). A missing dir counts as 0.
Result<uint64_t> physical_size(const std::filesystem::path& dir);

// Path text with invalid UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& p);
// Any bytes to valid UTF-8, invalid sequences replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

}  // namespace qv
