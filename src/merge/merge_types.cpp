#include "merge/merge_types.h"

#include <algorithm>

#include "merge/utf8_cut.h"

namespace qv {

std::string_view side_effect_class_text(SideEffectClass c) {
  switch (c) {
    case SideEffectClass::kPure: return "pure";
    case SideEffectClass::kIdempotent: return "idempotent";
    case SideEffectClass::kIrreversible: return "irreversible";
    case SideEffectClass::kNetworkOnly: return "network-only";
  }
  return "pure";
}

std::string_view merge_status_text(MergeStatus s) {
  switch (s) {
    case MergeStatus::kClean: return "clean";
    case MergeStatus::kConflicted: return "conflicted";
    case MergeStatus::kSkipped: return "skipped";
  }
  return "clean";
}

namespace {

constexpr size_t kQuotedMessages = 4;
constexpr std::string_view kNoDivergence = "(no divergence)";
constexpr std::string_view kSeparator = " / ";

}  // namespace

Result<std::string> DefaultSummarizer::summarize(const std::vector<TraceMessage>& sibling,
                                                 const std::vector<TraceMessage>& base, size_t limit) {
  size_t common = 0;
  const size_t shorter = std::min(sibling.size(), base.size());
  while (common < shorter && sibling[common] == base[common]) ++common;

  // Only the tail of the divergence is quoted.
  const size_t divergence = sibling.size() - common;
  const size_t first = common + (divergence > kQuotedMessages ? divergence - kQuotedMessages : 0);

  std::string text;
  for (size_t i = first; i < sibling.size(); ++i) {
    if (i != first) text += kSeparator;
    text += '[';
    text += sibling[i].role;
    text += "] ";
    text += sibling[i].content;
  }
  if (text.size() > limit) text.resize(utf8_prefix(text, limit).size());
  if (text.empty()) return std::string(kNoDivergence);
  return text;
}

}  // namespace qv
