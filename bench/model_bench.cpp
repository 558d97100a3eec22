// Throughput of the model diff record and of the merge kernels.
//
//   model_bench diff N [put|get|both] [DIR]   put_diff/get_diff of a Full diff with N floats
//   model_bench kernels IN N OUT [P SEED_A SEED_B ALPHA]
//                                            dare on both halves of IN (2N float32), ties_merge,
//                                            result to OUT; used by kernels_numpy.py
//   model_bench merge N [DIR]                 merge_model_layers of two Full diffs of N floats each
//
// Timings go to stdout as "name seconds [rate]" lines. Peak memory: run under
// /usr/bin/time -v.
#include <sys/resource.h>
#include <zstd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/blob_store.h"
#include "core/digest.h"
#include "core/file_util.h"
#include "core/json.h"
#include "merge/model_merge.h"
#include "model/delta.h"
#include "model/model_diff.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void report(const char* name, double seconds, double floats) {
  if (floats > 0) {
    std::printf("%-28s %9.3f s  %8.2f M floats/s\n", name, seconds, floats / seconds / 1e6);
  } else {
    std::printf("%-28s %9.3f s\n", name, seconds);
  }
  std::fflush(stdout);
}

long peak_rss_mib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "model_bench: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T must(qv::Result<T> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().message);
  return std::move(*r);
}

// Values like a fine-tuning delta: small, normally distributed, so their
// shortest texts are typical (8 to 9 significant digits).
qv::FloatVec delta_values(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 0.01f);
  qv::FloatVec v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

qv::FullDelta full_diff(size_t n, uint32_t seed) {
  // A few parameters of unequal size, as in a real checkpoint.
  const double shares[] = {0.4, 0.3, 0.2, 0.1};
  const char* names[] = {"layers.0.mlp.w", "layers.0.attn.qkv", "layers.1.mlp.w", "embed"};
  qv::FullDelta d;
  size_t left = n;
  for (size_t i = 0; i < 4; ++i) {
    size_t k = i == 3 ? left : static_cast<size_t>(static_cast<double>(n) * shares[i]);
    d.params[names[i]] = delta_values(k, seed + static_cast<uint32_t>(i));
    left -= k;
  }
  return d;
}

std::filesystem::path bench_dir(int argc, char** argv, int index) {
  if (argc > index) return argv[index];
  char tmpl[] = "/tmp/qv_model_bench.XXXXXX";
  if (!mkdtemp(tmpl)) die("mkdtemp failed");
  return tmpl;
}

