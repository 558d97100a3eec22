// World merge of two 100,000-entry trees against their ancestor: 1% of the
// paths changed on each side, 0.1% changed differently on both (conflicts).
//
//   world_merge_bench [--entries N] [--runs R] [--local DIR]
//
// By default the blobs live in memory (hashed and checked like the local
// store, but not compressed), which measures the merge itself. --local DIR
// runs once more against a LocalBlobStore in DIR, where level-19 compression
// of the merged tree dominates. Run under /usr/bin/time -v for peak memory.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/fs_tree.h"
#include "merge/world_merge.h"

namespace {

// CPU time of this thread: the machine is shared, and wall time would mostly
// measure the neighbours.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
  }
};

double ms_since(double t) { return Clock::now() - t; }

long max_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Same contract as the local store (digest of the bytes, checked on get),
// without compression or files.
class MemoryBlobStore final : public qv::BlobStore {
 public:
  qv::Result<qv::Digest> put(std::string_view bytes) override {
    qv::Digest d = qv::compute_digest(bytes);
    std::lock_guard lock(mu_);
    blobs_.try_emplace(d, bytes);
    return d;
  }
  qv::Result<std::string> get(const qv::Digest& d) override {
    std::string bytes;
    {
      std::lock_guard lock(mu_);
      auto it = blobs_.find(d);
      if (it == blobs_.end()) return qv::io_error("No such file or directory (os error 2)");
      bytes = it->second;
    }
    if (qv::compute_digest(bytes) != d) return qv::integrity_error(d.as_str());
    return bytes;
  }
  qv::Result<bool> has(const qv::Digest& d) override {
    std::lock_guard lock(mu_);
    return blobs_.contains(d);
  }
  qv::Result<uint64_t> physical_bytes() override {
    std::lock_guard lock(mu_);
    uint64_t n = 0;
    for (const auto& [d, b] : blobs_) n += b.size();
    return n;
  }

 private:
  std::mutex mu_;
  std::unordered_map<qv::Digest, std::string> blobs_;
};

struct Trees {
  qv::Digest a, b, x;
  size_t bytes = 0;  // encoded size of the three trees
};

qv::FsTreeEntry file(std::string path, const qv::Digest& blob, uint64_t size) {
  qv::FsTreeEntry e;
  e.path = std::move(path);
  e.mode = "0644";
  e.size = size;
  e.kind = qv::FsEntryKind::kFile;
  e.blob = blob;
  return e;
}

// X: n files in 100 directories (capture order: a directory, then its files;
// with `shuffle`, every tree lists its entries in a random order instead).
// A changes every 100th path (1%); B changes as many (1%), a tenth of them
// the same paths as A, differently (0.1% conflicts).
Trees build(qv::BlobStore& blobs, size_t n, bool shuffle) {
  qv::FsTree x, a, b;
  const size_t dirs = 100;
  auto content = [&](const std::string& path, const char* side) -> std::pair<qv::Digest, uint64_t> {
    std::string body = std::string(side) + " version of " + path + "\n";
    auto d = blobs.put(body);
    return {*d, body.size()};
  };
  for (size_t i = 0; i < n; ++i) {
    if (i % (n / dirs) == 0) {
      qv::FsTreeEntry d;
      d.path = "dir" + std::to_string(i / (n / dirs));
      d.mode = "0755";
      d.kind = qv::FsEntryKind::kDir;
      x.entries.push_back(d);
      a.entries.push_back(d);
      b.entries.push_back(d);
    }
    char name[64];
    std::snprintf(name, sizeof name, "dir%zu/file-%06zu.txt", i / (n / dirs), i);
    const std::string path = name;
    // The ancestor's blobs are never read by the merge, so they are not stored.
    const qv::Digest base = qv::compute_digest("base version of " + path + "\n");
    x.entries.push_back(file(path, base, 40));
    const bool in_a = i % 100 == 0;
    const bool in_b = (i % 100 == 50 && i % 1000 != 50) || i % 1000 == 0;
    if (in_a) {
      auto [d, size] = content(path, "A");
      a.entries.push_back(file(path, d, size));
    } else {
      a.entries.push_back(x.entries.back());
    }
    if (in_b) {
      auto [d, size] = content(path, "B");
      b.entries.push_back(file(path, d, size));
    } else {
      b.entries.push_back(x.entries.back());
    }
  }
  if (shuffle) {
    std::mt19937 rng(42);
    for (auto* tree : {&a, &b, &x}) std::shuffle(tree->entries.begin(), tree->entries.end(), rng);
  }
  Trees t;
  for (auto [tree, out] : {std::pair{&a, &t.a}, std::pair{&b, &t.b}, std::pair{&x, &t.x}}) {
    std::string bytes = qv::encode_tree(*tree);
    t.bytes += bytes.size();
    *out = *blobs.put(bytes);
  }
  return t;
}

