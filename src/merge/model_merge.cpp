#include "merge/model_merge.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "model/delta.h"
#include "model/model_diff.h"

namespace qv {
namespace {

// Knobs every vector pair shares.
struct PairMerge {
  float alpha;
  double dare_p;

  // dare on each side with its own seed, then TIES on the two results.
  Result<FloatVec> operator()(std::span<const float> a, std::span<const float> b, uint64_t seed_a,
                              uint64_t seed_b) const {
    auto da = dare(a, dare_p, seed_a);
    if (!da) return std::unexpected(da.error());
    auto db = dare(b, dare_p, seed_b);
    if (!db) return std::unexpected(db.error());
    const std::span<const float> views[] = {*da, *db};
    return ties_merge(views, kTiesKeepTop, alpha);
  }
};

// Visits the union of the keys of two ordered maps in ascending order,
// calling f(key, a_value_or_null, b_value_or_null).
template <class Map, class F>
Status for_each_union(Map& a, Map& b, F&& f) {
  auto ia = a.begin();
  auto ib = b.begin();
  while (ia != a.end() || ib != b.end()) {
    if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
      QV_TRY(f(ia->first, &ia->second, nullptr));
      ++ia;
    } else if (ia == a.end() || ib->first < ia->first) {
      QV_TRY(f(ib->first, nullptr, &ib->second));
      ++ib;
    } else {
      QV_TRY(f(ia->first, &ia->second, &ib->second));
      ++ia;
      ++ib;
    }
  }
  return {};
}

using LoraKey = std::pair<uint32_t, std::string>;  // layer numerically, then matrix byte-wise

std::map<LoraKey, LoraAdapter*> index_adapters(LoraDelta& d) {
  std::map<LoraKey, LoraAdapter*> index;
  // A later adapter with the same key replaces the earlier one.
  for (LoraAdapter& a : d.adapters) index[{a.layer_id, a.matrix}] = &a;
  return index;
}

std::string shape_text(const LoraAdapter& a) {
  std::string s = "(";
  s += std::to_string(a.rank);
  s += '/';
  s += std::to_string(a.in_dim);
  s += '/';
  s += std::to_string(a.out_dim);
  s += ')';
  return s;
}

Result<LoraDelta> combine(LoraDelta& a, LoraDelta& b, const PairMerge& merge, uint64_t seed) {
  auto ia = index_adapters(a);
  auto ib = index_adapters(b);
  LoraDelta out;
  out.adapters.reserve(ia.size() + ib.size());
  QV_TRY(for_each_union(ia, ib, [&](const LoraKey&, LoraAdapter** pa, LoraAdapter** pb) -> Status {
    if (!pa || !pb) {
      out.adapters.push_back(std::move(pa ? **pa : **pb));
      return {};
    }
    LoraAdapter& x = **pa;
    const LoraAdapter& y = **pb;
    if (x.rank != y.rank || x.in_dim != y.in_dim || x.out_dim != y.out_dim) {
      return integrity_error("LoRA shape mismatch on layer " + std::to_string(x.layer_id) + " matrix " + x.matrix +
                             ": A=" + shape_text(x) + " B=" + shape_text(y));
    }
    // The same four seeds serve every adapter.
    auto merged_a = merge(x.a, y.a, seed, seed + 1);
    if (!merged_a) return std::unexpected(merged_a.error());
    auto merged_b = merge(x.b, y.b, seed + 2, seed + 3);
    if (!merged_b) return std::unexpected(merged_b.error());
    x.a = std::move(*merged_a);
    x.b = std::move(*merged_b);
    out.adapters.push_back(std::move(x));
    return {};
  }));
  return out;
}

Result<FullDelta> combine(FullDelta& a, FullDelta& b, const PairMerge& merge, uint64_t seed) {
  FullDelta out;
  uint64_t i = 0;  // every name of the union takes a number, shared or not
  QV_TRY(for_each_union(a.params, b.params, [&](const std::string& name, FloatVec* va, FloatVec* vb) -> Status {
    const uint64_t number = i++;
    if (!va || !vb) {
      out.params.emplace(name, std::move(va ? *va : *vb));
      return {};
    }
    if (va->size() != vb->size()) {
      return integrity_error("Full param " + name + ": A.len " + std::to_string(va->size()) + " \u2260 B.len " +
                             std::to_string(vb->size()));
    }
    auto merged = merge(*va, *vb, seed + number, seed + (number ^ 255));
    if (!merged) return std::unexpected(merged.error());
    // The inputs are no longer needed; dropping them keeps peak memory near
    // one copy of the diffs.
    FloatVec().swap(*va);
    FloatVec().swap(*vb);
    out.params.emplace(name, std::move(*merged));
    return {};
  }));
  return out;
}

Result<IA3Delta> combine(IA3Delta& a, IA3Delta& b, const PairMerge& merge, uint64_t seed) {
  IA3Delta out;
  uint64_t c = 0;  // counts merged pairs across all layers
  QV_TRY(for_each_union(a.scaling, b.scaling, [&](const std::string& layer, ParamMap* ma, ParamMap* mb) -> Status {
    ParamMap& merged_layer = out.scaling[layer];
    ParamMap empty_a, empty_b;
    ParamMap& la = ma ? *ma : empty_a;
    ParamMap& lb = mb ? *mb : empty_b;
    return for_each_union(la, lb, [&](const std::string& matrix, FloatVec* va, FloatVec* vb) -> Status {
      if (!va || !vb) {
        merged_layer.emplace(matrix, std::move(va ? *va : *vb));
        return {};
      }
      if (va->size() != vb->size()) {
        return integrity_error("IA3 layer " + layer + " matrix " + matrix + ": len mismatch " +
                               std::to_string(va->size()) + " \u2260 " + std::to_string(vb->size()));
      }
      auto merged = merge(*va, *vb, seed + c, seed + 1 + c);
      if (!merged) return std::unexpected(merged.error());
      c += 2;
      FloatVec().swap(*va);
      FloatVec().swap(*vb);
      merged_layer.emplace(matrix, std::move(*merged));
      return {};
    });
  }));
  return out;
}

InPlaceTttDelta combine(InPlaceTttDelta& a, InPlaceTttDelta& b) {
  InPlaceTttDelta out;
  out.steps = std::move(a.steps);
  out.steps.insert(out.steps.end(), std::make_move_iterator(b.steps.begin()), std::make_move_iterator(b.steps.end()));
  // Stable, so equal step ids keep A's steps before B's.
  std::stable_sort(out.steps.begin(), out.steps.end(),
                   [](const TttStep& x, const TttStep& y) { return x.step_id < y.step_id; });
  return out;
}

Result<ModelDiff> combine_same_kind(ModelDiff& a, ModelDiff& b, const PairMerge& merge, uint64_t seed) {
  switch (a.index()) {
    case 0: {
      auto r = combine(std::get<LoraDelta>(a), std::get<LoraDelta>(b), merge, seed);
      if (!r) return std::unexpected(r.error());
      return ModelDiff(std::move(*r));
    }
    case 1: {
      auto r = combine(std::get<IA3Delta>(a), std::get<IA3Delta>(b), merge, seed);
      if (!r) return std::unexpected(r.error());
      return ModelDiff(std::move(*r));
    }
    case 2: {
      auto r = combine(std::get<FullDelta>(a), std::get<FullDelta>(b), merge, seed);
      if (!r) return std::unexpected(r.error());
      return ModelDiff(std::move(*r));
    }
    default: return ModelDiff(combine(std::get<InPlaceTttDelta>(a), std::get<InPlaceTttDelta>(b)));
  }
}

}  // namespace

