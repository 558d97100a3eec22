#include "merge/engine.h"

#include "core/manifest.h"
#include "core/time.h"
#include "merge/effects_merge.h"
#include "merge/model_merge.h"
#include "merge/trace_merge.h"
#include "merge/utf8_cut.h"
#include "merge/world_merge.h"

namespace qv {

std::string MergeError::text() const {
  if (kind == Kind::kAncestor) return "ancestor: " + ancestor.text();
  return "layer: " + layer.embedded();
}

std::string short_fingerprint(std::string_view fingerprint) {
  return std::string(utf8_prefix(fingerprint, 8));
}

namespace {

std::unexpected<MergeError> layer_error(CoreError e) {
  MergeError m{MergeError::Kind::kLayer, AncestorError{}, std::move(e)};
  return std::unexpected(std::move(m));
}

}  // namespace

std::expected<MergeReport, MergeError> merge_images(const QvStore& store, const Digest& a, const Digest& b,
                                                    Summarizer& summarizer, const MergeOptions& options,
                                                    const std::optional<Digest>& ancestor_override) {
  Digest x;
  if (ancestor_override) {
    x = *ancestor_override;  // taken as given, not checked against the histories
  } else {
    auto found = find_common_ancestor(store, a, b);
    if (!found) {
      MergeError m{MergeError::Kind::kAncestor, std::move(found).error(), CoreError{ErrorKind::kIo, ""}};
      return std::unexpected(std::move(m));
    }
    x = std::move(*found);
  }

  auto ma = get_manifest(store, a);
  if (!ma) return layer_error(std::move(ma).error());
  auto mb = get_manifest(store, b);
  if (!mb) return layer_error(std::move(mb).error());
  auto mx = get_manifest(store, x);
  if (!mx) return layer_error(std::move(mx).error());

  BlobStore& blobs = *store.blobs();

  // Fixed order; the first failing layer ends the merge.
  auto trace = merge_trace(blobs, ma->trace.messages, mb->trace.messages, mx->trace.messages, summarizer);
  if (!trace) return layer_error(std::move(trace).error());
  auto world = merge_world(blobs, ma->world.fs, mb->world.fs, mx->world.fs);
  if (!world) return layer_error(std::move(world).error());
  auto effects = merge_effects(blobs, ma->effects.ledger, mb->effects.ledger, mx->effects.ledger,
                               options.replay_with_new_key);
  if (!effects) return layer_error(std::move(effects).error());
  auto model = merge_model_layers(blobs, ma->model.diff, mb->model.diff, options.alpha, options.dare_p, options.seed);
  if (!model) return layer_error(std::move(model).error());

  // Everything not merged is A's, by digest.
  Manifest merged;
  merged.schema_version = 1;
  merged.media_type = std::string(kMediaType);
  merged.agent.kind = ma->agent.kind;
  merged.agent.version = ma->agent.version;
  merged.agent.fingerprint =
      "merge:" + short_fingerprint(ma->agent.fingerprint) + "+" + short_fingerprint(mb->agent.fingerprint);
  merged.model.base = ma->model.base;
  merged.model.diff = model->merged_diff;
  merged.cache = ma->cache;
  merged.world.fs = world->tree;
  merged.world.env = ma->world.env;
  merged.world.procs = ma->world.procs;
  merged.effects.ledger = *effects;
  merged.trace.messages = trace->trace;
  merged.created_at = now_utc();
  merged.parents = {a, b};

  auto cid = put_manifest(store, merged);
  if (!cid) return layer_error(std::move(cid).error());

  MergeReport report;
  report.merged_cid = std::move(*cid);
  report.ancestor = std::move(x);
  report.trace = std::move(*trace);
  report.world = std::move(*world);
  report.model = std::move(*model);
  report.effects = std::move(*effects);
  report.overall = (!report.world.conflicts.empty() || report.model.conflicted) ? MergeStatus::kConflicted
                                                                                 : MergeStatus::kClean;
  return report;
}

}  // namespace qv
