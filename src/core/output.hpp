#pragma once
// The result record of one solve.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/problem.hpp"

namespace quarnel {

// Wall time of the driver's stages, in milliseconds, for benchmarks.
struct StageTimes {
  double similarity = 0.0;     // the similarity matrix (or taking the given one)
  double constructions = 0.0;  // both initial constructions, evaluated and checked
  double search = 0.0;         // the tabu search with its diversification
  double exact_window = 0.0;
  double removal_pass = 0.0;
  double report = 0.0;  // the final constraint report and its messages
};

// How the search went, kept for tests and diagnostics; not shown to callers.
struct SearchTrace {
  std::vector<std::size_t> construction_a;  // ascending indices
  std::vector<std::size_t> construction_b;
  std::vector<std::size_t> start;
  std::vector<std::size_t> final_before_window;
  std::vector<std::size_t> final_before_removal;
  std::vector<double> objective_trace;
  std::vector<std::uint64_t> diversification_iterations;
  const char* stop_reason = nullptr;  // "patience", "no_moves", "iterations", or null
  std::uint64_t moves_scored = 0;     // moves scored by the tabu search, for benchmarks
  StageTimes stages;
};

struct SolveResult {
  std::vector<std::size_t> selected_indices;
  double objective_score = 0.0;
  double relevance_total = 0.0;
  double density_total = 0.0;
  double centrality_total = 0.0;
  double recency_total = 0.0;
  double auxiliary_total = 0.0;
  double fulfilment_total = 0.0;
  double redundancy_penalty = 0.0;
  std::uint32_t total_tokens = 0;
  std::uint64_t num_selected = 0;
  std::uint64_t iterations_run = 0;
  std::uint64_t best_iteration = 0;
  bool constraints_satisfied = true;
  std::vector<std::string> constraint_violations;
  double solve_time_ms = 0.0;
  bool exact_window_used = false;
  std::uint64_t exact_window_core_size = 0;
  std::uint64_t exact_window_nodes = 0;
  bool exact_window_exhaustive = false;
  std::uint64_t exact_window_fixed_in = 0;
  std::uint64_t exact_window_fixed_out = 0;
  double exact_window_gap = 0.0;

  SelectionMask final_mask;
  SearchTrace trace;
};

}  // namespace quarnel
