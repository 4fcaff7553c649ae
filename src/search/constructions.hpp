#pragma once
// Constructive stages: the driver's priority-greedy construction, the ordered
// construction, repair-and-complete, and destroy-and-repair. Each returns a
// new mask and leaves its inputs unchanged.
#include <cstdint>
#include <vector>

#include "core/problem.hpp"
#include "search/context.hpp"

namespace quarnel {

// Construction A of the driver: required chunks, then one chunk per missing
// must-include role, then fill, each pick by the highest greedy priority.
SelectionMask construct_priority_greedy(const SearchContext& ctx);

// Candidates ordered by the construction key (frequency-penalised), required
// chunks first, one chunk per missing role, then one pass of filling.
SelectionMask construct_ordered(const SearchContext& ctx, const std::vector<std::uint64_t>& frequency);

// Adds required chunks, then one chunk per missing role, then the best
// admissible chunks until nothing more fits; only can_add decides admission.
SelectionMask repair_and_complete(const SearchContext& ctx, const SelectionMask& mask);

// Removes the weakest third of the removable selection (by the destroy key), then repairs.
SelectionMask destroy_and_repair(const SearchContext& ctx, const SelectionMask& mask,
                                 const std::vector<std::uint64_t>& frequency);

}  // namespace quarnel
