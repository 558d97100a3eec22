// Results and options shared by the layer merges and the merge driver.
// Plain values; DefaultSummarizer has no state and may be shared freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.h"
#include "core/error.h"
#include "core/records.h"

namespace qv {

enum class SideEffectClass { kPure, kIdempotent, kIrreversible, kNetworkOnly };
std::string_view side_effect_class_text(SideEffectClass c);  // "pure", "idempotent", "irreversible", "network-only"

enum class MergeStatus { kClean, kConflicted, kSkipped };
std::string_view merge_status_text(MergeStatus s);  // "clean", "conflicted", "skipped"

struct WorldConflict {
  std::string path;
  Digest a_digest;
  Digest b_digest;
  std::optional<Digest> x_digest;
};

struct WorldMergeResult {
  Digest tree;
  std::vector<WorldConflict> conflicts;
  uint32_t clean_paths = 0;
};

struct TraceMergeResult {
  Digest trace;
  std::string summary;  // "[merged from sibling] " + summarizer text
  uint32_t summary_units = 0;
};

struct ModelMergeOutcome {
  Digest merged_diff;
  bool kept_side = false;
  bool applied_task_arithmetic = false;
  bool conflicted = false;
};

// Produces the text folded into A's history from B's divergence.
class Summarizer {
 public:
  virtual ~Summarizer() = default;
  virtual Result<std::string> summarize(const std::vector<TraceMessage>& sibling,
                                        const std::vector<TraceMessage>& base, size_t limit) = 0;
};

// Quotes the last four messages in which the sibling diverged from the base.
class DefaultSummarizer final : public Summarizer {
 public:
  Result<std::string> summarize(const std::vector<TraceMessage>& sibling, const std::vector<TraceMessage>& base,
                                size_t limit) override;
};

struct MergeOptions {
  std::vector<SideEffectClass> replay_with_new_key;
  float alpha = 0.5f;
  double dare_p = 0.7;
  uint64_t seed = 0;
};

struct MergeReport {
  Digest merged_cid;
  Digest ancestor;
  TraceMergeResult trace;
  WorldMergeResult world;
  ModelMergeOutcome model;
  Digest effects;
  MergeStatus overall = MergeStatus::kClean;
};

}  // namespace qv
