// Test helpers for the merge units: a throw-away store and short ways to put
// blobs, trees, traces, ledgers and manifests with given parents into it.
// Helpers record a GoogleTest failure (and return an empty digest) when the
// store refuses a write, so a broken fixture shows up at its cause.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/blob_store.h"
#include "core/fs_tree.h"
#include "core/manifest.h"
#include "core/records.h"
#include "core/store.h"

namespace qv::testing {

// A store in a fresh temporary directory, removed again at destruction.
class TestStore {
 public:
  TestStore() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qv-merge-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    dir_ = tmpl;
    auto s = QvStore::open(dir_ / "store");
    if (!s) ADD_FAILURE() << s.error().message;
    store_.emplace(std::move(*s));
  }
  ~TestStore() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TestStore(const TestStore&) = delete;
  TestStore& operator=(const TestStore&) = delete;

  const QvStore& store() const { return *store_; }
  BlobStore& blobs() const { return *store_->blobs(); }
  const std::filesystem::path& root() const { return store_->root(); }

  Digest put(std::string_view bytes) const {
    auto d = blobs().put(bytes);
    if (!d) {
      ADD_FAILURE() << "put: " << d.error().message;
      return Digest();
    }
    return *d;
  }
  std::string get(const Digest& d) const {
    auto bytes = blobs().get(d);
    if (!bytes) {
      ADD_FAILURE() << "get " << d.as_str() << ": " << bytes.error().message;
      return {};
    }
    return *bytes;
  }

  Digest put_tree(std::vector<FsTreeEntry> entries, std::string kind = std::string(kFsTreeKind)) const {
    FsTree t;
    t.kind = std::move(kind);
    t.entries = std::move(entries);
    return put(encode_tree(t));
  }

  // Written in the snapshot's line form.
  Digest put_trace(const std::vector<TraceMessage>& messages) const {
    std::string record;
    for (const auto& m : messages) append_trace_line(record, m);
    return put(record);
  }

  // Each string one line, joined by line feeds, with a line feed at the end.
  Digest put_lines(std::initializer_list<std::string_view> lines) const {
    std::string text;
    for (auto l : lines) {
      text += l;
      text += '\n';
    }
    return put(text);
  }

  // The number of files under "images" (one per stored manifest).
  size_t image_copies() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(root() / "images")) ++n;
    return n;
  }

  bool has(const Digest& d) const {
    auto r = blobs().has(d);
    return r && *r;
  }

 private:
  std::filesystem::path dir_;
  std::optional<QvStore> store_;
};

// A file entry whose content is put into the store.
inline FsTreeEntry file_entry(const TestStore& s, std::string path, std::string_view content,
                              std::string mode = "0644") {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = std::move(mode);
  e.size = content.size();
  e.kind = FsEntryKind::kFile;
  e.blob = s.put(content);
  return e;
}

inline FsTreeEntry dir_entry(std::string path, std::string mode = "0755") {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = std::move(mode);
  e.kind = FsEntryKind::kDir;
  return e;
}

inline FsTreeEntry link_entry(const TestStore& s, std::string path, std::string target) {
  FsTreeEntry e;
  e.path = std::move(path);
  e.mode = "0777";
  e.size = target.size();
  e.kind = FsEntryKind::kSymlink;
  e.blob = s.put(target);
  e.link_target = std::move(target);
  return e;
}

// The layers of a test image; defaults are what a snapshot of `label` holds.
struct ImageLayers {
  std::string kind = "coder";
  std::string fingerprint = "qv-py";
  std::optional<Digest> fs, env, trace, ledger, diff, base;
};

// A manifest built like a snapshot's, with the given parents. `label` makes
// otherwise equal images distinct (it becomes the agent version).
inline Manifest make_manifest(const TestStore& s, std::string_view label, std::vector<Digest> parents = {},
                              const ImageLayers& layers = {}) {
  Manifest m;
  m.agent.kind = layers.kind;
  m.agent.version = std::string(label);
  m.agent.fingerprint = layers.fingerprint;
  m.model.base = layers.base ? *layers.base : s.put(model_base_record(layers.kind));
  m.model.diff = layers.diff ? *layers.diff : s.put(snapshot_model_diff());
  m.cache.layout = std::string(kCacheLayoutName);
  m.cache.manifest = s.put(cache_layout_record());
  m.world.fs = layers.fs ? *layers.fs : s.put_tree({});
  m.world.env = layers.env ? *layers.env : s.put(encode_env_record("/work", {}));
  m.world.procs = s.put(procs_record());
  m.effects.ledger = layers.ledger ? *layers.ledger : s.put(snapshot_ledger());
  m.trace.messages = layers.trace ? *layers.trace : s.put_trace({});
  m.created_at = Timestamp{1700000000, 0};
  m.parents = std::move(parents);
  return m;
}

inline Digest put_image(const TestStore& s, std::string_view label, std::vector<Digest> parents = {},
                        const ImageLayers& layers = {}) {
  auto id = put_manifest(s.store(), make_manifest(s, label, std::move(parents), layers));
  if (!id) {
    ADD_FAILURE() << "put_manifest: " << id.error().message;
    return Digest();
  }
  return *id;
}

}  // namespace qv::testing
