// Effects merge: checks both side-effect ledgers and writes the merged-effects
// record ("effects.merged.v1") naming the three ledgers with entry counts.
// The ancestor's ledger is named, never read.
//
// Thread-safety: touches shared state only through the blob store.
#pragma once

#include <vector>

#include "core/blob_store.h"
#include "merge/merge_types.h"

namespace qv {

Result<Digest> merge_effects(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x,
                             const std::vector<SideEffectClass>& replay_with_new_key);

}  // namespace qv
