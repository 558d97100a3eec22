// Model layer merge: combines the model diffs of A and B by kind, every pair
// of vectors both sides hold through dare then ties_merge.
#pragma once

#include <cstdint>

#include "core/blob_store.h"
#include "merge/merge_types.h"

namespace qv {

inline constexpr double kTiesKeepTop = 0.2;

Result<ModelMergeOutcome> merge_model_layers(BlobStore& blobs, const Digest& a, const Digest& b, float alpha,
                                             double dare_p, uint64_t seed);

}  // namespace qv
