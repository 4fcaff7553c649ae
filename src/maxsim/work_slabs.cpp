#include "maxsim/work_slabs.hpp"

#include <algorithm>

#include "backend/thread_pool.hpp"

namespace quarnel {

std::size_t units_per_slab(double unit_work) {
  // About 2^26 multiply-adds per thread: some 10 ms on one core.
  const double budget = 67108864.0 * static_cast<double>(pool_thread_count());
  const double units = budget / std::max(unit_work, 1.0);
  return units >= 1e15 ? std::size_t{1} << 50 : std::max<std::size_t>(1, static_cast<std::size_t>(units));
}

void run_in_slabs(std::size_t units, std::size_t slab, const SlabCheck& between_slabs,
                  const std::function<void(std::size_t, std::size_t)>& body) {
  slab = std::max<std::size_t>(1, slab);
  for (std::size_t first = 0; first < units; first += slab) {
    if (first != 0 && between_slabs) between_slabs();
    const std::size_t count = std::min(slab, units - first);
    parallel_for(count, [&](std::size_t begin, std::size_t end) { body(first + begin, first + end); });
  }
}

}  // namespace quarnel
