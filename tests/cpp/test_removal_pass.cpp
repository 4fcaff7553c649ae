#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <iterator>
#include <limits>
#include <numeric>
#include <random>

#include "core/constraint_check.hpp"
#include "backend/simd.hpp"
#include "search/removal_bounds.hpp"
#include "search/removal_fulfilment.hpp"
#include "search/removal_lanes.hpp"
#include "search/removal_pass.hpp"
#include "search/removal_scorer.hpp"
#include "test_constructions_world.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

using namespace testing_world;

// The pass written plainly: every single removal checked and evaluated in full.
std::size_t plain_removal_pass(const SearchContext& ctx, SelectionMask& mask, ObjectiveBreakdown& breakdown) {
  std::size_t removed = 0;
  while (true) {
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_index = ctx.n;
    for (std::size_t i = 0; i < ctx.n; ++i) {
      if (mask[i] == 0) continue;
      SelectionMask without = mask;
      without[i] = 0;
      if (!check_constraints(ctx.constraints, without, ctx.instance).satisfied) continue;
      const double score = ctx.evaluate(without).objective_score;
      if (score > best) best = score, best_index = i;
    }
    if (best_index == ctx.n || !(best - breakdown.objective_score > ctx.settings.margin())) return removed;
    mask[best_index] = 0;
    breakdown = ctx.evaluate(mask);
    ++removed;
  }
}

void expect_same_breakdown(const ObjectiveBreakdown& a, const ObjectiveBreakdown& b) {
  EXPECT_EQ(a.objective_score, b.objective_score);
  EXPECT_EQ(a.relevance_total, b.relevance_total);
  EXPECT_EQ(a.fulfilment_total, b.fulfilment_total);
  EXPECT_EQ(a.redundancy_penalty, b.redundancy_penalty);
}

TEST(RemovalPass, MatchesThePlainFormOnRandomInstances) {
  std::size_t total_removed = 0;
  for (std::uint32_t seed = 1; seed <= 24; ++seed) {
    testing::InstanceShape shape;
    shape.n = 40;
    shape.query_tokens = seed % 3 == 0 ? 0 : 5;
    shape.symmetric = seed % 4 != 0;
    shape.dyadic = seed % 2 == 0;  // ties among coverage values and scores
    shape.seed = seed;
    ProblemInstance p = testing::random_instance(shape);
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < shape.n; ++i) {
      p.roles[i] = role_from_byte(static_cast<std::uint8_t>(rng() % 9));
      p.cluster_ids[i] = static_cast<std::int32_t>(rng() % 5) - 1;
    }
    SolverConstraints limits;
    limits.max_tokens = 1u << 20;
    limits.max_per_cluster = 100;
    limits.min_chunks = seed % 7;
    limits.min_tokens = (seed % 5) * 400;
    limits.required_chunks = {"c" + std::to_string(seed % shape.n)};
    limits.must_include_roles = {role_from_byte(static_cast<std::uint8_t>(seed % 8))};
    testing::SearchWorld world(std::move(p), SolverConfig{}, limits);
    const SearchContext& ctx = world.context;

    SelectionMask fast = testing::random_mask(shape.n, 18, seed * 7);
    fast[seed % shape.n] = 1;
    SelectionMask plain = fast;
    ObjectiveBreakdown fast_breakdown = ctx.evaluate(fast);
    ObjectiveBreakdown plain_breakdown = fast_breakdown;
    const std::size_t removed = run_removal_pass(ctx, fast, fast_breakdown);
    EXPECT_EQ(removed, plain_removal_pass(ctx, plain, plain_breakdown)) << "seed " << seed;
    EXPECT_EQ(fast, plain) << "seed " << seed;
    expect_same_breakdown(fast_breakdown, plain_breakdown);
    total_removed += removed;
  }
  EXPECT_GT(total_removed, 24u);  // the instances do exercise removals
}

