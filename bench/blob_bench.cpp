// Throughput of the blob store on real data: put and get of many small files
// and of one large file, with one and two threads, the cost of storing content
// that is already there, and the cost of flushing the fan-out directory.
//
//   blob_bench run   <file-list> <big-file> <work-dir>
//   blob_bench reput <file-list> <store-dir>     (for syscall counting)
//
// bench/blob_bench.sh prepares the data and runs the zstd command line on the
// same input for comparison.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/blob_store.h"
#include "core/file_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "blob_bench: %s\n", what.c_str());
  std::exit(1);
}

std::vector<std::string> load_list(const std::string& list) {
  std::ifstream in(list);
  if (!in) die("cannot read " + list);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto bytes = qv::read_file(line);
    if (!bytes) die(line + ": " + bytes.error().message);
    out.push_back(std::move(*bytes));
  }
  return out;
}

uint64_t total_size(const std::vector<std::string>& items) {
  uint64_t n = 0;
  for (const auto& s : items) n += s.size();
  return n;
}

double cpu_seconds() {
  struct rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (all threads) of the last run_parallel: the machine is shared,
// so wall time alone says little about our own cost.
double g_last_cpu = 0;

// Runs op(i) for every i in [0, n) on `threads` threads; returns wall seconds.
// Threads are created per run, as a caller's worker pool would be, so each
// run includes building the per-thread compression context once.
double run_parallel(size_t n, int threads, const std::function<void(size_t)>& op) {
  std::atomic<size_t> next{0};
  double cpu0 = cpu_seconds();
  auto t0 = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < n;) op(i);
    });
  }
  for (auto& th : pool) th.join();
  g_last_cpu = cpu_seconds() - cpu0;
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void report(const char* what, int threads, size_t files, uint64_t bytes, double secs) {
  std::printf("%-28s %d thread%s %6zu files %6.1f MB %7.2f s wall %7.2f s cpu %8.0f files/s %8.2f MB/s\n", what,
              threads, threads == 1 ? " " : "s", files, bytes / 1e6, secs, g_last_cpu, files / secs,
              bytes / 1e6 / secs);
  std::fflush(stdout);
}

void put_all(qv::LocalBlobStore& store, const std::vector<std::string>& items, std::vector<qv::Digest>& digests,
             int threads, const char* what) {
  digests.assign(items.size(), {});
  double secs = run_parallel(items.size(), threads, [&](size_t i) {
    auto d = store.put(items[i]);
    if (!d) die(std::string("put: ") + d.error().message);
    digests[i] = *d;
  });
  report(what, threads, items.size(), total_size(items), secs);
}

void get_all(qv::LocalBlobStore& store, const std::vector<std::string>& items, const std::vector<qv::Digest>& digests,
             int threads, const char* what) {
  double secs = run_parallel(items.size(), threads, [&](size_t i) {
    auto b = store.get(digests[i]);
    if (!b || b->size() != items[i].size()) die("get failed or returned the wrong size");
  });
  report(what, threads, items.size(), total_size(items), secs);
}

uint64_t compressed_size(const fs::path& root, const std::vector<qv::Digest>& digests) {
  std::unordered_set<std::string> seen;
  uint64_t n = 0;
  for (const auto& d : digests) {
    if (seen.insert(d.as_str()).second) n += fs::file_size(*qv::blob_path(root, d));
  }
  return n;
}

