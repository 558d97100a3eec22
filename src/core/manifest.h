// The image manifest: one canonical JSON record naming every layer of an
// image by digest. The image id is the digest of its canonical text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/digest.h"
#include "core/error.h"
#include "core/json.h"
#include "core/store.h"
#include "core/time.h"

namespace qv {

inline constexpr std::string_view kMediaType = "application/vnd.qivara.image.v1+json";

struct AgentInfo {
  std::string kind;
  std::string version;
  std::string fingerprint;
  friend bool operator==(const AgentInfo&, const AgentInfo&) = default;
};
struct ModelLayer {
  Digest base;
  Digest diff;
  friend bool operator==(const ModelLayer&, const ModelLayer&) = default;
};
struct CacheLayer {
  std::string layout;
  Digest manifest;
  friend bool operator==(const CacheLayer&, const CacheLayer&) = default;
};
struct WorldLayer {
  Digest fs;
  Digest env;
  Digest procs;
  friend bool operator==(const WorldLayer&, const WorldLayer&) = default;
};
struct EffectsLayer {
  Digest ledger;
  friend bool operator==(const EffectsLayer&, const EffectsLayer&) = default;
};
struct TraceLayer {
  Digest messages;
  friend bool operator==(const TraceLayer&, const TraceLayer&) = default;
};

struct Manifest {
  uint32_t schema_version = 1;
  std::string media_type{kMediaType};
  AgentInfo agent;
  ModelLayer model;
  CacheLayer cache;
  WorldLayer world;
  EffectsLayer effects;
  TraceLayer trace;
  Timestamp created_at;
  std::vector<Digest> parents;
  friend bool operator==(const Manifest&, const Manifest&) = default;
};

// Canonical text: fields in declaration order, compact, created_at in RFC 3339 UTC.
std::string encode_manifest(const Manifest& m);
// Full reading rules (any key order, array form, unknown keys skipped, ...).
Result<Manifest> decode_manifest(std::string_view text);

// The manifest as a value tree (objects as ordered maps), as read_manifest returns it.
JsonValue manifest_to_value(const Manifest& m);

// Stores the blob, then the plain copy root/images/{hex}.json when absent.
Result<Digest> put_manifest(const QvStore& store, const Manifest& m);
Result<Manifest> get_manifest(const QvStore& store, const Digest& id);

}  // namespace qv
