// Model deltas ("model.diff.v1"): LoRA adapters, IA3 scaling vectors, full
// parameter deltas and in-place test-time-training steps, all 32-bit floats.
// Written only by put_diff (canonical order, shape check) and read only by get_diff.
// Values are plain data; the functions keep no state and are thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/error.h"

namespace qv {

inline constexpr std::string_view kModelDiffLayout = "model.diff.v1";

// Ordered maps: std::string compares byte-wise, so keys iterate in byte order.
using FloatVec = std::vector<float>;
using ParamMap = std::map<std::string, FloatVec>;

struct LoraAdapter {
  uint32_t layer_id = 0;
  std::string matrix;
  uint32_t rank = 0;
  uint32_t in_dim = 0;
  uint32_t out_dim = 0;
  FloatVec a;  // rank x in_dim
  FloatVec b;  // out_dim x rank
  friend bool operator==(const LoraAdapter&, const LoraAdapter&) = default;
};
struct LoraDelta {
  std::vector<LoraAdapter> adapters;
  friend bool operator==(const LoraDelta&, const LoraDelta&) = default;
};
struct IA3Delta {
  std::map<std::string, ParamMap> scaling;  // layer -> matrix -> vector
  friend bool operator==(const IA3Delta&, const IA3Delta&) = default;
};
struct FullDelta {
  ParamMap params;
  friend bool operator==(const FullDelta&, const FullDelta&) = default;
};
struct TttStep {
  uint32_t step_id = 0;
  ParamMap deltas;
  friend bool operator==(const TttStep&, const TttStep&) = default;
};
struct InPlaceTttDelta {
  std::vector<TttStep> steps;
  friend bool operator==(const InPlaceTttDelta&, const InPlaceTttDelta&) = default;
};

// Variant order is the declaration order: Lora, Ia3, Full, InPlaceTtt.
using ModelDiff = std::variant<LoraDelta, IA3Delta, FullDelta, InPlaceTttDelta>;

struct Envelope {
  std::string layout{kModelDiffLayout};
  ModelDiff diff;
};

std::string_view model_diff_kind_text(const ModelDiff& d);  // "lora", "ia3", "full", "in-place-ttt"
// Adapters, layers of scaling, params, or steps.
size_t entry_count(const ModelDiff& d);

// Canonical sorts (stable), then the LoRA shape check, then a check that every
// float is finite (a non-finite one would be written as null, which no reader
// takes back), in place. Failures are Integrity.
Status canonicalize_diff(ModelDiff& d);
// Canonical text of an already canonical diff.
std::string encode_diff(const ModelDiff& d);
// Reading rules of the document, including the layout check (Integrity).
Result<ModelDiff> decode_diff(std::string_view bytes);

Result<Digest> put_diff(BlobStore& blobs, ModelDiff diff);
Result<ModelDiff> get_diff(BlobStore& blobs, const Digest& digest);

}  // namespace qv
