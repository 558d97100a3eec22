// Data-parallel helpers for capture and restore.
//
// Threads are started for one call and joined before it returns; nothing
// outlives the call. That keeps the module safe across os.fork() (a child
// never inherits a half-owned pool) and lets the process exit at any time
// without waiting on parked workers. Starting a thread costs tens of
// microseconds, nothing next to the file work a call does.
//
// Thread-safety: each function may be called from several threads at once;
// the callables passed in run on several threads concurrently and must be
// safe for that.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qv {

// Processors this process may run on (its affinity mask), at least 1.
unsigned available_cpus();

// Workers for file work: blob writes wait on fsync, so twice the available
// processors keep them busy while other workers wait.
unsigned default_file_workers();

// Runs fn(i) for every i in [0, n) on up to `workers` threads, the calling
// thread being one of them. Indices are handed out in increasing order, one
// at a time, so at most `workers` items are in flight. Returns when all are
// done. fn must not throw.
void parallel_for(size_t n, unsigned workers, const std::function<void(size_t)>& fn);

// Computes produce(i) for i in [0, n) on background threads, ahead of a
// consumer on the calling thread that takes the results in increasing order.
// At most `window` results are computed ahead of the consumer, and no new one
// is started while the finished-but-untaken results weigh more than
// `byte_budget` (as measured by weigh), except the very next one, so memory
// stays bounded. Destroying it stops the producers and joins them; results not
// taken are discarded. produce and weigh must not throw.
template <class T>
class OrderedPrefetch {
 public:
  OrderedPrefetch(size_t n, unsigned workers, size_t window, size_t byte_budget, std::function<T(size_t)> produce,
                  std::function<size_t(const T&)> weigh)
      : n_(n), window_(window < 1 ? 1 : window), budget_(byte_budget), produce_(std::move(produce)),
        weigh_(std::move(weigh)), slots_(n), weights_(n, 0) {
    if (workers > n) workers = static_cast<unsigned>(n);
    for (unsigned w = 0; w < workers; ++w) {
      try {
        threads_.emplace_back([this] { run(); });
      } catch (...) {
        break;  // fewer threads (take() computes inline if there are none)
      }
    }
  }
  OrderedPrefetch(const OrderedPrefetch&) = delete;
  OrderedPrefetch& operator=(const OrderedPrefetch&) = delete;
  ~OrderedPrefetch() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }

  // The result for index i; i must be the next index not yet taken.
  T take(size_t i) {
    std::unique_lock<std::mutex> lock(mu_);
    if (threads_.empty() && next_ == i) {
      // No producer threads could be started: compute here.
      ++next_;
      taken_ = i + 1;
      lock.unlock();
      return produce_(i);
    }
    done_cv_.wait(lock, [&] { return slots_[i].has_value(); });
    T value = std::move(*slots_[i]);
    slots_[i].reset();
    ready_bytes_ -= weights_[i];
    taken_ = i + 1;
    lock.unlock();
    cv_.notify_all();
    return value;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] {
        return stop_ || next_ >= n_ ||
               (next_ < taken_ + window_ && (next_ == taken_ || ready_bytes_ <= budget_));
      });
      if (stop_ || next_ >= n_) return;
      size_t i = next_++;
      lock.unlock();
      T value = produce_(i);
      size_t weight = weigh_(value);
      lock.lock();
      weights_[i] = weight;
      ready_bytes_ += weight;
      slots_[i] = std::move(value);
      done_cv_.notify_all();
    }
  }

  const size_t n_;
  const size_t window_;
  const size_t budget_;
  std::function<T(size_t)> produce_;
  std::function<size_t(const T&)> weigh_;

  std::mutex mu_;
  std::condition_variable cv_;       // producers: room to start another
  std::condition_variable done_cv_;  // consumer: a result arrived
  std::vector<std::optional<T>> slots_;
  std::vector<size_t> weights_;
  size_t next_ = 0;   // next index to start
  size_t taken_ = 0;  // indices below this were taken
  size_t ready_bytes_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qv
