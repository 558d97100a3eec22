#include "core/records.h"

#include "core/json.h"

namespace qv {
namespace {

constexpr std::string_view kTraceFields[] = {"role", "content"};

}  // namespace

void append_trace_line(std::string& out, const TraceMessage& m) {
  JsonWriter w(out);
  w.begin_object();
  w.key("content");
  w.string(m.content);
  w.key("role");
  w.string(m.role);
  w.end_object();
  out.push_back('\n');
}

Result<std::vector<TraceMessage>> decode_trace(std::string_view bytes) {
  std::vector<TraceMessage> messages;
  size_t start = 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    JsonReader r(line);
    TraceMessage m;
    RecordSpec spec{"struct TraceMessage", kTraceFields, 2, 0, true};
    auto got = read_record(r, spec, [&](size_t i) { return r.read_string_into(i == 0 ? m.role : m.content); });
    if (!got) return std::unexpected(got.error());
    QV_TRY(r.finish());
    messages.push_back(std::move(m));
  }
  return messages;
}

std::string encode_env_record(std::string_view cwd, const std::map<std::string, std::string>& vars) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("cwd");
  w.string(cwd);
  w.key("kind");
  w.string("env.v1");
  w.key("vars");
  w.begin_object();
  for (const auto& [name, value] : vars) {
    w.key(name);
    w.string(value);
  }
  w.end_object();
  w.end_object();
  return out;
}

std::string_view procs_record() {
  return R"({"kind":"procs.unsupported.v1","note":"qv-py does not yet capture in-flight subprocesses","unsupported_on":"linux"})";
}

std::string_view cache_layout_record() {
  return R"({"dtype":"bf16","head_dim":0,"layout":"paged-batchinvariant-v1","logical_seqs":[],"n_heads":0,"n_layers":0,"page_size_tokens":16,"pages":[]})";
}

std::string_view snapshot_ledger() { return "{\"kind\":\"effects.ledger.v1\",\"entries\":0}\n"; }

std::string_view snapshot_model_diff() {
  return R"({"diff":{"adapters":[],"kind":"lora"},"layout":"model.diff.v1"})";
}

std::string model_base_record(std::string_view agent_kind) { return "base:" + std::string(agent_kind); }

}  // namespace qv
