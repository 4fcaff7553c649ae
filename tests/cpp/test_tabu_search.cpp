#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/move_scoring.hpp"
#include "core/objective.hpp"
#include "search/tabu_search.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

using testing::InstanceShape;
using testing::random_instance;
using testing::run_search;
using testing::SearchRun;
using testing::SearchWorld;

SolverConfig config_with(std::uint64_t iterations, std::uint64_t patience) {
  SolverConfig config;
  config.iterations = iterations;
  config.early_stopping_patience = patience;
  return config;
}

TEST(TabuSearchRules, ThresholdsTenureAndNeighbourhood) {
  const SearchThresholds p20 = SearchThresholds::from_patience(20);
  EXPECT_EQ(std::vector<std::uint64_t>({p20.divisor, p20.half_patience, p20.diversify_at, p20.destroy_at}),
            std::vector<std::uint64_t>({5, 10, 10, 12}));
  const SearchThresholds p0 = SearchThresholds::from_patience(0);
  EXPECT_EQ(std::vector<std::uint64_t>({p0.divisor, p0.half_patience, p0.diversify_at}),
            std::vector<std::uint64_t>({2, 1, 6}));
  EXPECT_EQ(SearchThresholds::from_patience(13).divisor, 3u);

  EXPECT_EQ(reactive_tenure(10, 30, 0), 10u);
  EXPECT_EQ(reactive_tenure(10, 30, 7), 13u);
  EXPECT_EQ(reactive_tenure(10, 30, 100), 20u);  // grows by at most the base
  EXPECT_EQ(reactive_tenure(0, 0, 9), 0u);

  const NeighbourhoodSize calm = neighbourhood_size(100, 50, 9, 0, 5);
  EXPECT_EQ(calm.incoming, 50u);  // 60, capped by the candidates
  EXPECT_EQ(calm.outgoing, 9u);   // 12, capped by the selection
  const NeighbourhoodSize wide = neighbourhood_size(10000, 9000, 49, 10, 5);
  EXPECT_EQ(wide.incoming, 1800u);  // 100 * 6 * 3
  EXPECT_EQ(wide.outgoing, 49u);
  EXPECT_EQ(neighbourhood_size(1, 1, 0, 0, 2).incoming, 1u);
}

TEST(TabuSearchRules, ChoiceInListOrder) {
  const double eps = 2.220446049250313e-16;
  const std::vector<std::uint8_t> all = {1, 1, 1};
  // Values within epsilon are decided by the greater delta; a full tie keeps the first.
  EXPECT_EQ(choose_move(all, std::vector<double>{1.0, 1.0, 1.0}, std::vector<double>{0.1, 0.3, 0.3}, false), 1u);
  EXPECT_EQ(choose_move(all, std::vector<double>{1.0, 1.0 + eps, 0.5}, std::vector<double>{0.2, 0.1, 0.9}, false), 1u);
  EXPECT_EQ(choose_move(all, std::vector<double>{1.0, 1.0 - eps, 0.5}, std::vector<double>{0.1, 0.9, 0.9}, false), 0u);
  EXPECT_EQ(choose_move(std::vector<std::uint8_t>{0, 1, 0}, std::vector<double>{5, 1, 7}, std::vector<double>{0, 0, 0},
                        false),
            1u);
  EXPECT_EQ(choose_move(std::vector<std::uint8_t>{0, 0}, std::vector<double>{1, 2}, std::vector<double>{0, 0}, false),
            kNone);
  // Batched scoring keeps a later move on an equal delta.
  EXPECT_EQ(choose_move(all, std::vector<double>{1.0, 1.0, 0.0}, std::vector<double>{0.2, 0.2, 0.0}, true), 1u);
}

TEST(TabuSearchRules, ReversingTheLastMoveNeedsAspirationOrLateStagnation) {
  ProblemInstance p = random_instance({.n = 8});
  TabuMemory memory(10, 8, 0.85f);
  SelectionMask mask = {1, 1, 0, 0, 1, 0, 0, 0};
  memory.advance_iteration();
  mask[4] = 0, mask[5] = 1;  // swap 5 in, 4 out
  memory.record_move(mask, 5, 4, p);
  memory.advance_iteration();
  const std::vector<std::size_t> selected = {0, 1, 5}, incoming = {2, 3, 4, 6, 7};
  MoveMemory prepared;
  prepared.prepare(memory, mask, selected, incoming, p);
  ASSERT_TRUE(prepared.tabu(4, 5));
  const double margin = 1e-6f;
  // Improving on the current score but not on the best feasible one.
  EXPECT_FALSE(move_admissible(1.5, 1.0, 2.0, true, false, margin));
  EXPECT_TRUE(move_admissible(1.5, 1.0, 2.0, true, true, margin));
  EXPECT_TRUE(move_admissible(2.1, 1.0, 2.0, true, false, margin));
  // "More than the margin": an improvement of exactly the margin is not enough.
  EXPECT_FALSE(move_admissible(margin, -1.0, 0.0, true, false, margin));
  EXPECT_FALSE(move_admissible(margin, 0.0, 2.0, true, true, margin));
  EXPECT_TRUE(move_admissible(0.5, 1.0, 2.0, false, false, margin));
}

