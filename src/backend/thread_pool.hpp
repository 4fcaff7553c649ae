#pragma once
// The process-wide worker pool behind every parallel loop. It starts on first
// use with RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs available
// to the process; the calling thread takes part in the work, so a nested loop
// on a pool thread cannot deadlock. A forked child starts a fresh pool.
#include <cstddef>
#include <functional>

namespace quarnel {

// Number of threads of the global pool (the caller counted), starting it if needed.
std::size_t pool_thread_count();

// Starts the global pool with `threads` threads (at least 1) instead of the
// environment's count, unless it has already started; returns the pool's
// thread count either way, so a caller sees when its request came too late.
std::size_t start_pool(std::size_t threads);

// Calls body(begin, end) for contiguous pieces that cover [0, count) exactly
// once, on the pool and the calling thread, and returns when all are done. The
// range is split into at least `grain` items per piece (so a loop of fewer
// than two grains runs on the caller alone, where handing it out would cost
// more than it saves). The first exception thrown by a piece is rethrown here
// after every piece has finished.
void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t grain = 1);

// Same, one item at a time: body(i) for every i in [0, count).
void parallel_for_each(std::size_t count, const std::function<void(std::size_t)>& body);

// Thread count the environment asks for, for tests: RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS (positive integers only), else the available CPUs (min 1).
std::size_t configured_thread_count();

// Testing aid: runs `fn` with the global pool replaced by one of `threads`
// threads; not for concurrent use with other parallel work.
void with_pool_size_for_testing(std::size_t threads, const std::function<void()>& fn);

}  // namespace quarnel
