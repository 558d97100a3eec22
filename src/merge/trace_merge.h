// Trace merge: A's history plus one system message summarising B's divergence from X.
//
// Thread-safety: touches shared state only through the blob store and the
// summarizer it is given.
#pragma once

#include "core/blob_store.h"
#include "merge/merge_types.h"

namespace qv {

inline constexpr size_t kSummaryLimit = 1024;

Result<TraceMergeResult> merge_trace(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x,
                                     Summarizer& summarizer);

}  // namespace qv
