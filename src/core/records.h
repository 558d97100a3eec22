// The small per-layer records a snapshot writes: chat trace, environment,
// process and cache-layout records, the empty effects ledger, the empty model
// diff (sorted-key form) and the model base. Object keys in byte order.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace qv {

struct TraceMessage {
  std::string role;
  std::string content;
  friend bool operator==(const TraceMessage&, const TraceMessage&) = default;
};

// One snapshot trace line: {"content":...,"role":...} followed by "\n".
void append_trace_line(std::string& out, const TraceMessage& m);
// Lines split at "\n", empty pieces skipped, each an object or [role, content].
Result<std::vector<TraceMessage>> decode_trace(std::string_view bytes);

// {"cwd":...,"kind":"env.v1","vars":{...}}
std::string encode_env_record(std::string_view cwd, const std::map<std::string, std::string>& vars);
// The fixed records (constants of the system).
std::string_view procs_record();           // 115 bytes
std::string_view cache_layout_record();    // 140 bytes
std::string_view snapshot_ledger();        // 41 bytes, ends in "\n"
std::string_view snapshot_model_diff();    // 63 bytes, keys in byte order
std::string model_base_record(std::string_view agent_kind);  // "base:{agent_kind}"

inline constexpr std::string_view kCacheLayoutName = "paged-batchinvariant-v1";

}  // namespace qv
