#pragma once
// The tabu search from the driver's starting solution, with diversification.
#include <cstddef>
#include <cstdint>
#include <span>
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

// Stagnation thresholds derived from the early-stopping patience p.
struct SearchThresholds {
  std::uint64_t patience = 0;
  std::uint64_t divisor = 2;        // widening step: 2 if p/4 < 3, else p/4
  std::uint64_t half_patience = 1;  // max(p/2, 1): from here an improving tabu move is admitted
  std::uint64_t diversify_at = 6;   // 6 if p < 14, else p/2
  std::uint64_t destroy_at = 8;     // diversify_at + 2: relinking hands over to destroy and repair

  static SearchThresholds from_patience(std::uint64_t patience);
};

// The tenure for a stagnation counter: the base at 0, growing by half the
// stagnation (at most the base) up to the maximum tenure.
std::uint64_t reactive_tenure(std::uint64_t base, std::uint64_t max_tenure, std::uint64_t stagnation);

// How many candidates to try bringing in and how many selected chunks to try
// taking out; both widen with stagnation.
struct NeighbourhoodSize {
  std::size_t incoming = 0;
  std::size_t outgoing = 0;
};
NeighbourhoodSize neighbourhood_size(std::size_t n, std::size_t candidates, std::size_t selected,
                                     std::uint64_t stagnation, std::uint64_t divisor);

// A move is admissible when its new score beats the best feasible score by
// more than the margin (aspiration), or when it is not tabu; once the
// stagnation reaches half the patience, also when it beats the current score.
bool move_admissible(double new_score, double current_score, double best_feasible_score, bool tabu,
                     bool past_half_patience, double margin);

// The admissible move with the greatest value, in list order: values within
// the f64 epsilon are decided by the greater delta, a full tie keeps the
// earlier move. Batched scoring keeps a later move on equal deltas as well.
// Returns kNone when no move is admissible.
std::size_t choose_move(std::span<const std::uint8_t> admissible, std::span<const double> value,
                        std::span<const double> delta, bool batched);

// Runs `iterations` (> 0) iterations from `start`; `memory` and `pool` are the
// driver's, and stay with it (the memory's counter becomes iterations_run).
SearchOutcome run_tabu_search(const SearchContext& ctx, const SearchStart& start, TabuMemory& memory,
                              ElitePool& pool, SearchTrace& trace);

}  // namespace quarnel
