#include "search/driver.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <span>
#include <vector>

#include "core/constraint_check.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"
#include "search/constructions.hpp"
#include "search/context.hpp"
#include "search/elite_pool.hpp"
#include "search/exact_window.hpp"
#include "search/removal_pass.hpp"
#include "search/tabu_memory.hpp"
#include "search/tabu_search.hpp"

namespace quarnel {
namespace {

struct Candidate {
  SelectionMask mask;
  ObjectiveBreakdown breakdown;
  bool satisfied = false;
};

Candidate score_candidate(const SearchContext& ctx, SelectionMask mask) {
  Candidate c;
  c.breakdown = ctx.evaluate(mask);
  c.satisfied = check_constraints(ctx.constraints, mask, ctx.instance).satisfied;
  c.mask = std::move(mask);
  return c;
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
  const auto now = std::chrono::steady_clock::now();
  if (now < start) return 0.0;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
  const double seconds = static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  return seconds * 1000.0;
}

// Milliseconds since `mark`, which moves on to now.
double lap_ms(std::chrono::steady_clock::time_point& mark) {
  const auto now = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - mark).count();
  mark = now;
  return ms;
}

void copy_report(SolveResult& result, const ConstraintReport& report) {
  result.constraint_violations = report.messages();
  result.constraints_satisfied = report.satisfied;
  result.num_selected = report.count;
  result.total_tokens = report.total_tokens;
}

void copy_breakdown(SolveResult& result, const ObjectiveBreakdown& b) {
  result.objective_score = b.objective_score;
  result.relevance_total = b.relevance_total;
  result.density_total = b.density_total;
  result.centrality_total = b.centrality_total;
  result.recency_total = b.recency_total;
  result.auxiliary_total = b.auxiliary_total;
  result.fulfilment_total = b.fulfilment_total;
  result.redundancy_penalty = b.redundancy_penalty;
}

}  // namespace

SolveResult solve(const SolverSettings& settings, const SimilarityBackend& backend, const ProblemInstance& instance,
                  const PreparedConstraints& constraints, const StopCheck& stop) {
  return solve_with_starts(settings, backend, instance, constraints, {}, stop);
}

