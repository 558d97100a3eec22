#include "core/blob_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "core/file_util.h"

namespace qv {
namespace {

constexpr int kCompressionLevel = 19;
constexpr size_t kStagingSize = 32768;

struct CCtxDeleter {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxDeleter {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// A level-19 context for input of unknown size holds about 90 MiB of match
// tables; building and clearing them costs tens of milliseconds, far more than
// compressing a small file. A reused context keeps its tables (zstd continues
// the index instead of clearing them), so each thread keeps one for its life.
ZSTD_CCtx* thread_cctx() {
  thread_local std::unique_ptr<ZSTD_CCtx, CCtxDeleter> ctx;
  if (!ctx) ctx.reset(ZSTD_createCCtx());
  return ctx.get();
}
ZSTD_DCtx* thread_dctx() {
  thread_local std::unique_ptr<ZSTD_DCtx, DCtxDeleter> ctx;
  if (!ctx) ctx.reset(ZSTD_createDCtx());
  return ctx.get();
}

std::unexpected<CoreError> zstd_error(size_t code) { return io_error(ZSTD_getErrorName(code)); }
std::unexpected<CoreError> zstd_alloc_error() { return io_error(ZSTD_getErrorString(ZSTD_error_memory_allocation)); }

// First guess for the decompressed size, from the compressed size only: a
// frame header's declared content size is attacker-controlled and never used.
size_t initial_output_capacity(size_t compressed) {
  constexpr size_t kMin = 4096;
  constexpr size_t kMaxGuess = size_t{256} << 20;  // beyond this, grow as data really arrives
  return std::clamp(compressed > kMaxGuess / 4 ? kMaxGuess : compressed * 4, kMin, kMaxGuess);
}

// Everything written goes through a temporary in the same directory; on any
// failure before the rename it is removed again, so a failed put (a full disk
// in particular) leaves nothing behind that no one would ever clean up.
class TempFile {
 public:
  TempFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  Status close() { return fd_.close(); }
  // The name no longer refers to our file (renamed away).
  void release() { path_.clear(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

}  // namespace

Result<std::string> zstd_compress(std::string_view bytes) {
  ZSTD_CCtx* cctx = thread_cctx();
  if (cctx == nullptr) return zstd_alloc_error();
  // Also clears whatever an earlier failed call left in the session.
  ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
  size_t rc = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kCompressionLevel);
  if (ZSTD_isError(rc)) return zstd_error(rc);
  try {
    std::string out;
    out.reserve(std::min(ZSTD_compressBound(bytes.size()), bytes.size() / 2 + 64));
    char staging[kStagingSize];
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    while (in.pos < in.size) {
      ZSTD_outBuffer o{staging, sizeof staging, 0};
      rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_continue);
      if (ZSTD_isError(rc)) return zstd_error(rc);
      out.append(staging, o.pos);
    }
    do {
      ZSTD_outBuffer o{staging, sizeof staging, 0};
      rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
      if (ZSTD_isError(rc)) return zstd_error(rc);
      out.append(staging, o.pos);
    } while (rc != 0);
    return out;
  } catch (const std::bad_alloc&) {
    return errno_error(ENOMEM);
  } catch (const std::length_error&) {
    return errno_error(ENOMEM);
  }
}

Result<std::string> zstd_decompress(std::string_view compressed) {
  if (compressed.empty()) return io_error("incomplete frame");
  ZSTD_DCtx* dctx = thread_dctx();
  if (dctx == nullptr) return zstd_alloc_error();
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
  ZSTD_inBuffer in{compressed.data(), compressed.size(), 0};
  std::string out;
  size_t target = initial_output_capacity(compressed.size());
  try {
    for (;;) {
      size_t old = out.size();
      if (old == target) target = old > SIZE_MAX / 2 ? SIZE_MAX : old * 2;
      size_t rc = 0;
      // The decoder writes straight into the string's new tail: no zero-fill,
      // no staging copy.
      out.resize_and_overwrite(target, [&](char* p, size_t len) {
        ZSTD_outBuffer o{p + old, len - old, 0};
        rc = ZSTD_decompressStream(dctx, &o, &in);
        return old + (ZSTD_isError(rc) ? 0 : o.pos);
      });
      if (ZSTD_isError(rc)) return zstd_error(rc);
      if (rc == 0) {
        if (in.pos == in.size) break;
        // Another frame follows; its output is appended.
        ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
        continue;
      }
      // The decoder stops short of a full output buffer only when it needs
      // more input; with none left the stream ends inside a frame.
      if (in.pos == in.size && out.size() < target) return io_error("incomplete frame");
    }
    if (out.capacity() - out.size() > out.size() / 4 + 4096) out.shrink_to_fit();
    return out;
  } catch (const std::bad_alloc&) {
    return errno_error(ENOMEM);
  } catch (const std::length_error&) {
    return errno_error(ENOMEM);
  }
}

uint64_t LocalBlobStore::next_counter() {
  std::lock_guard<std::mutex> lock(counter_mu_);
  return ++counter_;
}

Result<Digest> LocalBlobStore::put(std::string_view bytes) {
  Digest digest = compute_digest(bytes);
  auto path = blob_path(root_, digest);
  if (!path) return std::unexpected(path.error());
  // Already stored: one status query and nothing compressed. A file at the
  // final name also proves the fan-out directory exists, so creating it is
  // only needed on the miss path. Any failure of the query counts as absent.
  struct stat st;
  if (::stat(path->c_str(), &st) == 0) return digest;
  std::filesystem::path dir = path->parent_path();
  QV_TRY(make_dirs(dir));

  auto compressed = zstd_compress(bytes);
  if (!compressed) return std::unexpected(compressed.error());

  // Created exclusively: an unrelated file (or link) already carrying the name,
  // say from a writer in another pid namespace, is never opened or followed;
  // the next counter value is taken instead.
  std::string base = path->native();
  base.resize(base.size() - 3);  // "{hex}." stays; "zst" goes
  base += "tmp.";
  base += std::to_string(::getpid());
  base += '.';
  std::string tmp_path;
  UniqueFd fd;
  for (;;) {
    tmp_path = base + std::to_string(next_counter());
    fd.reset(::open(tmp_path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (fd) break;
    if (errno != EEXIST) return errno_error(errno);
  }
  TempFile tmp(std::move(tmp_path), std::move(fd));
  QV_TRY(write_all(tmp.fd(), *compressed));
  if (::fsync(tmp.fd()) != 0) return errno_error(errno);
  QV_TRY(tmp.close());
  if (::rename(tmp.path().c_str(), path->c_str()) != 0) return errno_error(errno);  // tmp unlinks itself
  tmp.release();
  // The blob's name must survive a crash before anything that refers to it is
  // reported written.
  QV_TRY(fsync_dir(dir));
  return digest;
}

Result<std::string> LocalBlobStore::get(const Digest& digest) {
  auto path = blob_path(root_, digest);
  if (!path) return std::unexpected(path.error());
  UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    // The fan-out directory is created on every lookup; a failure to create it
    // takes precedence over the open error.
    int err = errno;
    QV_TRY(make_dirs(path->parent_path()));
    return errno_error(err);
  }
  auto raw = read_fd(fd.get());
  if (!raw) return std::unexpected(raw.error());
  fd.reset();
  auto bytes = zstd_decompress(*raw);
  if (!bytes) return std::unexpected(bytes.error());
  Digest actual = compute_digest(*bytes);
  if (actual.as_str() != digest.as_str()) {
    return integrity_error("blob " + digest.as_str() + " on disk hashes to " + actual.as_str());
  }
  return bytes;
}

Result<bool> LocalBlobStore::has(const Digest& digest) {
  auto path = blob_path(root_, digest);
  if (!path) return std::unexpected(path.error());
  struct stat st;
  if (::stat(path->c_str(), &st) == 0) return true;
  QV_TRY(make_dirs(path->parent_path()));
  return false;
}

Result<uint64_t> LocalBlobStore::physical_bytes() { return physical_size(root_ / "blobs"); }

}  // namespace qv
