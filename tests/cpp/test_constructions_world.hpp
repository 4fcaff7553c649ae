#pragma once
// A small search world for the construction, elite-pool and window tests:
// an instance whose unary scores are the relevance values (every other score
// is 0 until a test sets it), a zero similarity matrix, and a context built
// from whatever the test configured.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "backend/backend.hpp"
#include "core/constraints.hpp"
#include "search/context.hpp"

namespace quarnel::testing_world {

struct World {
  ProblemInstance instance;
  SolverSettings settings = SolverSettings::from_config(SolverConfig{});
  SolverConstraints constraints;
  PreparedConstraints prepared;
  std::vector<float> similarity;
  ObjectiveWeights weights{};
  CpuReferenceBackend backend{1};
  std::optional<SearchContext> ctx;

  World(std::vector<float> relevance, std::vector<std::uint32_t> tokens) {
    const std::size_t n = relevance.size();
    instance.num_candidates = n;
    instance.relevance_scores = std::move(relevance);
    for (auto* v : {&instance.density_scores, &instance.centrality_scores, &instance.recency_scores,
                    &instance.auxiliary_scores, &instance.fulfilment_scores})
      v->assign(n, 0.0f);
    instance.token_costs = std::move(tokens);
    instance.roles.assign(n, Role::Unknown);
    instance.cluster_ids.assign(n, kNoCluster);
    for (std::size_t i = 0; i < n; ++i) instance.chunk_ids.push_back("c" + std::to_string(i));
    similarity.assign(n * n, 0.0f);
    settings.config.exact_window_time_ms = 60000;  // windows finish unless a test says otherwise
  }

  // Rebuilds the context from the current settings, constraints and data.
  const SearchContext& context() {
    prepared = prepare_constraints(constraints, instance);
    weights = make_objective_weights(settings);
    ctx.emplace(settings, instance, prepared, similarity, weights, backend);
    return *ctx;
  }
};

inline SelectionMask mask_of(std::size_t n, std::initializer_list<std::size_t> selected) {
  SelectionMask m(n, 0);
  for (std::size_t i : selected) m[i] = 1;
  return m;
}

using Indices = std::vector<std::size_t>;

}  // namespace quarnel::testing_world
