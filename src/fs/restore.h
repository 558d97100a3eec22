// Restore: a stored filesystem tree -> a new directory, built in a temporary
// sibling ".qv-restore.{pid}.{ns}" and renamed into place. Never writes
// outside that temporary directory, whatever the tree holds.
#pragma once

#include <filesystem>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/error.h"

namespace qv {

Status restore_tree(BlobStore& blobs, const Digest& tree, const std::filesystem::path& target);

}  // namespace qv
