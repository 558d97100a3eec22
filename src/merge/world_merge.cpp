#include "merge/world_merge.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/file_util.h"
#include "core/fs_tree.h"

namespace qv {
namespace {

// The entries of one tree in byte order of their paths, one per path: when a
// tree lists a path more than once, the last listing is the one that counts.
std::vector<uint32_t> path_order(const std::vector<FsTreeEntry>& entries) {
  // Sorting (path, index) pairs keeps each comparison one pointer away from
  // the path bytes; the index breaks ties so the last listing sorts last.
  std::vector<std::pair<std::string_view, uint32_t>> keys;
  keys.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) keys.emplace_back(entries[i].path, static_cast<uint32_t>(i));
  // Most trees arrive sorted already (capture sorts, and so does this merge).
  if (!std::is_sorted(keys.begin(), keys.end())) std::sort(keys.begin(), keys.end());
  std::vector<uint32_t> order;
  order.reserve(keys.size());
  for (size_t k = 0; k < keys.size(); ++k) {
    if (k + 1 < keys.size() && keys[k].first == keys[k + 1].first) continue;
    order.push_back(keys[k].second);
  }
  return order;
}

// Kind, blob and link target decide; mode, size and path do not.
bool same_content(const FsTreeEntry& p, const FsTreeEntry& q) {
  return p.kind == q.kind && p.blob == q.blob && p.link_target == q.link_target;
}

// One tree walked in path order.
class Cursor {
 public:
  explicit Cursor(std::vector<FsTreeEntry>& entries) : entries_(entries), order_(path_order(entries)) {}
  bool done() const { return pos_ == order_.size(); }
  const std::string& path() const { return entries_[order_[pos_]].path; }
  // The entry at `path` if this tree has one there (and steps past it).
  FsTreeEntry* take(const std::string& p) {
    if (done() || path() != p) return nullptr;
    return &entries_[order_[pos_++]];
  }
  size_t size() const { return order_.size(); }

 private:
  std::vector<FsTreeEntry>& entries_;
  std::vector<uint32_t> order_;
  size_t pos_ = 0;
};

class WorldMerger {
 public:
  explicit WorldMerger(BlobStore& blobs) : blobs_(blobs), empty_(compute_digest("")) {}

  Status merge_path(FsTreeEntry* a, FsTreeEntry* b, const FsTreeEntry* x) {
    if (a == nullptr && b == nullptr) return {};  // gone on both sides (or only ever in X)
    if (b == nullptr) return one_sided(*a, x, /*kept_is_a=*/true);
    if (a == nullptr) return one_sided(*b, x, /*kept_is_a=*/false);
    if (x != nullptr) {
      // The side that did not change yields to the one that did.
      if (same_content(*b, *x)) return keep(std::move(*a));
      if (same_content(*a, *x)) return keep(std::move(*b));
    }
    if (same_content(*a, *b)) return keep(std::move(*a));
    return conflict(*a, *b, x);
  }

  WorldMergeResult& result() { return result_; }
  std::vector<FsTreeEntry>& entries() { return merged_; }
  void reserve(size_t n) { merged_.reserve(n); }

 private:
  Status keep(FsTreeEntry&& e) {
    merged_.push_back(std::move(e));
    ++result_.clean_paths;
    return {};
  }

  // Present on one side only.
  Status one_sided(FsTreeEntry& kept, const FsTreeEntry* x, bool kept_is_a) {
    if (x == nullptr) return keep(std::move(kept));  // added on that side
    if (same_content(kept, *x)) {
      ++result_.clean_paths;  // unchanged there, deleted on the other side
      return {};
    }
    // Changed against a deletion: keep the change, report it.
    WorldConflict c;
    c.path = kept.path;
    c.a_digest = kept_is_a ? blob_or_empty(kept) : empty_;
    c.b_digest = kept_is_a ? empty_ : blob_or_empty(kept);
    c.x_digest = x->blob;
    result_.conflicts.push_back(std::move(c));
    merged_.push_back(std::move(kept));
    return {};
  }

  Status conflict(FsTreeEntry& a, FsTreeEntry& b, const FsTreeEntry* x) {
    std::string content = "<<<<<<< A\n";
    QV_TRY(append_side_text(content, a));
    content += "\n=======\n";
    QV_TRY(append_side_text(content, b));
    content += "\n>>>>>>> B\n";
    auto blob = blobs_.put(content);
    if (!blob) return std::unexpected(std::move(blob).error());
    // The size is taken from what the store gives back, so a conflict file is
    // only recorded once its blob reads back intact.
    auto stored = blobs_.get(*blob);
    if (!stored) return std::unexpected(std::move(stored).error());

    WorldConflict c;
    c.path = a.path;
    c.a_digest = blob_or_empty(a);
    c.b_digest = blob_or_empty(b);
    if (x != nullptr) c.x_digest = x->blob;
    result_.conflicts.push_back(std::move(c));

    FsTreeEntry e = std::move(a);
    e.kind = FsEntryKind::kFile;
    e.blob = std::move(*blob);
    e.link_target.reset();
    e.size = stored->size();
    merged_.push_back(std::move(e));
    return {};
  }

  Status append_side_text(std::string& out, const FsTreeEntry& e) {
    if (!e.blob) return {};  // a directory, or a file entry without content
    auto bytes = blobs_.get(*e.blob);
    if (!bytes) return std::unexpected(std::move(bytes).error());
    if (is_valid_utf8(*bytes)) {
      out += *bytes;
    } else {
      out += "<binary: " + std::to_string(bytes->size()) + " bytes>";
    }
    return {};
  }

  const Digest& blob_or_empty(const FsTreeEntry& e) const { return e.blob ? *e.blob : empty_; }

  BlobStore& blobs_;
  const Digest empty_;
  WorldMergeResult result_;
  std::vector<FsTreeEntry> merged_;
};

}  // namespace

Result<WorldMergeResult> merge_world(BlobStore& blobs, const Digest& a, const Digest& b, const Digest& x) {
  auto tree_a = load_tree(blobs, a);
  if (!tree_a) return std::unexpected(std::move(tree_a).error());
  auto tree_b = load_tree(blobs, b);
  if (!tree_b) return std::unexpected(std::move(tree_b).error());
  auto tree_x = load_tree(blobs, x);
  if (!tree_x) return std::unexpected(std::move(tree_x).error());

  Cursor ca(tree_a->entries), cb(tree_b->entries), cx(tree_x->entries);
  WorldMerger merger(blobs);
  merger.reserve(std::max(ca.size(), cb.size()));

  // A three-way walk over the sorted path lists visits the union in byte order.
  while (!ca.done() || !cb.done() || !cx.done()) {
    const std::string* next = nullptr;
    for (const Cursor* c : {&ca, &cb, &cx}) {
      if (!c->done() && (next == nullptr || c->path() < *next)) next = &c->path();
    }
    // Entries are only moved from in merge_path, after all three takes.
    const std::string& path = *next;
    FsTreeEntry* ea = ca.take(path);
    FsTreeEntry* eb = cb.take(path);
    const FsTreeEntry* ex = cx.take(path);
    QV_TRY(merger.merge_path(ea, eb, ex));
  }

  FsTree merged;
  merged.entries = std::move(merger.entries());
  auto tree = blobs.put(encode_tree(merged));
  if (!tree) return std::unexpected(std::move(tree).error());
  WorldMergeResult result = std::move(merger.result());
  result.tree = std::move(*tree);
  return result;
}

}  // namespace qv