int run_diff(size_t n, const std::string& phase, const std::filesystem::path& dir) {
  qv::LocalBlobStore blobs(dir);
  const double floats = static_cast<double>(n);
  qv::Digest digest;
  if (phase == "put" || phase == "both") {
    qv::FullDelta d = full_diff(n, 1);
    std::printf("peak RSS after building the diff: %ld MiB\n", peak_rss_mib());
    // Encoding and hashing on their own, then put_diff as a whole; level-19
    // compression (with the write) is the rest. Compressing twice would
    // double a run that already takes minutes.
    auto t0 = Clock::now();
    std::string text = qv::encode_diff(qv::ModelDiff(d));
    const double t_encode = since(t0);
    std::printf("document: %zu bytes (%.2f bytes/float)\n", text.size(), static_cast<double>(text.size()) / floats);
    t0 = Clock::now();
    qv::Digest id = qv::compute_digest(text);
    const double t_sha = since(t0);
    const size_t text_size = text.size();
    text = std::string();
    t0 = Clock::now();
    digest = must(qv::put_diff(blobs, qv::ModelDiff(std::move(d))), "put_diff");
    const double t_put = since(t0);
    if (digest != id) die("digest mismatch");
    auto stored = must(qv::read_file(must(qv::blob_path(dir, digest), "path")), "read blob");
    report("encode (JSON text)", t_encode, floats);
    report("sha-256", t_sha, floats);
    report("zstd 19 + write (rest)", t_put - t_encode - t_sha, floats);
    std::printf("  zstd level 19: %.2f MB/s of text; compressed %zu bytes (ratio %.2f)\n",
                static_cast<double>(text_size) / (t_put - t_encode - t_sha) / 1e6, stored.size(),
                static_cast<double>(text_size) / static_cast<double>(stored.size()));
    report("put_diff total", t_put, floats);
    std::printf("digest %s\n", digest.as_str().c_str());
    std::printf("peak RSS after put: %ld MiB\n", peak_rss_mib());
    std::ofstream(dir / "digest.txt") << digest.as_str();
  }
  if (phase == "get" || phase == "both") {
    if (phase == "get") {
      std::ifstream in(dir / "digest.txt");
      std::string text;
      in >> text;
      digest = must(qv::parse_digest(text), "digest");
    }
    auto t0 = Clock::now();
    std::string bytes = must(blobs.get(digest), "get");
    report("blob get (read, unzstd, sha)", since(t0), floats);
    t0 = Clock::now();
    {
      qv::JsonReader scan(bytes);
      if (!scan.skip_value()) die("scan failed");
    }
    report("  syntax scan alone", since(t0), floats);
    t0 = Clock::now();
    qv::ModelDiff back = must(qv::decode_diff(bytes), "decode");
    report("decode (JSON text)", since(t0), floats);
    bytes = std::string();
    back = qv::LoraDelta{};
    t0 = Clock::now();
    back = must(qv::get_diff(blobs, digest), "get_diff");
    report("get_diff total", since(t0), floats);
    if (qv::entry_count(back) != 4) die("unexpected diff");
    std::printf("peak RSS after get: %ld MiB\n", peak_rss_mib());
  }
  return 0;
}

int run_kernels(int argc, char** argv) {
  if (argc < 5) die("kernels IN N OUT [P SEED_A SEED_B ALPHA]");
  const std::string in = argv[2];
  const size_t n = std::strtoull(argv[3], nullptr, 10);
  const std::string out = argv[4];
  const double p = argc > 5 ? std::strtod(argv[5], nullptr) : 0.7;
  const uint64_t sa = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 0;
  const uint64_t sb = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 255;
  const float alpha = argc > 8 ? std::strtof(argv[8], nullptr) : 0.5f;
  std::string raw = must(qv::read_file(in), "read input");
  if (raw.size() != 2 * n * sizeof(float)) die("input size is not 2N floats");
  std::vector<float> a(n), b(n);
  std::memcpy(a.data(), raw.data(), n * sizeof(float));
  std::memcpy(b.data(), raw.data() + n * sizeof(float), n * sizeof(float));
  raw = std::string();
  const double floats = static_cast<double>(n);

  auto t0 = Clock::now();
  auto da = must(qv::dare(a, p, sa), "dare");
  const double t_dare_a = since(t0);
  t0 = Clock::now();
  auto db = must(qv::dare(b, p, sb), "dare");
  const double t_dare_b = since(t0);
  const std::span<const float> views[] = {da, db};
  t0 = Clock::now();
  auto merged = must(qv::ties_merge(views, qv::kTiesKeepTop, alpha), "ties_merge");
  const double t_ties = since(t0);
  // The same pass without trimming isolates the threshold selection.
  t0 = Clock::now();
  auto untrimmed = must(qv::ties_merge(views, 0.0, alpha), "ties_merge");
  const double t_ties_no_trim = since(t0);
  report("native dare A", t_dare_a, floats);
  report("native dare B", t_dare_b, floats);
  report("native ties_merge", t_ties, floats);
  report("  of which coordinate pass", t_ties_no_trim, floats);
  report("  of which 2 thresholds", t_ties - t_ties_no_trim, floats);
  report("native total", t_dare_a + t_dare_b + t_ties, floats);
  std::printf("peak RSS: %ld MiB\n", peak_rss_mib());
  std::ofstream f(out, std::ios::binary);
  f.write(reinterpret_cast<const char*>(merged.data()), static_cast<std::streamsize>(n * sizeof(float)));
  if (!f) die("cannot write output");
  return 0;
}

