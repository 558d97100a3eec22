#include "merge/trace_merge.h"

#include <algorithm>
#include <cstdint>

#include "core/json.h"
#include "core/records.h"

namespace qv {
namespace {

constexpr std::string_view kSummaryPrefix = "[merged from sibling] ";
constexpr std::string_view kSummaryRole = "system";

Result<std::vector<TraceMessage>> load_trace(BlobStore& blobs, const Digest& d) {
  auto bytes = blobs.get(d);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  return decode_trace(*bytes);
}

// Merged lines put "role" before "content" (the typed-record key order).
void append_merged_line(std::string& out, std::string_view role, std::string_view content) {
  JsonWriter w(out);
  w.begin_object();
  w.key("role");
  w.string(role);
  w.key("content");
  w.string(content);
  w.end_object();
  out += '\n';
}

}  // namespace

Result<TraceMergeResult> merge_trace(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x,
                                     Summarizer& summarizer) {
  auto msgs_a = load_trace(blobs, a);
  if (!msgs_a) return std::unexpected(std::move(msgs_a).error());
  auto msgs_b = load_trace(blobs, b);
  if (!msgs_b) return std::unexpected(std::move(msgs_b).error());
  auto msgs_x = load_trace(blobs, x);
  if (!msgs_x) return std::unexpected(std::move(msgs_x).error());

  auto text = summarizer.summarize(*msgs_b, *msgs_x, kSummaryLimit);
  if (!text) return std::unexpected(std::move(text).error());

  TraceMergeResult result;
  result.summary.reserve(kSummaryPrefix.size() + text->size());
  result.summary += kSummaryPrefix;
  result.summary += *text;
  result.summary_units = static_cast<uint32_t>(std::min<size_t>(result.summary.size() / 4, UINT32_MAX));

  std::string record;
  for (const TraceMessage& m : *msgs_a) append_merged_line(record, m.role, m.content);
  append_merged_line(record, kSummaryRole, result.summary);

  auto d = blobs.put(record);
  if (!d) return std::unexpected(std::move(d).error());
  result.trace = std::move(*d);
  return result;
}

}  // namespace qv