// Long selections: every chunk selected, so that the pass runs many rounds
// over batches of many lanes, with and without usable bounds.
TEST(RemovalPass, MatchesThePlainFormOnLongSelections) {
  const std::size_t sizes[] = {70, 150};
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    testing::InstanceShape shape;
    shape.n = sizes[seed % 2];
    shape.query_tokens = seed % 2 == 0 ? 0 : 6;
    shape.symmetric = seed != 3;
    shape.dyadic = seed == 4;
    shape.seed = seed + 100;
    SolverConfig config;
    config.lambda = seed % 2 == 0 ? 0.05f : 0.2f;  // many removals
    SolverConstraints limits;
    limits.max_tokens = 1u << 30;
    limits.max_per_cluster = 1000;
    limits.max_chunks = 1000;
    limits.min_chunks = seed % 2 == 0 ? 0 : 20;
    testing::SearchWorld world(testing::random_instance(shape), config, limits);
    const SearchContext& ctx = world.context;
    SelectionMask fast(shape.n, 1), plain(shape.n, 1);
    ObjectiveBreakdown fast_breakdown = ctx.evaluate(fast), plain_breakdown = fast_breakdown;
    const std::size_t removed = run_removal_pass(ctx, fast, fast_breakdown);
    EXPECT_EQ(removed, plain_removal_pass(ctx, plain, plain_breakdown)) << "seed " << seed;
    EXPECT_EQ(fast, plain) << "seed " << seed;
    expect_same_breakdown(fast_breakdown, plain_breakdown);
    EXPECT_GT(removed, 5u) << "seed " << seed;
  }
}

// The objective of every chunk but `left_out`, summed plainly in f64.
double plain_f64_score_without(const SearchContext& ctx, std::size_t left_out) {
  const ProblemView& v = ctx.view;
  const ObjectiveWeights& w = *v.weights;
  const std::span<const float> sequences[5] = {v.relevance, v.density, v.centrality, v.recency, v.auxiliary};
  const std::size_t keys[5] = {weight::kAlpha, weight::kBeta, weight::kGamma, weight::kDelta, weight::kEpsilon};
  double score = 0.0, redundancy = 0.0;
  for (std::size_t s = 0; s < 5; ++s) {
    double sum = 0.0;
    for (std::size_t i = 0; i < ctx.n; ++i)
      if (i != left_out) sum += sequences[s][i];
    score += w[keys[s]] * sum;
  }
  for (std::size_t a = 0; a < ctx.n; ++a)
    for (std::size_t b = 0; b < ctx.n; ++b)
      if (a != b && a != left_out && b != left_out) redundancy += v.similarity[a * ctx.n + b];
  SelectionMask without(ctx.n, 1);
  without[left_out] = 0;
  const double fulfilment = RemovalFulfilment(v, selected_indices(without)).whole();
  return score + w[weight::kMu] * fulfilment - 0.5 * static_cast<double>(w[weight::kLambda]) * redundancy;
}

// Selections too long for exact scores to be affordable in every round: the
// pass still only raises the objective, and ends where no single removal
// raises it further by the exact scores.
TEST(RemovalPass, LongerSelectionsEndAtAnExactLocalOptimum) {
  for (std::uint32_t seed = 1; seed <= 2; ++seed) {
    testing::InstanceShape shape;
    shape.n = 420;
    shape.query_tokens = seed == 1 ? 6 : 0;
    shape.seed = seed + 300;
    SolverConfig config;
    config.lambda = seed == 1 ? 0.2f : 0.05f;
    SolverConstraints limits;
    limits.max_tokens = 1u << 30;
    limits.max_per_cluster = 1000;
    limits.max_chunks = 1000;
    limits.min_chunks = 0;
    testing::SearchWorld world(testing::random_instance(shape), config, limits);
    const SearchContext& ctx = world.context;
    SelectionMask mask(shape.n, 1);
    ObjectiveBreakdown breakdown = ctx.evaluate(mask);
    const double before = breakdown.objective_score;
    // The first round, where the f64 objective decides: its removal is the
    // one a plain f64 sum over the reduced selection puts first.
    {
      std::size_t best = shape.n;
      double best_score = -std::numeric_limits<double>::infinity();
      for (std::size_t i = 0; i < shape.n; ++i) {
        const double score = plain_f64_score_without(ctx, i);
        if (score > best_score) best_score = score, best = i;
      }
      std::size_t calls = 0;
      const StopCheck after_one_round = [&] {
        if (++calls == 2) throw std::runtime_error("stopped");
      };
      SearchContext once = ctx;
      once.stop = &after_one_round;
      SelectionMask first = mask;
      ObjectiveBreakdown b = breakdown;
      EXPECT_THROW(run_removal_pass(once, first, b), std::runtime_error);
      SelectionMask expected(shape.n, 1);
      expected[best] = 0;
      EXPECT_EQ(first, expected) << "seed " << seed;
    }
    const std::size_t removed = run_removal_pass(ctx, mask, breakdown);
    EXPECT_GT(removed, 300u) << "seed " << seed;  // long stretches without exact scores
    EXPECT_GT(breakdown.objective_score, before) << "seed " << seed;
    expect_same_breakdown(breakdown, ctx.evaluate(mask));
    SelectionMask plain = mask;
    ObjectiveBreakdown plain_breakdown = breakdown;
    EXPECT_EQ(plain_removal_pass(ctx, plain, plain_breakdown), 0u) << "seed " << seed;
  }
}

