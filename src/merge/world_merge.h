// Three-way merge of filesystem trees, path by path, with conflict files.
// Compares by digest only; reads blobs only for conflicting paths.
// Paths are merged in plain byte order of their texts.
//
// Thread-safety: touches shared state only through the blob store.
#pragma once

#include "core/blob_store.h"
#include "merge/merge_types.h"

namespace qv {

Result<WorldMergeResult> merge_world(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x);

}  // namespace qv
