// Content-addressed blob storage: bytes stored once, zstd-compressed, under
// the SHA-256 of their uncompressed form.
//
// Thread-safety: every operation may be called from several threads at once
// and from several processes sharing one store directory. A blob file only
// ever appears under its final name by rename of a complete, flushed file.
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
