// Drives capture, restore and tree decoding for the shell benchmarks.
//
//   capture_bench capture STORE DIR [WORKERS]   capture DIR (default excludes); prints the tree digest
//   capture_bench restore STORE DIGEST TARGET   restore a tree into TARGET
//   capture_bench decode ENTRIES                encode + decode a synthetic tree of ENTRIES entries
//
// Timings go to stderr as "{what}: {seconds} s"; peak memory comes from /usr/bin/time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/fs_tree.h"
#include "fs/capture.h"
#include "fs/restore.h"
#include "fs/worker_pool.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int usage() {
  std::fprintf(stderr,
               "usage: capture_bench capture STORE DIR [WORKERS]\n"
               "       capture_bench restore STORE DIGEST TARGET\n"
               "       capture_bench decode ENTRIES\n");
  return 2;
}

int capture(int argc, char** argv) {
  if (argc < 4) return usage();
  qv::LocalBlobStore store(argv[2]);
  qv::CaptureOptions options;
  options.root = argv[3];
  options.excludes = qv::default_excludes();
  options.workers = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 0;
  auto t0 = std::chrono::steady_clock::now();
  auto d = qv::capture_tree(store, options);
  double s = seconds_since(t0);
  if (!d) {
    std::fprintf(stderr, "capture failed: %s\n", d.error().message.c_str());
    return 1;
  }
  unsigned workers = options.workers != 0 ? options.workers : qv::default_file_workers();
  std::fprintf(stderr, "capture (%u workers): %.3f s\n", workers, s);
  std::printf("%s\n", d->as_str().c_str());
  return 0;
}

int restore(int argc, char** argv) {
  if (argc < 5) return usage();
  qv::LocalBlobStore store(argv[2]);
  auto digest = qv::parse_digest(argv[3]);
  if (!digest) {
    std::fprintf(stderr, "%s\n", digest.error().message.c_str());
    return 2;
  }
  auto t0 = std::chrono::steady_clock::now();
  auto r = qv::restore_tree(store, *digest, argv[4]);
  double s = seconds_since(t0);
  if (!r) {
    std::fprintf(stderr, "restore failed: %s\n", r.error().message.c_str());
    return 1;
  }
  std::fprintf(stderr, "restore: %.3f s\n", s);
  return 0;
}

int decode(int argc, char** argv) {
  if (argc < 3) return usage();
  long n = std::atol(argv[2]);
  qv::FsTree tree;
  qv::Digest blob = qv::compute_digest("x");
  for (long i = 0; i < n; ++i) {
    qv::FsTreeEntry e;
    e.path = "dir" + std::to_string(i / 100) + "/sub/file_" + std::to_string(i) + ".py";
    e.mode = "0644";
    e.size = static_cast<uint64_t>(i) * 131;
    e.blob = blob;
    tree.entries.push_back(std::move(e));
  }
  auto t0 = std::chrono::steady_clock::now();
  std::string bytes = qv::encode_tree(tree);
  double enc = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  auto back = qv::decode_tree(bytes);
  double dec = seconds_since(t0);
  if (!back || back->entries.size() != tree.entries.size()) {
    std::fprintf(stderr, "decode failed\n");
    return 1;
  }
  std::fprintf(stderr, "entries: %ld, bytes: %zu, encode: %.3f s, decode: %.3f s\n", n, bytes.size(), enc, dec);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "capture") return capture(argc, argv);
  if (cmd == "restore") return restore(argc, argv);
  if (cmd == "decode") return decode(argc, argv);
  return usage();
}
