#include <gtest/gtest.h>

#include <random>

#include "core/constraint_check.hpp"
#include "search/exact_window.hpp"
#include "search/exact_window_bound.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

// The window's best by a plain walk: every code in order, checked and
// evaluated in full, kept when it beats the best by the margin.
struct PlainBest {
  bool improved = false;
  SelectionMask mask;
  ObjectiveBreakdown breakdown;
};

PlainBest plain_window(const SearchContext& ctx, const WindowPlan& plan, double start_score) {
  PlainBest best;
  double best_score = start_score;
  const std::size_t w = plan.window.size();
  for (std::uint64_t code = 0; code < (std::uint64_t{1} << w); ++code) {
    SelectionMask node = plan.base;
    for (std::size_t j = 0; j < w; ++j) node[plan.window[j]] = (code >> j) & 1u;
    if (!check_constraints(ctx.constraints, node, ctx.instance).satisfied) continue;
    const ObjectiveBreakdown b = ctx.evaluate(node);
    if (b.objective_score > best_score + ctx.settings.margin()) {
      best_score = b.objective_score;
      best = PlainBest{true, node, b};
    }
  }
  return best;
}

testing::SearchWorld& world_for(std::uint32_t seed, std::size_t window, std::unique_ptr<testing::SearchWorld>& keep) {
  testing::InstanceShape shape;
  shape.n = 48;
  shape.query_tokens = seed % 3 == 0 ? 0 : 6;
  shape.symmetric = seed % 4 != 1;
  shape.dyadic = seed % 2 == 0;
  shape.seed = seed;
  ProblemInstance p = testing::random_instance(shape);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < shape.n; ++i) {
    p.roles[i] = role_from_byte(static_cast<std::uint8_t>(rng() % 9));
    p.cluster_ids[i] = static_cast<std::int32_t>(rng() % 6) - 1;
  }
  SolverConfig config;
  config.exact_window_size = window;
  config.exact_window_time_ms = 600000;
  config.lambda = seed % 5 == 0 ? 0.05f : 0.5f;
  SolverConstraints limits;
  limits.max_tokens = 3000 + 500 * (seed % 4);
  limits.min_tokens = seed % 3 == 1 ? 800 : 0;
  limits.max_chunks = 6 + seed % 5;
  limits.min_chunks = seed % 4;
  limits.max_per_cluster = 1 + seed % 3;
  limits.required_chunks = {"c" + std::to_string(seed % 9)};
  if (seed % 2) limits.must_include_roles = {Role::Example};
  keep = std::make_unique<testing::SearchWorld>(std::move(p), config, limits);
  return *keep;
}

TEST(WindowBound, WindowBestMatchesAPlainWalk) {
  std::size_t improved = 0;
  for (std::size_t size : {1, 7, 14, 20}) {
    for (std::uint32_t seed = 1; seed <= (size == 20 ? 1u : 10u); ++seed) {
      std::unique_ptr<testing::SearchWorld> keep;
      const SearchContext& ctx = world_for(seed, size, keep).context;
      const SelectionMask start = construct_priority_greedy(ctx);
      const ObjectiveBreakdown breakdown = ctx.evaluate(start);
      const WindowPlan plan = plan_exact_window(ctx, start);
      const ExactWindowResult fast = run_exact_window(ctx, start, breakdown);
      const PlainBest plain = plain_window(ctx, plan, breakdown.objective_score);
      SCOPED_TRACE("size " + std::to_string(size) + " seed " + std::to_string(seed));
      EXPECT_TRUE(fast.exhaustive);
      EXPECT_EQ(fast.nodes, std::uint64_t{1} << plan.window.size());
      ASSERT_EQ(fast.improved, plain.improved);
      if (!plain.improved) continue;
      ++improved;
      EXPECT_EQ(fast.best_mask, plain.mask);
      EXPECT_EQ(fast.best_breakdown.objective_score, plain.breakdown.objective_score);
      EXPECT_EQ(fast.best_breakdown.fulfilment_total, plain.breakdown.fulfilment_total);
    }
  }
  EXPECT_GT(improved, 5u);  // the window does find better selections here
}

// Feasibility kept by the walk agrees with the full check on every node, and
// the bound is never below the f32 score.
TEST(WindowBound, FeasibilityAndBoundHoldOnEveryNode) {
  std::size_t feasible_nodes = 0;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    std::unique_ptr<testing::SearchWorld> keep;
    const SearchContext& ctx = world_for(seed, 10, keep).context;
    const WindowPlan plan = plan_exact_window(ctx, construct_priority_greedy(ctx));
    const std::vector<std::size_t> fixed = selected_indices(plan.base);
    WindowBound bound(ctx, fixed, plan.window);
    ASSERT_TRUE(bound.usable());
    WindowBound::Walker walker = bound.start();
    const std::size_t w = plan.window.size();
    for (std::uint64_t i = 0; i < (std::uint64_t{1} << w); ++i) {
      const std::uint64_t code = i * 37 % (std::uint64_t{1} << w);  // out of order as well
      walker.move_to(code);
      SelectionMask node = plan.base;
      for (std::size_t j = 0; j < w; ++j) node[plan.window[j]] = (code >> j) & 1u;
      const bool satisfied = check_constraints(ctx.constraints, node, ctx.instance).satisfied;
      ASSERT_EQ(walker.feasible(), satisfied) << "seed " << seed << " code " << code;
      feasible_nodes += satisfied;
      ASSERT_GE(walker.upper_bound(), ctx.evaluate(node).objective_score) << "seed " << seed << " code " << code;
    }
  }
  EXPECT_GT(feasible_nodes, 100u);
}

}  // namespace
}  // namespace quarnel