Result<ModelMergeOutcome> merge_model_layers(BlobStore& blobs, const Digest& a, const Digest& b, float alpha,
                                             double dare_p, uint64_t seed) {
  auto da = get_diff(blobs, a);
  if (!da) return std::unexpected(da.error());
  auto db = get_diff(blobs, b);
  if (!db) return std::unexpected(db.error());

  ModelMergeOutcome outcome;
  // Every result leaves through put_diff, so even a side taken unchanged is
  // re-stored in canonical form.
  auto store = [&](ModelDiff&& d) -> Status {
    auto digest = put_diff(blobs, std::move(d));
    if (!digest) return std::unexpected(digest.error());
    outcome.merged_diff = std::move(*digest);
    return {};
  };
  if (entry_count(*db) == 0) {
    QV_TRY(store(std::move(*da)));
    outcome.kept_side = true;
    return outcome;
  }
  if (entry_count(*da) == 0) {
    QV_TRY(store(std::move(*db)));
    outcome.kept_side = true;
    return outcome;
  }
  if (da->index() != db->index()) {
    QV_TRY(store(std::move(*da)));
    outcome.conflicted = true;
    return outcome;
  }
  const bool arithmetic = !std::holds_alternative<InPlaceTttDelta>(*da);
  auto merged = combine_same_kind(*da, *db, PairMerge{alpha, dare_p}, seed);
  if (!merged) return std::unexpected(merged.error());
  // The inputs were consumed by the combination; free what is left of them
  // before the merged text is built.
  *da = LoraDelta{};
  *db = LoraDelta{};
  QV_TRY(store(std::move(*merged)));
  outcome.applied_task_arithmetic = arithmetic;
  return outcome;
}

}  // namespace qv
