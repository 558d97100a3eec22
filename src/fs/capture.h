// Capture: a directory on disk -> stored filesystem tree.
//
// The walk and sort run on the calling thread; reading, hashing and
// compressing every entry run on the worker pool. Results keep the sorted
// order whatever the scheduling. Capture only reads the directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/error.h"

namespace qv {

struct CaptureOptions {
  std::filesystem::path root;
  std::vector<std::string> excludes;  // substrings of the full path text
  bool follow_links = false;
  // Worker threads; 0 picks twice the processors available to the process.
  unsigned workers = 0;
};

// ".git/objects", "target", "node_modules", in that order.
const std::vector<std::string>& default_excludes();
#define DEFAULT_EXCLUDES (::qv::default_excludes())

// Stores every file body and link target, then the encoded tree; returns the
// tree's digest.
//
// Only directories, regular files and symbolic links are recorded: pipes,
// sockets and devices are left out and never opened, and so is an entry that
// stops being a regular file (or link) between the walk and its read. Files are
// read through one descriptor opened without following a final link.
// A missing, unreadable or non-directory root gives the empty tree.
Result<Digest> capture_tree(BlobStore& blobs, const CaptureOptions& options);

}  // namespace qv
