#pragma once
// The tabu search from the driver's starting solution, with diversification.
#include <cstdint>
#include <vector>

#include "core/constraint_check.hpp"
#include "core/objective.hpp"
#include "core/output.hpp"
#include "core/problem.hpp"
#include "search/context.hpp"
#include "search/elite_pool.hpp"
#include "search/tabu_memory.hpp"

namespace quarnel {

struct ScoredSolution {
  SelectionMask mask;
  ObjectiveBreakdown breakdown;
};

struct SearchStart {
  SelectionMask mask;
  ObjectiveBreakdown breakdown;
  bool satisfied = false;
};

struct SearchOutcome {
  bool has_best_feasible = false;
  ScoredSolution best_feasible;  // score -inf and an all-zero mask when none
  ScoredSolution best_any;
  std::uint64_t best_iteration = 0;
};

// Runs `iterations` (> 0) iterations from `start`; `memory` and `pool` are the
// driver's, and stay with it (the memory's counter becomes iterations_run).
SearchOutcome run_tabu_search(const SearchContext& ctx, const SearchStart& start, TabuMemory& memory,
                              ElitePool& pool, SearchTrace& trace);

}  // namespace quarnel
