#pragma once
// Everything one solve's search stages read: settings, instance, prepared
// constraints, similarity matrix, weights, backend, and per-candidate values
// that never change during the solve.
#include <cstddef>
#include <span>
#include <vector>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/constraints.hpp"
#include "core/objective.hpp"
#include "core/problem.hpp"
#include "core/problem_view.hpp"
#include "core/scores.hpp"
#include "core/stop_check.hpp"

namespace quarnel {

struct SearchContext {
  const SolverSettings& settings;
  const ProblemInstance& instance;
  const PreparedConstraints& constraints;
  std::span<const float> similarity;  // n * n
  // sim[i*n + j] and sim[j*n + i] have the same bits for every pair, so a
  // column may be read as the row of the same index.
  bool symmetric_similarity;
  const ObjectiveWeights& weights;
  const SimilarityBackend& backend;
  ProblemView view;
  std::size_t n;
  std::vector<double> unary;  // unary_score of every candidate
  SizePowers size_powers;     // for the add priority and retention value
  std::vector<double> greedy_base;  // unary / max(t, 1)^0.85: the greedy priority before its bonuses
  // Candidates by cluster slot and by role slot (offsets, then indices), the
  // ones whose greedy priority a selection can change.
  std::vector<std::size_t> cluster_start, cluster_members, role_start, role_members;
  const StopCheck* stop;  // the caller's, or null

  // `mirrored`: the matrix is symmetric by construction (computed by the
  // backend); otherwise it is checked.
  SearchContext(const SolverSettings& settings, const ProblemInstance& instance,
                const PreparedConstraints& constraints, std::span<const float> similarity,
                const ObjectiveWeights& weights, const SimilarityBackend& backend, bool mirrored = false,
                const StopCheck* stop = nullptr);

  // Runs the caller's stop check, which throws to end the solve.
  void check_stop() const {
    if (stop != nullptr && *stop) (*stop)();
  }

  ObjectiveBreakdown evaluate(const SelectionMask& mask) const;
  // The same breakdown from the ascending selected indices of a 0/1 mask;
  // reads only those with the reference backend, whose loops it reproduces.
  ObjectiveBreakdown evaluate(const SelectionMask& mask, std::span<const std::size_t> selected) const;
};

std::vector<std::size_t> selected_indices(const SelectionMask& mask);

}  // namespace quarnel
