#include "merge/effects_merge.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"

namespace qv {
namespace {

constexpr std::string_view kLedgerKind = "effects.ledger.v1";
constexpr std::string_view kMergedKind = "effects.merged.v1";

// Calls f on every non-empty line (a zero-byte piece between line feeds is not a line).
template <class F>
Status for_each_line(std::string_view text, F&& f) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) QV_TRY(f(text.substr(start, end - start)));
    start = end + 1;
  }
  return {};
}

// One line as one JSON value, white space around it allowed.
Result<JsonValue> decode_line(std::string_view line) {
  JsonReader r(line);
  auto v = r.read_value();
  if (!v) return v;
  QV_TRY(r.finish());
  return v;
}

Status check_header(std::string_view line) {
  auto v = decode_line(line);
  if (!v) return std::unexpected(std::move(v).error());
  if (const auto* obj = std::get_if<JsonValue::Object>(&v->v)) {
    auto it = obj->find("kind");
    if (it != obj->end()) {
      const auto* kind = std::get_if<std::string>(&it->second.v);
      if (kind != nullptr && *kind == kLedgerKind) return {};
    }
  }
  return integrity_error("expected " + std::string(kLedgerKind) + ", got " + to_json_text(*v));
}

bool is_irreversible(const JsonValue& entry) {
  const auto* obj = std::get_if<JsonValue::Object>(&entry.v);
  if (obj == nullptr) return false;
  auto it = obj->find("side_effect_class");
  if (it == obj->end()) return false;
  const auto* cls = std::get_if<std::string>(&it->second.v);
  return cls != nullptr && *cls == side_effect_class_text(SideEffectClass::kIrreversible);
}

struct LedgerCounts {
  uint64_t entries = 0;
  uint64_t irreversible = 0;
};

// Checks the header; entries are decoded only when `decode_entries` is set
// (A's are counted as lines, B's must be JSON and are classified).
Result<LedgerCounts> read_ledger(std::string_view text, bool decode_entries) {
  LedgerCounts counts;
  bool header_seen = false;
  QV_TRY(for_each_line(text, [&](std::string_view line) -> Status {
    if (!header_seen) {
      header_seen = true;
      return check_header(line);
    }
    ++counts.entries;
    if (decode_entries) {
      auto v = decode_line(line);
      if (!v) return std::unexpected(std::move(v).error());
      if (is_irreversible(*v)) ++counts.irreversible;
    }
    return {};
  }));
  return counts;
}

std::string encode_merged(const Digest& a, const Digest& b, const Digest& x,
                          const std::vector<SideEffectClass>& replay, const LedgerCounts& ca,
                          const LedgerCounts& cb) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("kind");
  w.string(kMergedKind);
  w.key("parent_a");
  w.string(a.as_str());
  w.key("parent_b");
  w.string(b.as_str());
  w.key("ancestor");
  w.string(x.as_str());
  w.key("replay_with_new_key");
  w.begin_array();
  for (SideEffectClass c : replay) w.string(side_effect_class_text(c));
  w.end_array();
  w.key("summary");
  w.begin_object();
  w.key("a_entries");
  w.u64(ca.entries);
  w.key("b_entries");
  w.u64(cb.entries);
  w.key("b_irreversible_cached");
  w.u64(cb.irreversible);
  w.end_object();
  w.end_object();
  return out;
}

}  // namespace

Result<Digest> merge_effects(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x,
                             const std::vector<SideEffectClass>& replay_with_new_key) {
  // Both ledgers are read and checked before anything is written. The
  // ancestor's ledger is named, never read.
  auto ledger_a = blobs.get(a);
  if (!ledger_a) return std::unexpected(std::move(ledger_a).error());
  auto counts_a = read_ledger(*ledger_a, /*decode_entries=*/false);
  if (!counts_a) return std::unexpected(std::move(counts_a).error());
  ledger_a->clear();
  ledger_a->shrink_to_fit();

  auto ledger_b = blobs.get(b);
  if (!ledger_b) return std::unexpected(std::move(ledger_b).error());
  auto counts_b = read_ledger(*ledger_b, /*decode_entries=*/true);
  if (!counts_b) return std::unexpected(std::move(counts_b).error());

  return blobs.put(encode_merged(a, b, x, replay_with_new_key, *counts_a, *counts_b));
}

}  // namespace qv
