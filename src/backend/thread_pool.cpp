#include "backend/thread_pool.hpp"

#include <emmintrin.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quarnel {
namespace {

// One parallel loop: pieces are claimed through an atomic counter by the
// caller and by any worker that picks the job from the queue.
struct Job {
  const std::function<void(std::size_t, std::size_t)>* body = nullptr;
  std::size_t count = 0;
  std::size_t pieces = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex error_mutex;
  std::exception_ptr error;
  std::size_t error_piece = 0;
  std::mutex done_mutex;
  std::condition_variable done;

  // Start of a piece: pieces differ in size by at most one item (no overflow
  // for any count, unlike count * piece / pieces).
  std::size_t piece_start(std::size_t piece) const {
    const std::size_t base = count / pieces, extra = count % pieces;
    return piece * base + std::min(piece, extra);
  }

  // Runs pieces until none are left to claim.
  void run_pieces() {
    for (;;) {
      const std::size_t piece = next.fetch_add(1, std::memory_order_relaxed);
      if (piece >= pieces) return;
      const std::size_t begin = piece_start(piece);
      const std::size_t end = piece_start(piece + 1);
      try {
        (*body)(begin, end);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error || piece < error_piece) {
          error = std::current_exception();
          error_piece = piece;
        }
      }
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == pieces) {
        std::lock_guard<std::mutex> lock(done_mutex);
        done.notify_all();
      }
    }
  }

  bool complete() const { return finished.load(std::memory_order_acquire) == pieces; }
};

// How long an idle thread keeps polling for work before it sleeps. The search
// starts a parallel loop every hundred microseconds or so; a worker that is
// still polling takes it up at once, where waking a sleeping one costs tens
// of microseconds.
constexpr auto kSpinTime = std::chrono::microseconds(150);

// Polls `ready` with a pause between reads until it holds or the spin time
// has passed; returns whether it holds. Now and then it yields the core, so
// that on a machine with more runnable threads than cores the poll does not
// hold up the threads doing the work.
template <typename Ready>
bool spin_until(Ready&& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
    _mm_pause();
    if (round % 64 == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return ready();
      sched_yield();
    }
  }
}

class ThreadPool {
 public:
  // When the system refuses more threads, the pool runs with those it got
  // (the caller always counts as one) instead of failing.
  explicit ThreadPool(std::size_t threads) {
    const std::size_t wanted = threads < 1 ? 1 : threads;
    try {
      while (workers_.size() + 1 < wanted) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
    }
    threads_ = workers_.size() + 1;
  }

  ~ThreadPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& w : workers_) w.join();
  }

  std::size_t threads() const { return threads_; }

  void run(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body, std::size_t grain) {
    if (count == 0) return;
    // A few pieces per thread balance uneven work; never below a grain a piece.
    const std::size_t pieces = std::min(count / std::max<std::size_t>(grain, 1), threads_ * 4);
    // A single piece runs directly on the caller: no job, no queue.
    if (threads_ == 1 || pieces <= 1) {
      body(0, count);
      return;
    }
    auto job = std::make_shared<Job>();
    job->body = &body;
    job->count = count;
    job->pieces = pieces;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(job);
      queued_.fetch_add(1, std::memory_order_release);
      wake = sleepers_ > 0;  // read under the lock: a worker about to sleep has counted itself
    }
    if (wake) wake_.notify_all();
    job->run_pieces();
    // The other pieces are running or about to finish: poll before sleeping.
    if (!spin_until([&] { return job->complete(); })) {
      std::unique_lock<std::mutex> lock(job->done_mutex);
      job->done.wait(lock, [&] { return job->complete(); });
    }
    if (job->error) std::rethrow_exception(job->error);
  }

 private:
  void work() {
    for (;;) {
      spin_until([&] { return queued_.load(std::memory_order_acquire) > 0 || stopping_; });
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ++sleepers_;
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        --sleepers_;
        if (stopping_) return;
        job = queue_.front();
        // Leave the job queued while pieces remain so other workers join it.
        if (job->next.load(std::memory_order_relaxed) >= job->pieces) {
          pop_front();
          continue;
        }
      }
      job->run_pieces();
      std::lock_guard<std::mutex> lock(mutex_);
      if (!queue_.empty() && queue_.front() == job) pop_front();
    }
  }

  // Called with mutex_ held.
  void pop_front() {
    queue_.pop_front();
    queued_.fetch_sub(1, std::memory_order_release);
  }

  std::size_t threads_ = 1;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::atomic<std::size_t> queued_{0};  // queue_.size(), readable without the lock
  std::size_t sleepers_ = 0;            // workers waiting on wake_, under mutex_
  std::atomic<bool> stopping_{false};
};

// The variable's value when it is a positive decimal integer (digits only,
// no sign or spaces, no overflow), else 0.
std::size_t positive_env(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return 0;
  std::size_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::size_t>(*c - '0'), &value))
      return 0;
  }
  return value;
}

std::mutex g_pool_mutex;
ThreadPool* g_pool = nullptr;  // never destroyed: workers may outlive static destruction order
bool g_atfork_registered = false;

void reset_in_child() {
  // The parent's worker threads do not exist in the child and its locks may be
  // held; abandon the old pool (and its mutexes) and start afresh on next use.
  new (&g_pool_mutex) std::mutex();
  g_pool = nullptr;
}

// Called with g_pool_mutex held, before the first pool starts.
void register_fork_handler() {
  if (!g_atfork_registered) {
    pthread_atfork(nullptr, nullptr, reset_in_child);
    g_atfork_registered = true;
  }
}

ThreadPool& global_pool() {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  register_fork_handler();
  if (!g_pool) g_pool = new ThreadPool(configured_thread_count());
  return *g_pool;
}

// Swaps in another pool (for tests) and returns the one it replaced.
ThreadPool* replace_global_pool(ThreadPool* pool) {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  register_fork_handler();
  ThreadPool* previous = g_pool;
  g_pool = pool;
  return previous;
}

}  // namespace

std::size_t configured_thread_count() {
  if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
  if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

std::size_t pool_thread_count() { return global_pool().threads(); }

std::size_t start_pool(std::size_t threads) {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  register_fork_handler();
  if (!g_pool) g_pool = new ThreadPool(threads);
  return g_pool->threads();
}

void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body, std::size_t grain) {
  global_pool().run(count, body, grain);
}

void parallel_for_each(std::size_t count, const std::function<void(std::size_t)>& body) {
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) body(i);
  });
}

void with_pool_size_for_testing(std::size_t threads, const std::function<void()>& fn) {
  auto replacement = std::make_unique<ThreadPool>(threads);
  struct Restore {
    ThreadPool* previous;
    ~Restore() { replace_global_pool(previous); }
  } restore{replace_global_pool(replacement.get())};
  fn();
}

}  // namespace quarnel