TEST(TabuSearch, PatienceDecidesBetweenStoppingAndDiversifying) {
  const ProblemInstance p = random_instance({.n = 60, .query_tokens = 4, .seed = 8});
  {
    // Patience 0 stops after exactly one iteration, whatever it found.
    SearchWorld w(p, config_with(100, 0));
    const SearchRun run = run_search(w.context);
    EXPECT_EQ(run.iterations_run, 1u);
    EXPECT_LE(run.trace.objective_trace.size(), 1u);
  }
  {
    // Patience 5 is below the diversification threshold 6: it stops instead.
    SearchWorld w(p, config_with(200, 5));
    const SearchRun run = run_search(w.context);
    EXPECT_STREQ(run.trace.stop_reason, "patience");
    EXPECT_TRUE(run.trace.diversification_iterations.empty());
    EXPECT_GE(run.iterations_run, 5u);
    EXPECT_LT(run.iterations_run, 200u);
  }
  {
    // Patience 20 diversifies at 10 stagnant iterations and never stops early;
    // each diversification restarts the iteration counter.
    SearchWorld w(p, config_with(120, 20));
    const SearchRun run = run_search(w.context);
    EXPECT_STREQ(run.trace.stop_reason, "iterations");
    ASSERT_FALSE(run.trace.diversification_iterations.empty());
    EXPECT_EQ(run.iterations_run, 119 - run.trace.diversification_iterations.back());
  }
}

TEST(TabuSearch, BestSolutionsAreEvaluatedAndFeasible) {
  SolverConstraints constraints;
  constraints.max_tokens = 3000;
  constraints.min_chunks = 3;
  ProblemInstance p = random_instance({.n = 80, .query_tokens = 6, .seed = 3});
  for (std::size_t i = 0; i < 80; ++i) p.cluster_ids[i] = static_cast<std::int32_t>(i % 9);
  SearchWorld w(p, config_with(60, 20), constraints);
  const SearchRun run = run_search(w.context);
  ASSERT_TRUE(run.outcome.has_best_feasible);
  const SelectionMask& best = run.outcome.best_feasible.mask;
  EXPECT_TRUE(check_constraints(w.constraints, best, w.instance).satisfied);
  EXPECT_EQ(run.outcome.best_feasible.breakdown.objective_score, w.context.evaluate(best).objective_score);
  EXPECT_GE(run.outcome.best_any.breakdown.objective_score, run.outcome.best_feasible.breakdown.objective_score);
  EXPECT_GT(run.trace.moves_scored, 0u);
  const double start = w.context.evaluate(construct_priority_greedy(w.context)).objective_score;
  EXPECT_GT(run.outcome.best_feasible.breakdown.objective_score, start);
}

TEST(TabuSearch, NoMovesEndsTheSearchAtOnce) {
  ProblemInstance p = random_instance({.n = 6, .seed = 4});
  SolverConstraints constraints;
  constraints.max_chunks = 2;
  {
    SearchWorld probe(p, config_with(10, 20), constraints);
    const SelectionMask start = construct_priority_greedy(probe.context);
    for (std::size_t i = 0; i < 6; ++i)
      if (!start[i]) constraints.excluded_chunks.push_back(p.chunk_ids[i]);
  }
  SearchWorld w(p, config_with(10, 20), constraints);
  const SearchRun run = run_search(w.context);
  EXPECT_STREQ(run.trace.stop_reason, "no_moves");
  EXPECT_EQ(run.iterations_run, 1u);
  EXPECT_TRUE(run.trace.objective_trace.empty());
}

TEST(TabuSearch, ResultsDoNotDependOnTheThreadCount) {
  ProblemInstance p = random_instance({.n = 150, .query_tokens = 8, .seed = 17});
  for (std::size_t i = 0; i < 150; ++i) p.cluster_ids[i] = static_cast<std::int32_t>(i % 11);
  SearchWorld w(p, config_with(80, 20));
  std::vector<SearchRun> runs;
  for (std::size_t threads : {1, 2, 3})
    with_pool_size_for_testing(threads, [&] { runs.push_back(run_search(w.context)); });
  for (std::size_t r = 1; r < runs.size(); ++r) {
    EXPECT_EQ(runs[r].outcome.best_feasible.mask, runs[0].outcome.best_feasible.mask);
    EXPECT_EQ(runs[r].outcome.best_iteration, runs[0].outcome.best_iteration);
    EXPECT_EQ(runs[r].trace.objective_trace, runs[0].trace.objective_trace);
    EXPECT_EQ(runs[r].trace.diversification_iterations, runs[0].trace.diversification_iterations);
    EXPECT_EQ(runs[r].trace.moves_scored, runs[0].trace.moves_scored);
  }
}

}  // namespace
}  // namespace quarnel
