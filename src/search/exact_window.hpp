#pragma once
// Exact polishing of the final selection: every subset of a small window of
// weak selected and promising unselected candidates, under a time or node limit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/objective.hpp"
#include "core/problem.hpp"
#include "search/context.hpp"

namespace quarnel {

inline constexpr std::size_t kMaxWindowSize = 20;

// Which candidates the window enumerates and what stays fixed around it.
struct WindowPlan {
  std::vector<std::size_t> window;  // ascending, at most kMaxWindowSize entries
  SelectionMask base;               // the final selection outside the window
  std::uint64_t fixed_in = 0;
  std::uint64_t fixed_out = 0;
};

// The weakest removable selected chunks and the most promising unselected
// candidates of `final_mask`, ranked as the tabu search ranks them.
WindowPlan plan_exact_window(const SearchContext& ctx, const SelectionMask& final_mask);

struct ExactWindowResult {
  bool used = false;
  std::uint64_t core_size = 0;
  std::uint64_t nodes = 0;
  bool exhaustive = false;
  std::uint64_t fixed_in = 0;
  std::uint64_t fixed_out = 0;
  double gap = 0.0;
  bool improved = false;
  SelectionMask best_mask;            // set when improved
  ObjectiveBreakdown best_breakdown;  // set when improved
};

// Runs the window on a feasible final solution; the caller checks that the
// solution is satisfied, the window is enabled and its size is non-zero.
ExactWindowResult run_exact_window(const SearchContext& ctx, const SelectionMask& final_mask,
                                   const ObjectiveBreakdown& final_breakdown);

}  // namespace quarnel
