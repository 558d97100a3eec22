#include "core/blob_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <new>

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

// The level-19 context is large (tens of MiB of tables); creating one per blob
// dominates the cost of small files, so each thread keeps one.
ZSTD_CCtx* thread_cctx() {
  thread_local std::unique_ptr<ZSTD_CCtx, CCtxDeleter> ctx(ZSTD_createCCtx());
  return ctx.get();
}
ZSTD_DCtx* thread_dctx() {
  thread_local std::unique_ptr<ZSTD_DCtx, DCtxDeleter> ctx(ZSTD_createDCtx());
  return ctx.get();
}

std::unexpected<CoreError> zstd_error(size_t code) { return io_error(ZSTD_getErrorName(code)); }

}  // namespace

Result<std::string> zstd_compress(std::string_view bytes) {
  ZSTD_CCtx* cctx = thread_cctx();
  if (cctx == nullptr) return io_error("Allocation error : not enough memory");
  ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
  size_t rc = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kCompressionLevel);
  if (ZSTD_isError(rc)) return zstd_error(rc);
  try {
    std::string out;
    out.reserve(ZSTD_compressBound(bytes.size()) / 2 + 64);
    char staging[kStagingSize];
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    while (in.pos < in.size) {
      ZSTD_outBuffer o{staging, sizeof staging, 0};
      rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_continue);
      if (ZSTD_isError(rc)) return zstd_error(rc);
      out.append(staging, o.pos);
    }
    for (;;) {
      ZSTD_outBuffer o{staging, sizeof staging, 0};
      rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
      if (ZSTD_isError(rc)) return zstd_error(rc);
      out.append(staging, o.pos);
      if (rc == 0) break;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return io_error("out of memory while compressing");
  }
}

Result<std::string> zstd_decompress(std::string_view compressed) {
  ZSTD_DCtx* dctx = thread_dctx();
  if (dctx == nullptr) return io_error("Allocation error : not enough memory");
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
  if (compressed.empty()) return io_error("incomplete frame");
  try {
    std::string out;
    // Grow from what the input suggests, never from a declared content size.
    size_t cap = compressed.size() * 4 < (1u << 16) ? (1u << 16) : compressed.size() * 4;
    out.resize(cap);
    size_t produced = 0;
    ZSTD_inBuffer in{compressed.data(), compressed.size(), 0};
    size_t last = 1;
    while (in.pos < in.size) {
      if (produced == out.size()) out.resize(out.size() * 2);
      ZSTD_outBuffer o{out.data() + produced, out.size() - produced, 0};
      last = ZSTD_decompressStream(dctx, &o, &in);
      if (ZSTD_isError(last)) return zstd_error(last);
      produced += o.pos;
      if (last == 0 && in.pos < in.size) {
        // A frame ended and another follows.
        ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
        last = 1;
      }
    }
    // Input is exhausted; drain what the decoder still holds for the frame.
    while (last != 0) {
      if (produced == out.size()) out.resize(out.size() * 2);
      ZSTD_outBuffer o{out.data() + produced, out.size() - produced, 0};
      last = ZSTD_decompressStream(dctx, &o, &in);
      if (ZSTD_isError(last)) return zstd_error(last);
      produced += o.pos;
      if (last != 0 && o.pos < o.size) return io_error("incomplete frame");
    }
    out.resize(produced);
    out.shrink_to_fit();
    return out;
  } catch (const std::bad_alloc&) {
    return io_error("out of memory while decompressing");
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
  std::filesystem::path dir = path->parent_path();
  QV_TRY(make_dirs(dir));
  struct stat st;
  if (::stat(path->c_str(), &st) == 0) return digest;

  auto compressed = zstd_compress(bytes);
  if (!compressed) return std::unexpected(compressed.error());

  // Create the temporary exclusively: another writer in another PID namespace
  // may carry the same pid; on a clash take the next counter value.
  std::filesystem::path tmp;
  UniqueFd fd;
  std::string base = path->string();
  base.resize(base.size() - 3);  // drop "zst"
  std::string pid = std::to_string(::getpid());
  for (;;) {
    tmp = base + "tmp." + pid + "." + std::to_string(next_counter());
    fd.reset(::open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (fd) break;
    if (errno != EEXIST) return errno_error(errno);
  }
  QV_TRY(write_all(fd.get(), *compressed));
  if (::fsync(fd.get()) != 0) return errno_error(errno);
  QV_TRY(fd.close());
  if (::rename(tmp.c_str(), path->c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return errno_error(err);
  }
  // The new name must be durable before any record naming it is reported written.
  QV_TRY(fsync_dir(dir));
  return digest;
}

Result<std::string> LocalBlobStore::get(const Digest& digest) {
  auto path = blob_path(root_, digest);
  if (!path) return std::unexpected(path.error());
  QV_TRY(make_dirs(path->parent_path()));
  auto raw = read_file(*path);
  if (!raw) return std::unexpected(raw.error());
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
  QV_TRY(make_dirs(path->parent_path()));
  struct stat st;
  return ::stat(path->c_str(), &st) == 0;
}

Result<uint64_t> LocalBlobStore::physical_bytes() { return physical_size(root_ / "blobs"); }

}  // namespace qv
