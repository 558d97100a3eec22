// Content-addressed blob storage: bytes stored once, zstd-compressed, under
// the SHA-256 of their uncompressed form, at root/blobs/sha256/{hex[0..2]}/{hex}.zst.
//
// A blob is written as one zstd frame (level 19, no dictionary, no checksum,
// size not announced in advance) to "{hex}.tmp.{pid}.{n}" in the same directory,
// flushed, renamed onto its final name, and the directory flushed. A file only
// ever appears under its final name complete; a failed write removes its
// temporary again (a crash may leave one, never a final-named partial file).
// Reads decode any number of concatenated frames and check the digest, so a
// damaged or foreign file yields Io or Integrity, never wrong bytes. Output
// buffers grow with the data actually produced, never from a size a frame
// header claims.
//
// Thread-safety: every operation may be called from several threads at once
// and from several processes sharing one store directory. The temporary-name
// counter is the only shared mutable state (under a mutex). Each thread keeps
// one compression context (about 90 MiB once used) and one decompression
// context for its lifetime.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/digest.h"
#include "core/error.h"

namespace qv {

class BlobStore {
 public:
  virtual ~BlobStore() = default;
  // Stores the bytes (a no-op when already stored) and returns their digest.
  [[nodiscard]] virtual Result<Digest> put(std::string_view bytes) = 0;
  // The bytes of a digest, checked to hash to it (Io or Integrity otherwise).
  [[nodiscard]] virtual Result<std::string> get(const Digest& digest) = 0;
  [[nodiscard]] virtual Result<bool> has(const Digest& digest) = 0;
  // Apparent size of every regular file under the blob directory.
  [[nodiscard]] virtual Result<uint64_t> physical_bytes() = 0;
};

class LocalBlobStore final : public BlobStore {
 public:
  explicit LocalBlobStore(std::filesystem::path root) : root_(std::move(root)) {}

  Result<Digest> put(std::string_view bytes) override;
  Result<std::string> get(const Digest& digest) override;
  Result<bool> has(const Digest& digest) override;
  Result<uint64_t> physical_bytes() override;

  const std::filesystem::path& root() const { return root_; }

 private:
  uint64_t next_counter();

  std::filesystem::path root_;
  std::mutex counter_mu_;
  uint64_t counter_ = 0;  // guarded by counter_mu_
};

// One zstd frame at level 19 (thread-local reusable context).
Result<std::string> zstd_compress(std::string_view bytes);
// All concatenated frames of a zstd stream. Output grows as data is really
// produced; frame headers' declared sizes are never trusted.
Result<std::string> zstd_decompress(std::string_view compressed);

}  // namespace qv
