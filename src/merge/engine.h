// The merge driver: two stored images -> a merged image with parents [a, b].
// Layer merges run in the order trace, world, effects, model; the merged
// manifest is the last write, so a failed merge leaves only unreferenced blobs.
//
// Runs on the calling thread; state is shared only through the store, which
// is thread-safe. The summarizer is called once, on the calling thread.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "core/digest.h"
#include "core/error.h"
#include "core/store.h"
#include "merge/ancestor.h"
#include "merge/merge_types.h"

namespace qv {

// Ancestor: the search failed; Layer: a manifest, layer merge or the final write failed.
struct MergeError {
  enum class Kind { kAncestor, kLayer } kind;
  AncestorError ancestor;  // set for kAncestor
  CoreError layer;         // set for kLayer
  // "ancestor: {ancestor text}" or "layer: {embedded core error}".
  std::string text() const;
};

std::expected<MergeReport, MergeError> merge_images(const QvStore& store, const Digest& a, const Digest& b,
                                                    Summarizer& summarizer, const MergeOptions& options,
                                                    const std::optional<Digest>& ancestor_override);

// The fingerprint when at most 8 bytes, else its first 8 bytes cut back to a
// whole UTF-8 character.
std::string short_fingerprint(std::string_view fingerprint);

}  // namespace qv