// The estimates the pass prunes by stay within their width of every exact
// score, the exact scores come out the same in any batch, and inputs the f32
// bound does not cover (near overflow, non-finite) get no width at all.
TEST(RemovalPass, EstimatesStayWithinTheirWidth) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    testing::InstanceShape shape;
    shape.n = 90;
    shape.query_tokens = seed % 2 == 0 ? 0 : 4;
    shape.symmetric = seed % 3 != 0;
    shape.seed = seed + 200;
    SolverConfig config;
    if (seed == 5) config.lambda = 1e36f;
    if (seed == 6) config.alpha = std::numeric_limits<float>::infinity();
    testing::SearchWorld world(testing::random_instance(shape), config);
    const SearchContext& ctx = world.context;
    const SelectionMask mask = testing::random_mask(shape.n, 60, seed);
    const std::vector<std::size_t> selected = selected_indices(mask);
    const RemovalFulfilment fulfilment(ctx.view, selected);
    const RemovalScorer scorer(ctx.view, selected, fulfilment);
    RemovalBounds bounds(ctx.view, selected);
    std::vector<double> estimate;
    const double width = bounds.estimates(fulfilment, estimate);
    EXPECT_EQ(std::isfinite(width), seed < 5) << "seed " << seed;
    const auto [whole, whole_width] = bounds.whole(fulfilment);
    if (seed < 5) {
      EXPECT_LE(std::fabs(whole - ctx.evaluate(mask).objective_score), whole_width) << "seed " << seed;
    }
    for (std::size_t p = 0; p < selected.size(); ++p) {
      SelectionMask without = mask;
      without[selected[p]] = 0;
      const float exact = selection_score(ctx.view, without.data());
      const std::size_t batch[] = {p, (p + 7) % selected.size()};
      float scores[2];
      scorer.score_without(batch, scores);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(scores[0]), std::bit_cast<std::uint32_t>(exact)) << p;
      if (seed < 5) {
        EXPECT_LE(std::fabs(estimate[p] - exact), width) << "seed " << seed << " position " << p;
      }
    }
    // A removal keeps the estimates in step with a fresh start on the smaller selection.
    bounds.remove(3);
    std::vector<std::size_t> rest = selected;
    rest.erase(rest.begin() + 3);
    const RemovalFulfilment rest_fulfilment(ctx.view, rest);
    std::vector<double> kept, fresh;
    bounds.estimates(rest_fulfilment, kept);
    RemovalBounds(ctx.view, rest).estimates(rest_fulfilment, fresh);
    for (std::size_t p = 0; p < rest.size(); ++p)
      if (std::isfinite(fresh[p])) {
        EXPECT_NEAR(kept[p], fresh[p], 1e-3 * (1.0 + std::fabs(fresh[p])));
      }
  }
}

// The stop check runs during the pass and ends it by throwing.
TEST(RemovalPass, RunsTheStopCheck) {
  testing::InstanceShape shape;
  shape.n = 60;
  shape.seed = 7;
  SolverConfig config;
  config.lambda = 0.2f;
  SolverConstraints limits;
  limits.max_tokens = 1u << 30;
  limits.max_chunks = 1000;
  testing::SearchWorld world(testing::random_instance(shape), config, limits);
  std::size_t calls = 0;
  const StopCheck stop = [&] {
    if (++calls == 3) throw std::runtime_error("stopped");
  };
  SearchContext ctx = world.context;
  ctx.stop = &stop;
  SelectionMask mask(shape.n, 1);
  ObjectiveBreakdown b = ctx.evaluate(mask);
  EXPECT_THROW(run_removal_pass(ctx, mask, b), std::runtime_error);
  EXPECT_EQ(calls, 3u);
}

