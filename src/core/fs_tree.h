// The filesystem tree record ("fs.tree.v1"): every directory, file and
// symbolic link below a captured root, with mode, size and content digest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/error.h"

namespace qv {

inline constexpr std::string_view kFsTreeKind = "fs.tree.v1";

enum class FsEntryKind { kFile, kDir, kSymlink };
std::string_view fs_entry_kind_text(FsEntryKind k);  // "file", "dir", "symlink"

struct FsTreeEntry {
  std::string path;  // relative, "/"-separated, never empty
  std::string mode;  // low 12 mode bits in octal, at least 4 digits
  uint64_t size = 0;
  FsEntryKind kind = FsEntryKind::kFile;
  std::optional<Digest> blob;
  std::optional<std::string> link_target;
  friend bool operator==(const FsTreeEntry&, const FsTreeEntry&) = default;
};

struct FsTree {
  std::string kind{kFsTreeKind};
  std::vector<FsTreeEntry> entries;
  friend bool operator==(const FsTree&, const FsTree&) = default;
};

// Compact JSON; absent optional fields are left out (never null). Cannot fail.
std::string encode_tree(const FsTree& tree);
// Reading rules of the record; does not look at kind.
Result<FsTree> decode_tree(std::string_view bytes);
// get + decode + kind check ("expected fs.tree.v1, got {kind}" as Integrity).
Result<FsTree> load_tree(BlobStore& blobs, const Digest& digest);

}  // namespace qv
