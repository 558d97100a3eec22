#include "core/store.h"

#include "core/file_util.h"

namespace qv {

Result<QvStore> QvStore::open(const std::filesystem::path& root) {
  QV_TRY(make_dirs(root / "images"));
  QV_TRY(make_dirs(root / "blobs" / "sha256"));
  auto state = std::make_shared<State>();
  state->root = root;
  state->blobs = std::make_shared<LocalBlobStore>(root);
  return QvStore(std::move(state));
}

}  // namespace qv
