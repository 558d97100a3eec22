// The core store: a root directory holding "images" and "blobs"/"sha256".
//
// QvStore is a cheap, copyable handle to shared immutable state (root and
// blob store); copies may be used from several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/blob_store.h"
#include "core/error.h"

namespace qv {

class QvStore {
 public:
  // Creates root/images and root/blobs/sha256 (with ancestors). The root is
  // kept exactly as given, never made absolute.
  static Result<QvStore> open(const std::filesystem::path& root);

  const std::filesystem::path& root() const { return state_->root; }
  const std::shared_ptr<BlobStore>& blobs() const { return state_->blobs; }
  Result<uint64_t> physical_bytes() const { return state_->blobs->physical_bytes(); }

 private:
  struct State {
    std::filesystem::path root;
    std::shared_ptr<BlobStore> blobs;
  };
  explicit QvStore(std::shared_ptr<const State> s) : state_(std::move(s)) {}
  std::shared_ptr<const State> state_;
};

}  // namespace qv
