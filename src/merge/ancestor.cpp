#include "merge/ancestor.h"

#include <deque>
#include <optional>
#include <unordered_set>

#include "core/manifest.h"

namespace qv {

std::string AncestorError::text() const {
  switch (kind) {
    case Kind::kNoCommonAncestor:
      return "no common ancestor between " + a.as_str() + " and " + b.as_str();
    case Kind::kMultiParent:
      return "multi-parent (octopus) ancestor at " + cid.as_str() + "; v1 merge supports at most 2 parents";
    case Kind::kStore:
      return "store: " + store.embedded();
  }
  return "store: " + store.embedded();
}

namespace {

struct Side {
  std::deque<Digest> queue;
  std::unordered_set<Digest> visited;

  explicit Side(const Digest& start) {
    queue.push_back(start);
    visited.insert(start);
  }
};

// One visit of `side`'s front digest. Returns the ancestor when a parent is
// already known to the other side, nothing when the walk goes on.
std::expected<std::optional<Digest>, AncestorError> visit_front(const QvStore& store, Side& side, const Side& other) {
  Digest d = std::move(side.queue.front());
  side.queue.pop_front();
  auto m = get_manifest(store, d);
  if (!m) {
    AncestorError e;
    e.kind = AncestorError::Kind::kStore;
    e.store = std::move(m).error();
    return std::unexpected(std::move(e));
  }
  // Refused before any parent is looked at, even if one would match.
  if (m->parents.size() > 2) {
    AncestorError e;
    e.kind = AncestorError::Kind::kMultiParent;
    e.cid = std::move(d);
    return std::unexpected(std::move(e));
  }
  for (Digest& p : m->parents) {
    if (other.visited.contains(p)) return std::optional<Digest>(std::move(p));
    if (side.visited.insert(p).second) side.queue.push_back(std::move(p));
  }
  return std::optional<Digest>();
}

}  // namespace

std::expected<Digest, AncestorError> find_common_ancestor(const QvStore& store, const Digest& a, const Digest& b) {
  if (a == b) return a;
  Side side_a(a), side_b(b);
  for (;;) {
    if (!side_a.queue.empty()) {
      auto r = visit_front(store, side_a, side_b);
      if (!r) return std::unexpected(std::move(r).error());
      if (*r) return std::move(**r);
    }
    if (!side_b.queue.empty()) {
      auto r = visit_front(store, side_b, side_a);
      if (!r) return std::unexpected(std::move(r).error());
      if (*r) return std::move(**r);
    }
    if (side_a.queue.empty() && side_b.queue.empty()) {
      AncestorError e;
      e.kind = AncestorError::Kind::kNoCommonAncestor;
      e.a = a;
      e.b = b;
      return std::unexpected(std::move(e));
    }
  }
}

}  // namespace qv
