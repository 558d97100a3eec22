#include "core/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/file_util.h"

namespace qv {
namespace {

// Reads a record whose fields are all strings, in declaration order.
Status read_string_record(JsonReader& r, std::string_view type_name, std::span<const std::string_view> names,
                          std::span<std::string* const> out) {
  RecordSpec spec{type_name, names, names.size(), 0, true};
  auto got = read_record(r, spec, [&](size_t i) { return r.read_string_into(*out[i]); });
  if (!got) return std::unexpected(got.error());
  return {};
}

Status read_digest_into(JsonReader& r, Digest& out) {
  std::string s;
  QV_TRY(r.read_string_into(s));
  out = Digest::from_text(std::move(s));
  return {};
}

template <size_t N>
Status read_digest_record(JsonReader& r, std::string_view type_name, const std::string_view (&names)[N],
                          Digest* const (&out)[N]) {
  RecordSpec spec{type_name, names, N, 0, true};
  auto got = read_record(r, spec, [&](size_t i) { return read_digest_into(r, *out[i]); });
  if (!got) return std::unexpected(got.error());
  return {};
}

constexpr std::string_view kManifestFields[] = {"schema_version", "media_type", "agent",   "model",      "cache",
                                                "world",          "effects",    "trace",   "created_at", "parents"};
constexpr std::string_view kAgentFields[] = {"kind", "version", "fingerprint"};
constexpr std::string_view kModelFields[] = {"base", "diff"};
constexpr std::string_view kCacheFields[] = {"layout", "manifest"};
constexpr std::string_view kWorldFields[] = {"fs", "env", "procs"};
constexpr std::string_view kEffectsFields[] = {"ledger"};
constexpr std::string_view kTraceFields[] = {"messages"};

Status read_manifest_field(JsonReader& r, Manifest& m, size_t i) {
  switch (i) {
    case 0: {
      auto v = r.read_u32();
      if (!v) return std::unexpected(v.error());
      m.schema_version = *v;
      return {};
    }
    case 1: return r.read_string_into(m.media_type);
    case 2: {
      std::string* out[] = {&m.agent.kind, &m.agent.version, &m.agent.fingerprint};
      return read_string_record(r, "struct AgentInfo", kAgentFields, out);
    }
    case 3: return read_digest_record(r, "struct ModelLayer", kModelFields, {&m.model.base, &m.model.diff});
    case 4: {
      RecordSpec spec{"struct CacheLayer", kCacheFields, 2, 0, true};
      auto got = read_record(r, spec, [&](size_t k) {
        return k == 0 ? r.read_string_into(m.cache.layout) : read_digest_into(r, m.cache.manifest);
      });
      if (!got) return std::unexpected(got.error());
      return {};
    }
    case 5:
      return read_digest_record(r, "struct WorldLayer", kWorldFields, {&m.world.fs, &m.world.env, &m.world.procs});
    case 6: return read_digest_record(r, "struct EffectsLayer", kEffectsFields, {&m.effects.ledger});
    case 7: return read_digest_record(r, "struct TraceLayer", kTraceFields, {&m.trace.messages});
    case 8: {
      std::string text;
      QV_TRY(r.read_string_into(text));
      auto t = parse_rfc3339(text);
      if (!t) return std::unexpected(r.error(t.error()));
      m.created_at = *t;
      return {};
    }
    case 9: {
      QV_TRY(r.begin_array("a sequence"));
      m.parents.clear();
      for (;;) {
        auto more = r.next_element();
        if (!more) return std::unexpected(more.error());
        if (!*more) break;
        Digest d;
        QV_TRY(read_digest_into(r, d));
        m.parents.push_back(std::move(d));
      }
      return {};
    }
  }
  return {};
}

std::atomic<uint64_t> g_copy_counter{0};

// The plain copy under "images": written beside its final name and renamed,
// so a crash never leaves a truncated copy that would then be kept forever.
Status write_copy(const std::filesystem::path& path, std::string_view bytes) {
  std::string base = path.string() + ".tmp." + std::to_string(::getpid()) + ".";
  std::string tmp;
  UniqueFd fd;
  for (;;) {
    tmp = base + std::to_string(++g_copy_counter);
    fd.reset(::open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (fd) break;
    if (errno != EEXIST) return errno_error(errno);
  }
  if (auto w = write_all(fd.get(), bytes); !w) {
    ::unlink(tmp.c_str());
    return w;
  }
  if (auto c = fd.close(); !c) {
    ::unlink(tmp.c_str());
    return c;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return errno_error(err);
  }
  return {};
}

}  // namespace

std::string encode_manifest(const Manifest& m) {
  std::string out;
  out.reserve(1024);
  JsonWriter w(out);
  w.begin_object();
  w.key("schema_version");
  w.u64(m.schema_version);
  w.key("media_type");
  w.string(m.media_type);
  w.key("agent");
  w.begin_object();
  w.key("kind");
  w.string(m.agent.kind);
  w.key("version");
  w.string(m.agent.version);
  w.key("fingerprint");
  w.string(m.agent.fingerprint);
  w.end_object();
  w.key("model");
  w.begin_object();
  w.key("base");
  w.string(m.model.base.as_str());
  w.key("diff");
  w.string(m.model.diff.as_str());
  w.end_object();
  w.key("cache");
  w.begin_object();
  w.key("layout");
  w.string(m.cache.layout);
  w.key("manifest");
  w.string(m.cache.manifest.as_str());
  w.end_object();
  w.key("world");
  w.begin_object();
  w.key("fs");
  w.string(m.world.fs.as_str());
  w.key("env");
  w.string(m.world.env.as_str());
  w.key("procs");
  w.string(m.world.procs.as_str());
  w.end_object();
  w.key("effects");
  w.begin_object();
  w.key("ledger");
  w.string(m.effects.ledger.as_str());
  w.end_object();
  w.key("trace");
  w.begin_object();
  w.key("messages");
  w.string(m.trace.messages.as_str());
  w.end_object();
  w.key("created_at");
  w.string(format_rfc3339(m.created_at));
  w.key("parents");
  w.begin_array();
  for (const Digest& p : m.parents) w.string(p.as_str());
  w.end_array();
  w.end_object();
  return out;
}

Result<Manifest> decode_manifest(std::string_view text) {
  JsonReader r(text);
  Manifest m;
  m.media_type.clear();
  RecordSpec spec{"struct Manifest", kManifestFields, 9, uint64_t{1} << 9, true};
  auto got = read_record(r, spec, [&](size_t i) { return read_manifest_field(r, m, i); });
  if (!got) return std::unexpected(got.error());
  QV_TRY(r.finish());
  return m;
}

JsonValue manifest_to_value(const Manifest& m) {
  auto str = [](std::string s) { return JsonValue{std::move(s)}; };
  auto obj = [](std::initializer_list<std::pair<const std::string, JsonValue>> items) {
    return JsonValue{JsonValue::Object(items)};
  };
  JsonValue::Array parents;
  for (const Digest& p : m.parents) parents.push_back(str(p.as_str()));
  return obj({
      {"schema_version", JsonValue{uint64_t{m.schema_version}}},
      {"media_type", str(m.media_type)},
      {"agent", obj({{"kind", str(m.agent.kind)},
                     {"version", str(m.agent.version)},
                     {"fingerprint", str(m.agent.fingerprint)}})},
      {"model", obj({{"base", str(m.model.base.as_str())}, {"diff", str(m.model.diff.as_str())}})},
      {"cache", obj({{"layout", str(m.cache.layout)}, {"manifest", str(m.cache.manifest.as_str())}})},
      {"world", obj({{"fs", str(m.world.fs.as_str())},
                     {"env", str(m.world.env.as_str())},
                     {"procs", str(m.world.procs.as_str())}})},
      {"effects", obj({{"ledger", str(m.effects.ledger.as_str())}})},
      {"trace", obj({{"messages", str(m.trace.messages.as_str())}})},
      {"created_at", str(format_rfc3339(m.created_at))},
      {"parents", JsonValue{std::move(parents)}},
  });
}

Result<Digest> put_manifest(const QvStore& store, const Manifest& m) {
  std::string bytes = encode_manifest(m);
  auto id = store.blobs()->put(bytes);
  if (!id) return id;
  std::string name(id->hex());
  name += ".json";
  std::filesystem::path copy = store.root() / "images" / name;
  struct stat st;
  if (::stat(copy.c_str(), &st) != 0) QV_TRY(write_copy(copy, bytes));
  return id;
}

Result<Manifest> get_manifest(const QvStore& store, const Digest& id) {
  auto bytes = store.blobs()->get(id);
  if (!bytes) return std::unexpected(bytes.error());
  return decode_manifest(*bytes);
}

}  // namespace qv
