#include "core/fs_tree.h"

#include <array>
#include <string_view>

#include "core/json.h"

namespace qv {
namespace {

constexpr std::array<std::string_view, 2> kTreeFields = {"kind", "entries"};
constexpr std::array<std::string_view, 6> kEntryFields = {"path", "mode", "size", "kind", "blob", "link_target"};

enum TreeField : size_t { kTreeKind, kTreeEntries };
enum EntryField : size_t { kPath, kMode, kSize, kKind, kBlob, kLinkTarget };

const RecordSpec kTreeSpec{
    .type_name = "struct FsTree",
    .fields = kTreeFields,
    .min_array = kTreeFields.size(),
};
const RecordSpec kEntrySpec{
    .type_name = "struct FsTreeEntry",
    .fields = kEntryFields,
    .min_array = kEntryFields.size(),
    .optional_mask = (uint64_t{1} << kBlob) | (uint64_t{1} << kLinkTarget),
};

Status read_kind(JsonReader& r, FsEntryKind& out) {
  std::string text;
  QV_TRY(r.read_string_into(text, "enum FsEntryKind"));
  if (text == "file") {
    out = FsEntryKind::kFile;
  } else if (text == "dir") {
    out = FsEntryKind::kDir;
  } else if (text == "symlink") {
    out = FsEntryKind::kSymlink;
  } else {
    return std::unexpected(r.error("unknown variant `" + text + "`, expected one of `file`, `dir`, `symlink`"));
  }
  return {};
}

// null and a missing key both mean absent.
Status read_optional_text(JsonReader& r, std::optional<std::string>& out) {
  auto null = r.try_null();
  if (!null) return std::unexpected(null.error());
  if (*null) {
    out.reset();
    return {};
  }
  std::string text;
  QV_TRY(r.read_string_into(text));
  out = std::move(text);
  return {};
}

Status read_entry(JsonReader& r, FsTreeEntry& e) {
  auto present = read_record(r, kEntrySpec, [&](size_t field) -> Status {
    switch (field) {
      case kPath: return r.read_string_into(e.path);
      case kMode: return r.read_string_into(e.mode);
      case kSize: {
        auto size = r.read_u64();
        if (!size) return std::unexpected(size.error());
        e.size = *size;
        return {};
      }
      case kKind: return read_kind(r, e.kind);
      case kBlob: {
        std::optional<std::string> text;
        QV_TRY(read_optional_text(r, text));
        if (text) {
          e.blob = Digest::from_text(std::move(*text));
        } else {
          e.blob.reset();
        }
        return {};
      }
      case kLinkTarget: return read_optional_text(r, e.link_target);
    }
    return {};
  });
  if (!present) return std::unexpected(present.error());
  return {};
}

Status read_entries(JsonReader& r, std::vector<FsTreeEntry>& entries) {
  QV_TRY(r.begin_array("a sequence"));
  for (;;) {
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    QV_TRY(read_entry(r, entries.emplace_back()));
  }
}

}  // namespace

std::string_view fs_entry_kind_text(FsEntryKind k) {
  switch (k) {
    case FsEntryKind::kFile: return "file";
    case FsEntryKind::kDir: return "dir";
    case FsEntryKind::kSymlink: return "symlink";
  }
  return "file";
}

std::string encode_tree(const FsTree& tree) {
  std::string out;
  size_t estimate = 32 + tree.kind.size();
  for (const auto& e : tree.entries) {
    estimate += 64 + e.path.size() + e.mode.size() + (e.blob ? e.blob->as_str().size() + 10 : 0) +
                (e.link_target ? e.link_target->size() + 17 : 0);
  }
  out.reserve(estimate);
  // Written by hand rather than through JsonWriter: trees can hold hundreds of
  // thousands of entries and the layout is fixed.
  out += "{\"kind\":";
  append_json_string(out, tree.kind);
  out += ",\"entries\":[";
  bool first = true;
  for (const auto& e : tree.entries) {
    if (!first) out += ',';
    first = false;
    out += "{\"path\":";
    append_json_string(out, e.path);
    out += ",\"mode\":";
    append_json_string(out, e.mode);
    out += ",\"size\":";
    out += std::to_string(e.size);
    out += ",\"kind\":\"";
    out += fs_entry_kind_text(e.kind);
    out += '"';
    if (e.blob) {
      out += ",\"blob\":";
      append_json_string(out, e.blob->as_str());
    }
    if (e.link_target) {
      out += ",\"link_target\":";
      append_json_string(out, *e.link_target);
    }
    out += '}';
  }
  out += "]}";
  return out;
}

Result<FsTree> decode_tree(std::string_view bytes) {
  JsonReader r(bytes);
  FsTree tree;
  auto present = read_record(r, kTreeSpec, [&](size_t field) -> Status {
    if (field == kTreeKind) return r.read_string_into(tree.kind);
    return read_entries(r, tree.entries);
  });
  if (!present) return std::unexpected(present.error());
  QV_TRY(r.finish());
  return tree;
}

Result<FsTree> load_tree(BlobStore& blobs, const Digest& digest) {
  auto bytes = blobs.get(digest);
  if (!bytes) return std::unexpected(bytes.error());
  auto tree = decode_tree(*bytes);
  if (!tree) return tree;
  if (tree->kind != kFsTreeKind) return integrity_error("expected fs.tree.v1, got " + tree->kind);
  return tree;
}

}  // namespace qv
