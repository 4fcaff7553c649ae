#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.hpp"
#include "backend/thread_pool.hpp"
#include "core/constraints.hpp"
#include "search/driver.hpp"
#include "test_instances.hpp"

namespace quarnel {
namespace {

// Random scores and costs with a symmetric similarity matrix.
ProblemInstance random_problem(std::size_t n, unsigned seed) {
  ProblemInstance p = testing::blank_instance(n);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::size_t i = 0; i < n; ++i) {
    p.relevance_scores[i] = unit(rng);
    p.density_scores[i] = unit(rng);
    p.token_costs[i] = 50 + static_cast<std::uint32_t>(rng() % 400);
    p.roles[i] = role_from_byte(static_cast<std::uint8_t>(rng() % 9));
    p.cluster_ids[i] = static_cast<std::int32_t>(rng() % 4) - 1;
  }
  std::vector<float> sim(n * n, 0.0f);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) sim[i * n + j] = sim[j * n + i] = unit(rng) * 0.8f;
  p.similarity_matrix = std::move(sim);
  return p;
}

SolveResult run(const SolverConfig& config, const ProblemInstance& p, const SolverConstraints& raw) {
  const CpuReferenceBackend backend(1);
  return solve(SolverSettings::from_config(config), backend, p, prepare_constraints(raw, p));
}

TEST(Driver, EmptyInstanceIsCheckedAgainstTheConstraints) {
  const SolveResult r = run({}, testing::blank_instance(0), {});
  EXPECT_TRUE(r.selected_indices.empty());
  EXPECT_FALSE(r.constraints_satisfied);
  EXPECT_EQ(r.constraint_violations, std::vector<std::string>{"Too few chunks: 0 < 1"});
  EXPECT_EQ(r.solve_time_ms, 0.0);
  EXPECT_FALSE(r.exact_window_used);
  SolverConstraints none;
  none.min_chunks = 0;
  EXPECT_TRUE(run({}, testing::blank_instance(0), none).constraints_satisfied);
}

TEST(Driver, WithoutIterationsReturnsTheBetterConstruction) {
  SolverConfig config;
  config.iterations = 0;
  config.enable_exact_window = false;
  SolverConstraints limits;
  limits.max_tokens = 900;
  const SolveResult r = run(config, random_problem(30, 1), limits);
  EXPECT_EQ(r.trace.final_before_removal, r.trace.start);
  EXPECT_TRUE(std::includes(r.trace.start.begin(), r.trace.start.end(), r.selected_indices.begin(),
                            r.selected_indices.end()));
  EXPECT_EQ(r.iterations_run, 0u);
  EXPECT_EQ(r.best_iteration, 0u);
  EXPECT_TRUE(r.trace.objective_trace.empty());
}

TEST(Driver, InfeasibleFinalSolutionSkipsTheWindowAndReportsViolations) {
  SolverConstraints impossible;
  impossible.min_chunks = 1000;
  const SolveResult r = run({}, random_problem(12, 2), impossible);
  EXPECT_FALSE(r.constraints_satisfied);
  EXPECT_FALSE(r.exact_window_used);
  EXPECT_EQ(r.exact_window_nodes, 0u);
  EXPECT_EQ(r.exact_window_core_size, 0u);
  EXPECT_EQ(r.exact_window_gap, 0.0);
  ASSERT_FALSE(r.constraint_violations.empty());
  EXPECT_EQ(r.constraint_violations.back().rfind("Too few chunks: ", 0), 0u);
}

TEST(Driver, RequiredChunkOverTheBudgetIsReportedMissing) {
  ProblemInstance p = random_problem(10, 3);
  p.token_costs[4] = 5000;
  SolverConstraints limits;
  limits.max_tokens = 1000;
  limits.required_chunks = {"c4"};
  const SolveResult r = run({}, p, limits);
  EXPECT_FALSE(r.constraints_satisfied);
  ASSERT_EQ(r.constraint_violations.size(), 1u);
  EXPECT_EQ(r.constraint_violations[0], "Required chunk missing: c4");
}

TEST(Driver, FeasibleSolveRunsTheWindowAndStaysWithinLimits) {
  SolverConfig config;
  config.exact_window_time_ms = 60000;
  SolverConstraints limits;
  limits.max_tokens = 1200;
  limits.max_per_cluster = 2;
  const ProblemInstance p = random_problem(40, 4);
  const SolveResult r = run(config, p, limits);
  EXPECT_TRUE(r.constraints_satisfied);
  EXPECT_LE(r.total_tokens, 1200u);
  EXPECT_TRUE(r.exact_window_used);
  EXPECT_TRUE(r.exact_window_exhaustive);
  EXPECT_EQ(r.exact_window_nodes, 1u << r.exact_window_core_size);
  EXPECT_EQ(r.num_selected, r.selected_indices.size());
}

TEST(Driver, ResultDoesNotDependOnThePoolSize) {
  SolverConfig config;
  config.exact_window_time_ms = 60000;
  SolverConstraints limits;
  limits.max_tokens = 2000;
  const ProblemInstance p = random_problem(120, 5);
  SolveResult one, two;
  with_pool_size_for_testing(1, [&] { one = run(config, p, limits); });
  with_pool_size_for_testing(2, [&] { two = run(config, p, limits); });
  EXPECT_EQ(one.selected_indices, two.selected_indices);
  EXPECT_EQ(one.objective_score, two.objective_score);
  EXPECT_EQ(one.trace.objective_trace, two.trace.objective_trace);
  EXPECT_EQ(one.iterations_run, two.iterations_run);
}

}  // namespace
}  // namespace quarnel
