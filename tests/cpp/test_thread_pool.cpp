#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

// Sets an environment variable for one scope and restores the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ThreadPool, PiecesCoverTheRangeExactlyOnce) {
  for (std::size_t threads : {1, 2, 3, 8}) {
    with_pool_size_for_testing(threads, [&] {
      EXPECT_EQ(pool_thread_count(), threads);
      for (std::size_t count : {0, 1, 2, 7, 33, 1000}) {
        std::vector<std::atomic<int>> hits(count);
        std::atomic<bool> empty_piece{false};
        parallel_for(count, [&](std::size_t begin, std::size_t end) {
          if (begin >= end) empty_piece = true;
          for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        });
        EXPECT_FALSE(empty_piece) << threads << " threads, count " << count;
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
      }
    });
  }
}

TEST(ThreadPool, SingleThreadPoolRunsOnTheCaller) {
  with_pool_size_for_testing(1, [] {
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    parallel_for_each(50, [&](std::size_t) {
      if (std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
    });
    EXPECT_EQ(elsewhere.load(), 0);
  });
}

TEST(ThreadPool, NestedLoopsFinishWhileEveryThreadIsBusy) {
  with_pool_size_for_testing(2, [] {
    // Both outer pieces wait for each other, so both threads are inside the
    // outer loop when the inner loops start: each inner loop has to be run by
    // its own caller.
    std::barrier both_busy(2);
    std::vector<std::thread::id> outer_threads(2);
    std::vector<long> sums(2, 0);
    parallel_for(2, [&](std::size_t begin, std::size_t end) {
      ASSERT_EQ(end, begin + 1);
      outer_threads[begin] = std::this_thread::get_id();
      both_busy.arrive_and_wait();
      std::vector<long> parts(100, 0);
      parallel_for_each(100, [&](std::size_t i) { parts[i] = static_cast<long>(i); });
      for (long v : parts) sums[begin] += v;
    });
    EXPECT_NE(outer_threads[0], outer_threads[1]);
    EXPECT_EQ(sums, (std::vector<long>{4950, 4950}));
  });
}

TEST(ThreadPool, RethrowsTheFirstFailingPieceAfterAllPiecesRan) {
  with_pool_size_for_testing(3, [] {
    const std::size_t count = 100;
    std::mutex mutex;
    std::vector<std::size_t> failed_begins;
    std::atomic<std::size_t> visited{0};
    try {
      parallel_for(count, [&](std::size_t begin, std::size_t end) {
        visited.fetch_add(end - begin);
        if (end > 40) {
          std::lock_guard<std::mutex> lock(mutex);
          failed_begins.push_back(begin);
          throw std::runtime_error(std::to_string(begin));
        }
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      ASSERT_FALSE(failed_begins.empty());
      EXPECT_EQ(e.what(), std::to_string(*std::min_element(failed_begins.begin(), failed_begins.end())));
    }
    EXPECT_EQ(visited.load(), count);
    // The type survives the trip, and the pool keeps working.
    EXPECT_THROW(parallel_for(10, [](std::size_t, std::size_t) { require(false, "boom"); }), InternalError);
    std::atomic<std::size_t> total{0};
    parallel_for(10, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
    EXPECT_EQ(total.load(), 10u);
  });
}

TEST(ThreadPool, TestingPoolIsRestoredEvenOnException) {
  const std::size_t original = pool_thread_count();
  EXPECT_THROW(with_pool_size_for_testing(original + 2,
                                          [&] {
                                            EXPECT_EQ(pool_thread_count(), original + 2);
                                            throw std::runtime_error("out");
                                          }),
               std::runtime_error);
  EXPECT_EQ(pool_thread_count(), original);
}

TEST(ThreadPool, SizeFromEnvironment) {
  ScopedEnv rs("RAYON_RS_NUM_CPUS", nullptr);
  {
    ScopedEnv num("RAYON_NUM_THREADS", "3");
    EXPECT_EQ(configured_thread_count(), 3u);
  }
  ScopedEnv fallback("RAYON_RS_NUM_CPUS", "5");
  for (const char* rejected : {"0", "", " 4", "4 ", "+4", "-4", "4x", "99999999999999999999999"}) {
    ScopedEnv num("RAYON_NUM_THREADS", rejected);
    EXPECT_EQ(configured_thread_count(), 5u) << "RAYON_NUM_THREADS='" << rejected << "'";
  }
  ScopedEnv neither("RAYON_RS_NUM_CPUS", "zero");
  EXPECT_GE(configured_thread_count(), 1u);
}

// Runs fn in a forked child with a time limit; true when it exits with 0.
template <typename Fn>
bool child_succeeds(Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    _exit(fn() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool pool_sums_correctly() {
  std::vector<long> values(1000, 0);
  parallel_for_each(values.size(), [&](std::size_t i) { values[i] = static_cast<long>(i); });
  long sum = 0;
  for (long v : values) sum += v;
  return sum == 499500 && pool_thread_count() >= 1;
}

TEST(ThreadPool, ForkedChildStartsAFreshPool) {
  // The parent's workers do not exist in the child and their locks may have
  // been held at the fork (another thread keeps the pool busy here), so the
  // child must build a new pool, sized from its own environment.
  with_pool_size_for_testing(4, [] {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's own allocator is not fork-safe under concurrent use
      while (!stop) pool_sums_correctly();
#endif
    });
    int children_ok = 0;
    for (int round = 0; round < 20; ++round) {
      children_ok += child_succeeds([] {
        setenv("RAYON_NUM_THREADS", "3", 1);
        return pool_thread_count() == 3 && pool_sums_correctly();
      });
    }
    stop = true;
    busy.join();
    EXPECT_EQ(children_ok, 20);
    EXPECT_EQ(pool_thread_count(), 4u);
  });
}

TEST(ThreadPool, StartPoolSizesOnlyAPoolNotYetStarted) {
  // A fresh child has no pool: the first request wins over the environment,
  // and a later one gets the running count back, whatever it asks.
  EXPECT_TRUE(child_succeeds([] {
    setenv("RAYON_NUM_THREADS", "3", 1);
    return start_pool(2) == 2 && pool_thread_count() == 2 && start_pool(5) == 2 && pool_sums_correctly();
  }));
  EXPECT_TRUE(child_succeeds([] {
    setenv("RAYON_NUM_THREADS", "3", 1);
    return pool_thread_count() == 3 && start_pool(1) == 3;
  }));
  EXPECT_TRUE(child_succeeds([] { return start_pool(0) == 1 && pool_sums_correctly(); }));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(ThreadPool, RefusedThreadsShrinkThePoolInsteadOfAborting) {
  // With little address space left, thread stacks cannot be mapped, so only a
  // few of the requested workers start.
  EXPECT_TRUE(child_succeeds([] {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    if (pages == 0) return false;
    limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (96u << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
    bool ok = false;
    with_pool_size_for_testing(1000, [&] { ok = pool_thread_count() < 1000 && pool_sums_correctly(); });
    return ok;
  }));
}
#endif

}  // namespace
}  // namespace quarnel
