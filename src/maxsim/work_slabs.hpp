#pragma once
// MaxSim work is a range of independent units (one query block against one
// document, say), run on the worker pool one slab at a time. Between two
// slabs the calling thread runs `between_slabs` when it is set: the one place
// where a long scoring call can look for a reason to stop. Every unit writes
// its own scores, so neither slabs nor threads change a result.
#include <cstddef>
#include <functional>

namespace quarnel {

using SlabCheck = std::function<void()>;

// The number of units per slab for units that each cost about
// `unit_work` multiply-adds: a few milliseconds of work, at least one unit.
std::size_t units_per_slab(double unit_work);

void run_in_slabs(std::size_t units, std::size_t slab, const SlabCheck& between_slabs,
                  const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace quarnel