struct Timing {
  double get_ms = 0, decode_ms = 0, merge_ms = 0, encode_ms = 0, hash_ms = 0;
  size_t conflicts = 0, clean = 0, entries = 0;
};

Timing run_once(qv::BlobStore& blobs, const Trees& t) {
  Timing r;
  // The parts of merge_world's loading step, timed on their own.
  std::vector<std::string> raw;
  auto t0 = Clock::now();
  for (const auto* d : {&t.a, &t.b, &t.x}) raw.push_back(*blobs.get(*d));
  r.get_ms = ms_since(t0);
  t0 = Clock::now();
  for (const auto& bytes : raw) {
    auto tree = qv::decode_tree(bytes);
    if (!tree) {
      std::fprintf(stderr, "decode: %s\n", tree.error().message.c_str());
      std::exit(1);
    }
  }
  r.decode_ms = ms_since(t0);
  raw.clear();
  raw.shrink_to_fit();

  t0 = Clock::now();
  auto m = qv::merge_world(blobs, t.a, t.b, t.x);
  r.merge_ms = ms_since(t0);
  if (!m) {
    std::fprintf(stderr, "merge: %s\n", m.error().message.c_str());
    std::exit(1);
  }
  r.conflicts = m->conflicts.size();
  r.clean = m->clean_paths;

  // Writing the merged tree, also timed on its own: encoding and hashing.
  auto merged = qv::load_tree(blobs, m->tree);
  t0 = Clock::now();
  const std::string text = qv::encode_tree(*merged);
  r.encode_ms = ms_since(t0);
  t0 = Clock::now();
  (void)qv::compute_digest(text);
  r.hash_ms = ms_since(t0);
  return r;
}

void report(const char* label, std::vector<Timing> runs) {
  std::sort(runs.begin(), runs.end(), [](const Timing& p, const Timing& q) { return p.merge_ms < q.merge_ms; });
  const Timing& med = runs[runs.size() / 2];
  std::printf("%s: merge_world median %.1f ms CPU (min %.1f, max %.1f, %zu runs)\n", label, med.merge_ms,
              runs.front().merge_ms, runs.back().merge_ms, runs.size());
  const double rest = med.merge_ms - med.get_ms - med.decode_ms - med.encode_ms - med.hash_ms;
  std::printf(
      "  measured apart: get+check of the 3 trees %.1f ms, JSON decoding of the 3 trees %.1f ms (%.0f%%),\n"
      "  encoding the merged tree %.1f ms, hashing it %.1f ms; the rest (tables, walk, conflicts) ~%.1f ms\n",
      med.get_ms, med.decode_ms, 100.0 * med.decode_ms / med.merge_ms, med.encode_ms, med.hash_ms, rest);
  std::printf("  conflicts %zu, clean paths %zu\n", med.conflicts, med.clean);
}

}  // namespace

int main(int argc, char** argv) {
  size_t entries = 100000;
  int runs = 5;
  const char* local = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--entries") && i + 1 < argc) {
      entries = std::strtoull(argv[++i], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--local") && i + 1 < argc) {
      local = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--entries N] [--runs R] [--local DIR]\n", argv[0]);
      return 2;
    }
  }
  entries = std::max<size_t>(entries, 1000) / 1000 * 1000;

  for (bool shuffle : {false, true}) {
    MemoryBlobStore blobs;
    auto t0 = Clock::now();
    const Trees t = build(blobs, entries, shuffle);
    std::printf("setup: %zu files per tree (+100 directories)%s, 3 trees = %.1f MB of JSON, built in %.0f ms\n",
                entries, shuffle ? ", entries shuffled" : "", t.bytes / 1e6, ms_since(t0));
    const long rss_setup = max_rss_kib();
    std::vector<Timing> timings;
    for (int i = 0; i < runs; ++i) timings.push_back(run_once(blobs, t));
    report(shuffle ? "in-memory blobs, unsorted trees" : "in-memory blobs", timings);
    std::printf("  peak RSS %.1f MB after setup, %.1f MB after the merges\n", rss_setup / 1024.0,
                max_rss_kib() / 1024.0);
  }

  if (local != nullptr) {
    std::filesystem::path dir(local);
    qv::LocalBlobStore blobs(dir);
    std::filesystem::create_directories(dir / "blobs" / "sha256");
    auto t0 = Clock::now();
    const Trees t = build(blobs, entries, false);
    std::printf("local setup (level-19 puts of the inputs): %.0f ms\n", ms_since(t0));
    report("local blob store", {run_once(blobs, t)});
  }
  return 0;
}