// Both lane kernels against the plain sum of each reduced matrix, with
// negative zeros, ties and batches that fill their lanes or not.
TEST(RemovalPass, LaneKernelsMatchThePlainSums) {
  const std::size_t m = 90;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(-0.3f, 1.0f);
  std::vector<float> similarity(m * m);
  for (float& x : similarity) x = rng() % 7 == 0 ? -0.0f : rng() % 5 == 0 ? 0.25f : unit(rng);
  std::vector<std::size_t> order(m);
  std::iota(order.begin(), order.end(), std::size_t{0});
  for (std::size_t count : {std::size_t{1}, std::size_t{17}, kRemovalLanesSse2, kRemovalLanesAvx2}) {
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<std::size_t> positions(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count));
    std::vector<std::pair<std::size_t, std::size_t>> skips;
    std::vector<std::uint8_t> rows(m, 0);
    for (std::size_t k = 0; k < count; ++k) skips.emplace_back(positions[k], k), rows[positions[k]] = 1;
    std::sort(skips.begin(), skips.end());
    const RemovalLanes batch{similarity.data(), m, positions.data(), count, skips.data(), rows.data()};
    std::vector<float> sse2(count), avx2(count);
    if (count <= kRemovalLanesSse2) removal_lane_sums_sse2(batch, sse2.data());
    if (cpu_supports_avx2()) avx2::removal_lane_sums(batch, avx2.data());
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t p = positions[k];
      float plain = 0.0f;
      for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < m; ++b)
          if (a != p && b != p && a != b) plain += similarity[a * m + b];
      const std::uint32_t expected = std::bit_cast<std::uint32_t>(plain);
      if (count <= kRemovalLanesSse2) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sse2[k]), expected) << "sse2, position " << p;
      }
      if (cpu_supports_avx2()) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(avx2[k]), expected) << "avx2, position " << p;
      }
    }
  }
}

// Chunks 0 and 1 are strong; chunk 2 is weak and similar to both, so that
// dropping it raises the objective unless a constraint holds it.
World weak_third_chunk() {
  World w({1.0f, 1.0f, 0.1f}, {10, 10, 10});
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j)
      if (i != j) w.similarity[i * 3 + j] = 0.9f;
  return w;
}

TEST(RemovalPass, DropsTheWeakChunkUnlessAConstraintHoldsIt) {
  const SelectionMask all = mask_of(3, {0, 1, 2});
  {
    World w = weak_third_chunk();
    SelectionMask mask = all;
    ObjectiveBreakdown b = w.context().evaluate(mask);
    EXPECT_EQ(run_removal_pass(*w.ctx, mask, b), 1u);
    EXPECT_EQ(mask, mask_of(3, {0, 1}));
    EXPECT_EQ(b.objective_score, w.ctx->evaluate(mask).objective_score);
  }
  const std::function<void(World&)> holds[] = {
      [](World& w) { w.constraints.required_chunks = {"c2"}; },
      [](World& w) {
        w.instance.roles[2] = Role::Example;
        w.constraints.must_include_roles = {Role::Example};
      },
      [](World& w) { w.constraints.min_chunks = 3; },
      [](World& w) { w.constraints.min_tokens = 30; },
  };
  for (std::size_t k = 0; k < std::size(holds); ++k) {
    World w = weak_third_chunk();
    holds[k](w);
    SelectionMask mask = all;
    ObjectiveBreakdown b = w.context().evaluate(mask);
    EXPECT_EQ(run_removal_pass(*w.ctx, mask, b), 0u) << "constraint " << k;
    EXPECT_EQ(mask, all) << "constraint " << k;
  }
}

TEST(RemovalPass, EqualGainsRemoveTheLowestIndex) {
  // 1 and 3 are interchangeable weak chunks; min_chunks lets only one go.
  World w({1.0f, 0.1f, 1.0f, 0.1f}, {10, 10, 10, 10});
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 4; ++j)
      if (i != j) w.similarity[i * 4 + j] = 0.5f;
  w.constraints.min_chunks = 3;
  SelectionMask mask = mask_of(4, {0, 1, 2, 3});
  ObjectiveBreakdown b = w.context().evaluate(mask);
  EXPECT_EQ(run_removal_pass(*w.ctx, mask, b), 1u);
  EXPECT_EQ(mask, mask_of(4, {0, 2, 3}));
}

}  // namespace
}  // namespace quarnel
