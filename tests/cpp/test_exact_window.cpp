#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/constraint_check.hpp"
#include "search/context.hpp"
#include "search/exact_window.hpp"
#include "search/exact_window_scorer.hpp"
#include "test_constructions_world.hpp"

namespace quarnel {
namespace {

using namespace testing_world;

ExactWindowResult run_window(World& w, const SelectionMask& mask) {
  const SearchContext& ctx = w.context();
  return run_exact_window(ctx, mask, ctx.evaluate(mask));
}

// Deterministic pseudo-random values in [0, 1).
struct Lcg {
  std::uint64_t state;
  float next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<float>(state >> 40) / static_cast<float>(1ull << 24);
  }
};

TEST(ExactWindowPlan, SplitsTheWindowBetweenWeakSelectedAndPromisingOutsideCandidates) {
  // Selected 0..9 with rising relevance, 0 and 1 required; outside 10..29
  // with relevance rising toward 29.
  std::vector<float> relevance;
  for (int i = 0; i < 30; ++i) relevance.push_back(0.01f * static_cast<float>(i + 1));
  World w(relevance, std::vector<std::uint32_t>(30, 10));
  w.instance.chunk_ids[0] = "r0";
  w.instance.chunk_ids[1] = "r1";
  w.constraints.required_chunks = {"r0", "r1"};
  SelectionMask final_mask(30, 0);
  for (int i = 0; i < 10; ++i) final_mask[i] = 1;

  // Default size 14: seven weakest removable (2..8), seven best outside (23..29).
  WindowPlan plan = plan_exact_window(w.context(), final_mask);
  EXPECT_EQ(plan.window, (Indices{2, 3, 4, 5, 6, 7, 8, 23, 24, 25, 26, 27, 28, 29}));
  EXPECT_EQ(plan.fixed_in, 3u);  // 0, 1, 9
  EXPECT_EQ(plan.fixed_out, 13u);
  EXPECT_EQ(selected_indices(plan.base), (Indices{0, 1, 9}));

  // Size 1: a single removable chunk.
  w.settings.config.exact_window_size = 1;
  EXPECT_EQ(plan_exact_window(w.context(), final_mask).window, (Indices{2}));

  // Only required chunks selected: the window is all outside candidates.
  w.settings.config.exact_window_size = 3;
  plan = plan_exact_window(w.context(), mask_of(30, {0, 1}));
  EXPECT_EQ(plan.window, (Indices{27, 28, 29}));
  EXPECT_EQ(plan.fixed_in, 2u);
  EXPECT_EQ(plan.fixed_out, 25u);

  // Sizes above 20 are capped.
  w.settings.config.exact_window_size = 64;
  EXPECT_EQ(plan_exact_window(w.context(), final_mask).window.size(), 20u);
}

TEST(ExactWindowPlan, WithoutRemovableChunksSizeOneTakesTheBestOutsideCandidate) {
  World w({0.5f, 0.2f, 0.9f}, {10, 10, 10});
  w.instance.chunk_ids[0] = "r";
  w.constraints.required_chunks = {"r"};
  w.settings.config.exact_window_size = 1;
  const ExactWindowResult r = run_window(w, mask_of(3, {0}));
  EXPECT_TRUE(r.used);
  EXPECT_EQ(r.core_size, 1u);
  EXPECT_EQ(r.nodes, 2u);
  EXPECT_TRUE(r.exhaustive);
  EXPECT_EQ(r.fixed_in, 1u);
  EXPECT_EQ(r.fixed_out, 1u);
  // Adding chunk 2 raises the score: the window takes it.
  ASSERT_TRUE(r.improved);
  EXPECT_EQ(selected_indices(r.best_mask), (Indices{0, 2}));
}

TEST(ExactWindow, ThreeEntriesVisitEightNodesEvenWithAZeroTimeLimit) {
  World w({0.3f, 0.2f, 0.1f, 0.05f}, {10, 10, 10, 10});
  w.settings.config.exact_window_size = 3;
  for (std::uint64_t limit : {std::uint64_t{60000}, std::uint64_t{0}}) {
    w.settings.config.exact_window_time_ms = limit;  // 0 runs as 1 ms
    const ExactWindowResult r = run_window(w, mask_of(4, {0, 1}));
    EXPECT_TRUE(r.used);
    EXPECT_EQ(r.core_size, 3u);
    EXPECT_EQ(r.nodes, 8u);
    EXPECT_TRUE(r.exhaustive);
    EXPECT_EQ(r.gap, 0.0);
    EXPECT_EQ(r.fixed_in, 1u);
    EXPECT_EQ(r.fixed_out, 0u);
    // Every chunk adds score, so the best completion selects everything.
    ASSERT_TRUE(r.improved);
    EXPECT_EQ(selected_indices(r.best_mask), (Indices{0, 1, 2, 3}));
  }
}

TEST(ExactWindow, TimeLimitCutsALargeWindowShort) {
  std::vector<float> relevance(400);
  Lcg rng{7};
  for (float& r : relevance) r = rng.next();
  World w(relevance, std::vector<std::uint32_t>(400, 10));
  w.settings.config.exact_window_size = 20;
  w.settings.config.exact_window_time_ms = 1;
  SelectionMask final_mask(400, 0);
  for (std::size_t i = 0; i < 30; ++i) final_mask[i * 7] = 1;
  const ExactWindowResult r = run_window(w, final_mask);
  EXPECT_TRUE(r.used);
  EXPECT_EQ(r.core_size, 20u);
  EXPECT_LT(r.nodes, 1u << 20);
  EXPECT_FALSE(r.exhaustive);
  EXPECT_EQ(r.gap, -1.0);
}

TEST(ExactWindow, NodeLimitReplacesTheClockAndIgnoresTheThreadCount) {
  std::vector<float> relevance(400);
  Lcg rng{7};
  for (float& r : relevance) r = rng.next();
  World w(relevance, std::vector<std::uint32_t>(400, 10));
  w.settings.config.exact_window_size = 20;
  w.settings.config.exact_window_time_ms = 1;  // would cut the window short
  w.settings.exact_window_node_limit = 100000;
  SelectionMask final_mask(400, 0);
  for (std::size_t i = 0; i < 30; ++i) final_mask[i * 7] = 1;
  std::vector<ExactWindowResult> runs;
  for (std::size_t threads : {1, 3})
    with_pool_size_for_testing(threads, [&] { runs.push_back(run_window(w, final_mask)); });
  for (const ExactWindowResult& r : runs) {
    EXPECT_EQ(r.nodes, 100352u);  // whole blocks of 1024 nodes
    EXPECT_FALSE(r.exhaustive);
    EXPECT_EQ(r.best_mask, runs[0].best_mask);
  }
  w.settings.config.exact_window_size = 12;
  w.settings.exact_window_node_limit = std::uint64_t{1} << 40;
  EXPECT_TRUE(run_window(w, final_mask).exhaustive);
}

TEST(ExactWindow, EmptyWindowDoesNotRun) {
  World w({0.5f}, {10});
  w.instance.chunk_ids[0] = "r";
  w.constraints.required_chunks = {"r"};
  const ExactWindowResult r = run_window(w, mask_of(1, {0}));
  EXPECT_FALSE(r.used);
  EXPECT_EQ(r.core_size, 0u);
  EXPECT_EQ(r.nodes, 0u);
  EXPECT_EQ(r.fixed_in, 0u);
  EXPECT_EQ(r.gap, 0.0);
}

// The window's fast per-node path (merged index lists, screening score) must
// pick exactly what a plain enumeration with full checks and evaluations picks.
TEST(ExactWindow, MatchesPlainEnumerationOnARichInstance) {
  const std::size_t n = 36, tokens_rows = 5;
  Lcg rng{42};
  std::vector<float> relevance(n);
  std::vector<std::uint32_t> tokens(n);
  for (std::size_t i = 0; i < n; ++i) {
    relevance[i] = rng.next();
    tokens[i] = 50 + static_cast<std::uint32_t>(rng.next() * 300.0f);
  }
  World w(relevance, tokens);
  for (std::size_t i = 0; i < n; ++i) {
    w.instance.density_scores[i] = rng.next();
    w.instance.fulfilment_scores[i] = rng.next();
    w.instance.cluster_ids[i] = static_cast<std::int32_t>(i % 5);
    w.instance.roles[i] = role_from_byte(static_cast<std::uint8_t>(i % 4));
    for (std::size_t j = 0; j < i; ++j) w.similarity[i * n + j] = w.similarity[j * n + i] = rng.next() * 0.6f;
  }
  std::vector<float> coverage(tokens_rows * n);
  for (float& c : coverage) c = rng.next() * 1.2f - 0.1f;
  w.instance.coverage_matrix = coverage;
  w.instance.num_query_tokens = tokens_rows;
  w.instance.query_token_weights = std::vector<float>{1.0f, 0.5f, 2.0f};
  w.constraints.max_tokens = 1500;
  w.constraints.min_chunks = 3;
  w.constraints.max_per_cluster = 2;
  w.constraints.must_include_roles = {Role::Example};
  w.settings.config.exact_window_size = 12;

  const SelectionMask final_mask = mask_of(n, {1, 4, 9, 13, 22, 30});
  const SearchContext& ctx = w.context();
  ASSERT_TRUE(check_constraints(ctx.constraints, final_mask, ctx.instance).satisfied);
  const ObjectiveBreakdown final_breakdown = ctx.evaluate(final_mask);
  const ExactWindowResult r = run_exact_window(ctx, final_mask, final_breakdown);
  const WindowPlan plan = plan_exact_window(ctx, final_mask);

  SelectionMask best_mask = final_mask;
  ObjectiveBreakdown best = final_breakdown;
  std::uint64_t feasible = 0;
  for (std::uint64_t code = 0; code < (1u << plan.window.size()); ++code) {
    SelectionMask m = plan.base;
    for (std::size_t j = 0; j < plan.window.size(); ++j)
      if ((code >> j) & 1u) m[plan.window[j]] = 1;
    if (!check_constraints(ctx.constraints, m, ctx.instance).satisfied) continue;
    ++feasible;
    const ObjectiveBreakdown b = ctx.evaluate(m);
    if (b.objective_score > best.objective_score + 1e-6) {
      best = b;
      best_mask = m;
    }
  }
  ASSERT_GT(feasible, 1u);
  EXPECT_EQ(r.nodes, 1u << plan.window.size());
  EXPECT_TRUE(r.exhaustive);
  const bool improved = best.objective_score > final_breakdown.objective_score + 1e-6;
  ASSERT_TRUE(improved);  // the start is not the window optimum
  ASSERT_TRUE(r.improved);
  EXPECT_EQ(r.best_mask, best_mask);
  EXPECT_EQ(r.best_breakdown.objective_score, best.objective_score);
  EXPECT_EQ(r.best_breakdown.fulfilment_total, best.fulfilment_total);
  EXPECT_EQ(r.best_breakdown.redundancy_penalty, best.redundancy_penalty);
}

// The scorer's per-level row states and gathered arrays must reproduce the
// full per-selection score bit for bit, whatever order codes arrive in.
TEST(WindowScorer, MatchesTheFullScoreBitForBitInAnyCodeOrder) {
  const std::size_t n = 30, rows = 6;
  Lcg rng{9};
  std::vector<float> relevance(n);
  for (float& r : relevance) r = rng.next() - 0.3f;
  World w(relevance, std::vector<std::uint32_t>(n, 10));
  for (std::size_t i = 0; i < n; ++i) {
    w.instance.density_scores[i] = rng.next();
    w.instance.auxiliary_scores[i] = rng.next();
    for (std::size_t j = 0; j < n; ++j)
      if (j != i) w.similarity[i * n + j] = rng.next() * 0.9f;  // asymmetric on purpose
  }
  // Coverage with ties, negatives, signed zeros, values above 1 and many at
  // the quorum threshold, so that every support rule takes part.
  const float palette[] = {0.55f, 0.9f, -0.2f, 0.0f, -0.0f, 1.3f, 0.55f, 0.7f};
  std::vector<float> coverage(rows * n);
  for (float& c : coverage) c = rng.next() < 0.5f ? palette[static_cast<int>(rng.next() * 8.0f)] : rng.next();
  w.instance.coverage_matrix = coverage;
  w.instance.num_query_tokens = rows;
  w.instance.query_token_weights = std::vector<float>{0.5f, 2.0f};
  w.settings.config.epsilon = 0.25f;
  const SearchContext& ctx = w.context();

  const std::vector<std::size_t> fixed{2, 7, 11, 19, 25};
  const std::vector<std::size_t> window{0, 3, 8, 12, 13, 20, 24, 29};
  WindowScorer scorer(ctx, fixed, window);
  const std::uint64_t codes = 1u << window.size();
  std::vector<std::uint64_t> order;
  for (std::uint64_t c = 0; c < codes; ++c) order.push_back(c);
  for (std::uint64_t c = 0; c < codes; ++c) order.push_back((c * 37 + 11) % codes);  // jumps back and forth

  for (std::uint64_t code : order) {
    SelectionMask mask(n, 0);
    for (std::size_t i : fixed) mask[i] = 1;
    for (std::size_t j = 0; j < window.size(); ++j)
      if ((code >> j) & 1u) mask[window[j]] = 1;
    std::vector<std::size_t> local;
    for (std::size_t a = 0; a < scorer.universe().size(); ++a)
      if (mask[scorer.universe()[a]] != 0) local.push_back(a);
    const float expected = selection_score(ctx.view, mask.data());
    ASSERT_EQ(std::bit_cast<std::uint32_t>(scorer.score(code, local)), std::bit_cast<std::uint32_t>(expected))
        << "code " << code;
  }
}

}  // namespace
}  // namespace quarnel
