#pragma once
// Random instances for the move-scoring and tabu-search tests.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/constraint_check.hpp"
#include "core/constraints.hpp"
#include "core/output.hpp"
#include "core/problem.hpp"
#include "search/constructions.hpp"
#include "search/context.hpp"
#include "search/elite_pool.hpp"
#include "search/tabu_memory.hpp"
#include "search/tabu_search.hpp"

namespace quarnel::testing {

struct InstanceShape {
  std::size_t n = 12;
  std::size_t query_tokens = 0;
  bool symmetric = true;
  // Values on a grid of 1/64, so that short f32 sums are exact.
  bool dyadic = false;
  std::uint32_t seed = 1;
};

inline ProblemInstance random_instance(const InstanceShape& shape) {
  std::mt19937 rng(shape.seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  auto draw = [&](float lo, float hi) {
    float v = lo + (hi - lo) * unit(rng);
    if (shape.dyadic) v = static_cast<float>(static_cast<int>(v * 64.0f)) / 64.0f;
    return v;
  };
  const std::size_t n = shape.n;
  ProblemInstance p;
  p.num_candidates = n;
  for (auto* seq : {&p.relevance_scores, &p.density_scores, &p.centrality_scores, &p.recency_scores,
                    &p.auxiliary_scores, &p.fulfilment_scores}) {
    seq->resize(n);
    for (float& v : *seq) v = draw(0.0f, 1.0f);
  }
  p.token_costs.resize(n);
  for (auto& t : p.token_costs) t = 50 + static_cast<std::uint32_t>(rng() % 750);
  p.roles.assign(n, Role::Unknown);
  p.cluster_ids.assign(n, kNoCluster);
  for (std::size_t i = 0; i < n; ++i) p.chunk_ids.push_back("c" + std::to_string(i));

  std::vector<float> sim(n * n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    sim[i * n + i] = 1.0f;
    for (std::size_t j = shape.symmetric ? i + 1 : 0; j < n; ++j) {
      if (j == i) continue;
      const float v = draw(-0.25f, 0.95f);
      sim[i * n + j] = v;
      if (shape.symmetric) sim[j * n + i] = v;
    }
  }
  p.similarity_matrix = std::move(sim);

  if (shape.query_tokens > 0) {
    p.num_query_tokens = shape.query_tokens;
    std::vector<float> coverage(shape.query_tokens * n);
    // Some negative and some above-one values, which the support clamps.
    for (float& c : coverage) c = draw(-0.2f, 1.1f);
    p.coverage_matrix = std::move(coverage);
    std::vector<float> weights(shape.query_tokens > 1 ? shape.query_tokens - 1 : 0);
    for (float& w : weights) w = draw(0.25f, 1.5f);
    p.query_token_weights = std::move(weights);  // the last row weighs 1
  }
  return p;
}

inline SelectionMask random_mask(std::size_t n, std::size_t selected, std::uint32_t seed) {
  std::mt19937 rng(seed);
  SelectionMask mask(n, 0);
  std::size_t placed = 0;
  while (placed < selected && placed < n) {
    const std::size_t i = rng() % n;
    if (mask[i] == 0) mask[i] = 1, ++placed;
  }
  return mask;
}

// Everything a search needs, built in place (the context refers to the members).
struct SearchWorld {
  ProblemInstance instance;
  SolverSettings settings;
  PreparedConstraints constraints;
  ObjectiveWeights weights;
  CpuReferenceBackend backend{1};
  SearchContext context;

  SearchWorld(ProblemInstance p, const SolverConfig& config, const SolverConstraints& raw = {})
      : instance(std::move(p)),
        settings(SolverSettings::from_config(config)),
        constraints(prepare_constraints(raw, instance)),
        weights(make_objective_weights(settings)),
        context(settings, instance, constraints, *instance.similarity_matrix, weights, backend) {}
  SearchWorld(const SearchWorld&) = delete;
};

struct SearchRun {
  SearchOutcome outcome;
  SearchTrace trace;
  std::uint64_t iterations_run = 0;
};

// Runs the search from the priority-greedy construction, as the driver would.
inline SearchRun run_search(const SearchContext& ctx) {
  TabuMemory memory(ctx.settings.config.tabu_tenure, ctx.n, ctx.settings.tabu_similarity_threshold);
  const SelectionMask start = construct_priority_greedy(ctx);
  const bool satisfied = check_constraints(ctx.constraints, start, ctx.instance).satisfied;
  const ObjectiveBreakdown breakdown = ctx.evaluate(start);
  ElitePool pool;
  if (satisfied) pool.append(start, breakdown.objective_score);
  SearchRun run;
  run.outcome = run_tabu_search(ctx, SearchStart{start, breakdown, satisfied}, memory, pool, run.trace);
  run.iterations_run = memory.iteration();
  return run;
}

}  // namespace quarnel::testing
