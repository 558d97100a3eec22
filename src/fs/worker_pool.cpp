#include "fs/worker_pool.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>

namespace qv {

unsigned available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

unsigned default_file_workers() { return 2 * available_cpus(); }

void parallel_for(size_t n, unsigned workers, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  if (workers < 1) workers = 1;
  if (workers > n) workers = static_cast<unsigned>(n);
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (;;) {
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      fn(i);
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (unsigned w = 1; w < workers; ++w) {
    try {
      threads.emplace_back(run);
    } catch (...) {
      break;  // the threads already started and this one finish the work
    }
  }
  run();
  for (auto& t : threads) t.join();
}

}  // namespace qv