// Stores a diff as a blob compressed at level 1: a valid blob that get reads
// like any other, without minutes of level-19 compression for the inputs.
qv::Digest put_fast(const std::filesystem::path& dir, const qv::ModelDiff& d) {
  std::string text = qv::encode_diff(d);
  qv::Digest digest = qv::compute_digest(text);
  std::string z(ZSTD_compressBound(text.size()), '\0');
  const size_t size = ZSTD_compress(z.data(), z.size(), text.data(), text.size(), 1);
  if (ZSTD_isError(size)) die(ZSTD_getErrorName(size));
  z.resize(size);
  auto path = must(qv::blob_path(dir, digest), "path");
  if (!qv::make_dirs(path.parent_path())) die("make_dirs");
  std::ofstream(path, std::ios::binary) << z;
  return digest;
}

int run_merge(size_t n, const std::filesystem::path& dir) {
  qv::LocalBlobStore blobs(dir);
  const double floats = static_cast<double>(n);
  auto t0 = Clock::now();
  const qv::Digest da = put_fast(dir, full_diff(n, 10));
  const qv::Digest db = put_fast(dir, full_diff(n, 20));
  report("setup: store A and B (zstd 1)", since(t0), 2 * floats);

  // The merge's steps on their own, in its order.
  t0 = Clock::now();
  auto a = must(qv::get_diff(blobs, da), "get A");
  auto b = must(qv::get_diff(blobs, db), "get B");
  const double t_get = since(t0);
  t0 = Clock::now();
  qv::FullDelta merged;
  uint64_t i = 0;
  for (auto& [name, va] : std::get<qv::FullDelta>(a).params) {
    const auto& vb = std::get<qv::FullDelta>(b).params.at(name);
    auto x = must(qv::dare(va, 0.7, i), "dare");
    auto y = must(qv::dare(vb, 0.7, i ^ 255), "dare");
    const std::span<const float> views[] = {x, y};
    merged.params[name] = must(qv::ties_merge(views, qv::kTiesKeepTop, 0.5f), "ties");
    ++i;
  }
  const double t_kernels = since(t0);
  a = qv::LoraDelta{};
  b = qv::LoraDelta{};
  t0 = Clock::now();
  std::string text = qv::encode_diff(qv::ModelDiff(merged));
  const double t_encode = since(t0);
  t0 = Clock::now();
  qv::Digest id = qv::compute_digest(text);
  auto z = must(qv::zstd_compress(text), "compress");
  const double t_compress = since(t0);
  std::printf("merged document %zu bytes, compressed %zu\n", text.size(), z.size());
  text = std::string();
  z = std::string();
  merged = qv::FullDelta{};

  t0 = Clock::now();
  auto outcome = must(qv::merge_model_layers(blobs, da, db, 0.5f, 0.7, 0), "merge");
  const double t_merge = since(t0);
  if (!outcome.applied_task_arithmetic || outcome.merged_diff != id) die("unexpected merge result");
  report("get_diff A+B", t_get, 2 * floats);
  report("dare+ties all params", t_kernels, floats);
  report("encode merged (JSON text)", t_encode, floats);
  report("sha-256 + zstd level 19", t_compress, floats);
  report("merge_model_layers total", t_merge, floats);
  std::printf("peak RSS: %ld MiB\n", peak_rss_mib());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) die("usage: model_bench diff N [put|get|both] [DIR] | kernels IN N OUT ... | merge N [DIR]");
  const std::string mode = argv[1];
  if (mode == "kernels") return run_kernels(argc, argv);
  const size_t n = std::strtoull(argv[2], nullptr, 10);
  if (mode == "diff") return run_diff(n, argc > 3 ? argv[3] : "both", bench_dir(argc, argv, 4));
  if (mode == "merge") return run_merge(n, bench_dir(argc, argv, 3));
  die("unknown mode " + mode);
}