SolveResult solve_with_starts(const SolverSettings& settings, const SimilarityBackend& backend,
                              const ProblemInstance& instance, const PreparedConstraints& constraints,
                              std::span<const SelectionMask> warm_starts, const StopCheck& stop) {
  const auto started = std::chrono::steady_clock::now();
  SolveResult result;
  const std::size_t n = instance.num_candidates;
  require(constraints.id_slot.size() == n, "constraints were prepared for another instance");
  if (n == 0) {
    // Nothing to search, but the empty selection is still checked: it fails
    // min_chunks >= 1, min_tokens > 0 and any required chunk or role.
    copy_report(result, check_constraints(constraints, SelectionMask{}, instance));
    return result;
  }
  instance.validate();
  StageTimes& stages = result.trace.stages;
  auto mark = started;

  // A given matrix is read in place; only a computed one is owned here.
  UninitializedVector<float> computed;
  if (!instance.similarity_matrix)
    computed = backend.similarity_matrix(instance.embeddings, n, instance.embedding_dim);
  const std::span<const float> similarity = instance.similarity_matrix ? std::span<const float>(*instance.similarity_matrix)
                                                                       : std::span<const float>(computed);
  const ObjectiveWeights weights = make_objective_weights(settings);
  // The backend computes each pair once and mirrors it.
  const SearchContext ctx(settings, instance, constraints, similarity, weights, backend, !computed.empty(), &stop);
  ctx.check_stop();
  backend.prepare(ctx.view, std::max<std::uint64_t>(settings.move_batch_size, 1));
  stages.similarity = lap_ms(mark);

  const SolverConfig& config = settings.config;
  TabuMemory memory(config.tabu_tenure, n, settings.tabu_similarity_threshold);
  // Construction B reads a frequency memory whose counts are all zero.
  const std::vector<std::uint64_t> no_frequency(n, 0);

  Candidate a = score_candidate(ctx, construct_priority_greedy(ctx));
  Candidate b = score_candidate(ctx, construct_ordered(ctx, no_frequency));
  result.trace.construction_a = selected_indices(a.mask);
  result.trace.construction_b = selected_indices(b.mask);

  // Only feasible warm starts count: an infeasible one would only lead the
  // search away from the constructions' handling of infeasible instances.
  std::vector<Candidate> warm;
  warm.reserve(warm_starts.size());
  for (const SelectionMask& mask : warm_starts) {
    check_length(mask.size(), n, "warm start");
    Candidate c = score_candidate(ctx, mask);
    if (c.satisfied) warm.push_back(std::move(c));
  }

  // Best score first; a tie keeps construction A first, then B, then the
  // warm starts in the caller's order.
  std::vector<Candidate*> ranked{&a, &b};
  for (Candidate& c : warm) ranked.push_back(&c);
  std::stable_sort(ranked.begin(), ranked.end(), [](const Candidate* x, const Candidate* y) {
    return x->breakdown.objective_score > y->breakdown.objective_score;
  });
  Candidate* start = ranked[0];
  for (Candidate* c : ranked) {
    if (c->satisfied) {
      start = c;
      break;
    }
  }
  result.trace.start = selected_indices(start->mask);
  stages.constructions = lap_ms(mark);
  ctx.check_stop();

  ElitePool pool;
  for (Candidate* c : ranked)
    if (c->satisfied) pool.append(c->mask, c->breakdown.objective_score);
  if (start->satisfied) pool.insert(start->mask, start->breakdown.objective_score);

  SearchOutcome outcome;
  if (config.iterations > 0) {
    outcome = run_tabu_search(ctx, SearchStart{start->mask, start->breakdown, start->satisfied}, memory, pool,
                              result.trace);
  } else {
    outcome.best_any = ScoredSolution{start->mask, start->breakdown};
    outcome.has_best_feasible = start->satisfied;
    if (start->satisfied) outcome.best_feasible = outcome.best_any;
  }

  // The best feasible solution, or the best solution of any kind when the
  // search never found a feasible one.
  ScoredSolution final_solution = outcome.has_best_feasible ? outcome.best_feasible : outcome.best_any;
  bool final_satisfied = check_constraints(constraints, final_solution.mask, instance).satisfied;
  if (outcome.has_best_feasible && !final_satisfied) {
    final_solution = outcome.best_any;
    final_satisfied = check_constraints(constraints, final_solution.mask, instance).satisfied;
  }
  // The search keeps its start, the best feasible one; a feasible warm start
  // that still beats the result (or a result that lost feasibility) is taken
  // back, so the caller never gets less than the best start they gave.
  for (const Candidate& c : warm) {
    if (!final_satisfied || c.breakdown.objective_score > final_solution.breakdown.objective_score) {
      final_solution = ScoredSolution{c.mask, c.breakdown};
      final_satisfied = true;
    }
  }
  std::uint64_t best_iteration = outcome.best_iteration;
  result.trace.final_before_window = selected_indices(final_solution.mask);
  stages.search = lap_ms(mark);

  if (final_satisfied && config.enable_exact_window && config.exact_window_size > 0) {
    ExactWindowResult window = run_exact_window(ctx, final_solution.mask, final_solution.breakdown);
    result.exact_window_used = window.used;
    result.exact_window_core_size = window.core_size;
    result.exact_window_nodes = window.nodes;
    result.exact_window_exhaustive = window.exhaustive;
    result.exact_window_fixed_in = window.fixed_in;
    result.exact_window_fixed_out = window.fixed_out;
    result.exact_window_gap = window.gap;
    if (window.improved) {
      final_solution = ScoredSolution{std::move(window.best_mask), window.best_breakdown};
      best_iteration = memory.iteration();
    }
  }

  stages.exact_window = lap_ms(mark);
  result.trace.final_before_removal = selected_indices(final_solution.mask);
  if (final_satisfied && run_removal_pass(ctx, final_solution.mask, final_solution.breakdown) > 0)
    best_iteration = memory.iteration();
  stages.removal_pass = lap_ms(mark);

  copy_report(result, check_constraints(constraints, final_solution.mask, instance));
  result.solve_time_ms = elapsed_ms(started);
  stages.report = lap_ms(mark);
  result.selected_indices = selected_indices(final_solution.mask);
  copy_breakdown(result, final_solution.breakdown);
  result.iterations_run = memory.iteration();
  result.best_iteration = best_iteration;
  result.final_mask = std::move(final_solution.mask);
  return result;
}

}  // namespace quarnel