// The write path of put without compression, with and without the flush of
// the containing directory, on already-compressed payloads.
void directory_flush_cost(const std::vector<std::string>& payloads, const fs::path& dir) {
  for (bool flush_dir : {false, true}) {
    fs::path sub = dir / (flush_dir ? "with" : "without");
    fs::create_directories(sub);
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    for (size_t i = 0; i < payloads.size(); ++i) {
      fs::path fan = sub / std::to_string(i % 256);
      if (!qv::make_dirs(fan)) die("mkdir");
      std::string name = (fan / std::to_string(i)).native();
      std::string tmp = name + ".tmp";
      qv::UniqueFd fd(::open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
      if (!fd || !qv::write_all(fd.get(), payloads[i]) || ::fsync(fd.get()) != 0 || !fd.close()) die("write");
      if (::rename(tmp.c_str(), name.c_str()) != 0) die("rename");
      if (flush_dir && !qv::fsync_dir(fan)) die("fsync dir");
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("write+fsync+rename%-10s 1 thread  %6zu files %7.2f s wall %7.2f s cpu %8.3f ms/file\n",
                flush_dir ? " +dir fsync" : "", payloads.size(), secs, cpu_seconds() - cpu0,
                secs * 1e3 / payloads.size());
  }
}

std::vector<std::string> split_halves(const std::string& big) {
  size_t half = big.size() / 2;
  return {big.substr(0, half), big.substr(half)};
}

long peak_rss_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int run(const std::string& list, const std::string& big_file, const fs::path& work) {
  std::vector<std::string> small = load_list(list);
  std::unordered_set<std::string_view> unique(small.begin(), small.end());
  std::printf("small files: %zu (%zu distinct contents), %.1f MB\n", small.size(), unique.size(),
              total_size(small) / 1e6);
  auto big_bytes = qv::read_file(big_file);
  if (!big_bytes) die(big_file + ": " + big_bytes.error().message);
  std::vector<std::string> big = {std::move(*big_bytes)};
  std::vector<std::string> halves = split_halves(big[0]);
  std::printf("large file: %.1f MB (2 threads: two halves of %.1f MB)\n\n", big[0].size() / 1e6,
              halves[0].size() / 1e6);

  std::vector<qv::Digest> d1, d2, dbig, dhalves, dummy;
  qv::LocalBlobStore s1(work / "small1"), s2(work / "small2");
  put_all(s1, small, d1, 1, "put small (new)");
  put_all(s2, small, d2, 2, "put small (new)");
  uint64_t packed = compressed_size(work / "small1", d1);
  std::printf("  stored: %.1f MB compressed, ratio %.2f\n", packed / 1e6, double(total_size(small)) / packed);
  get_all(s1, small, d1, 1, "get small");
  get_all(s1, small, d1, 2, "get small");
  put_all(s1, small, dummy, 1, "put small (already stored)");
  put_all(s1, small, dummy, 2, "put small (already stored)");

  qv::LocalBlobStore b1(work / "big1"), b2(work / "big2");
  put_all(b1, big, dbig, 1, "put large (new)");
  std::printf("  stored: %.1f MB compressed, ratio %.2f\n", compressed_size(work / "big1", dbig) / 1e6,
              double(big[0].size()) / compressed_size(work / "big1", dbig));
  put_all(b2, halves, dhalves, 2, "put large halves (new)");
  get_all(b1, big, dbig, 1, "get large");
  get_all(b2, halves, dhalves, 2, "get large halves");
  put_all(b1, big, dummy, 1, "put large (already stored)");

  std::printf("\n");
  std::vector<std::string> payloads;
  for (size_t i = 0; i < d1.size() && payloads.size() < 2000; ++i) {
    auto raw = qv::read_file(*qv::blob_path(work / "small1", d1[i]));
    if (raw) payloads.push_back(std::move(*raw));
  }
  directory_flush_cost(payloads, work / "flush");
  std::printf("\npeak RSS: %.0f MB\n", peak_rss_kb() / 1024.0);
  return 0;
}

int reput(const std::string& list, const fs::path& store_dir) {
  std::vector<std::string> small = load_list(list);
  qv::LocalBlobStore store(store_dir);
  std::vector<qv::Digest> digests;
  put_all(store, small, digests, 1, "put small (already stored)");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && argc == 5) return run(argv[2], argv[3], argv[4]);
  if (mode == "reput" && argc == 4) return reput(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: blob_bench run <file-list> <big-file> <work-dir>\n"
               "       blob_bench reput <file-list> <store-dir>\n");
  return 2;
}
