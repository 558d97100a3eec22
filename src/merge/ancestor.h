// Common-ancestor search over the parents lists of stored manifests: both
// sides walk breadth first, alternating one visit at a time (A first).
//
// Reads manifests only and keeps nothing between calls; safe to call from
// several threads on one store.
#pragma once

#include <expected>
#include <string>

#include "core/digest.h"
#include "core/error.h"
#include "core/store.h"

namespace qv {

struct AncestorError {
  enum class Kind { kNoCommonAncestor, kMultiParent, kStore } kind = Kind::kStore;
  Digest a, b;      // kNoCommonAncestor
  Digest cid;       // kMultiParent
  CoreError store{ErrorKind::kIo, ""};  // kStore
  std::string text() const;
};

std::expected<Digest, AncestorError> find_common_ancestor(const QvStore& store, const Digest& a, const Digest& b);

}  // namespace qv
