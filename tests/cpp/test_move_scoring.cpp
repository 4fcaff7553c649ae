#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "core/delta_cache.hpp"
#include "core/move_scoring.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

using testing::InstanceShape;
using testing::random_instance;
using testing::random_mask;

const ObjectiveWeights kWeights = {1.0f, 0.3f, 0.2f, 0.1f, 0.05f, 1.0f, 0.5f, 0.35f, 0.18f, 0.55f, 4.0f, 1.0f};

// Support of one row over a set of candidates, from a sorted copy of the values.
double reference_support(const ProblemInstance& p, std::size_t t, const std::vector<std::size_t>& set) {
  const std::size_t n = p.num_candidates;
  const SupportParams params = support_params(kWeights);
  std::vector<float> values;
  std::uint64_t quorum = 0;
  for (std::size_t k : set) {
    const float c = (*p.coverage_matrix)[t * n + k];
    values.push_back(c);
    quorum += c >= params.threshold;
  }
  std::sort(values.begin(), values.end(), std::greater<float>());
  values.resize(std::max<std::size_t>(values.size(), 4), 0.0f);
  auto clamp = [](float v) { return static_cast<double>(std::min(std::max(v, 0.0f), 1.0f)); };
  const double d = params.discount, b = params.bonus;
  double s = clamp(values[0]) + d * clamp(values[1]);
  if (quorum >= 3) s += b * clamp(values[2]);
  if (quorum >= 4) s += (0.5 * b) * clamp(values[3]);
  return s;
}

std::vector<std::size_t> members(const SelectionMask& mask) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i]) out.push_back(i);
  return out;
}

std::vector<std::size_t> after_move(const SelectionMask& mask, std::size_t in, std::size_t out) {
  SelectionMask next = mask;
  if (out < next.size()) next[out] = 0;
  next[in] = 1;
  return members(next);
}

// Sum over rows of w_t * (support after the move - support before).
double reference_change(const ProblemInstance& p, const SelectionMask& mask, std::size_t in, std::size_t out) {
  const std::vector<std::size_t> before = members(mask), after = after_move(mask, in, out);
  double change = 0.0;
  for (std::size_t t = 0; t < p.num_query_tokens; ++t)
    change += static_cast<double>(p.query_token_weight(t)) *
              (reference_support(p, t, after) - reference_support(p, t, before));
  return change;
}

TEST(MoveScoring, DeltaCacheMatchesBruteForceSupport) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    const ProblemInstance p = random_instance({.n = 14, .query_tokens = 5, .seed = seed});
    const std::size_t n = p.num_candidates;
    for (std::size_t size : {0, 1, 3, 9}) {
      const SelectionMask mask = random_mask(n, size, seed * 31 + size);
      const DeltaCache cache = delta_cache(mask, p, kWeights, *p.similarity_matrix);
      const std::vector<std::size_t> now = members(mask);
      for (std::size_t i = 0; i < n; ++i) {
        double redundancy = 0.0;
        for (std::size_t j : now)
          if (j != i) redundancy += (*p.similarity_matrix)[i * n + j];
        EXPECT_EQ(cache.redundancy[i], redundancy) << "candidate " << i;

        // Removals lose a tracked fourth value only with more than three selected.
        if (mask[i] && size > 3) continue;
        std::vector<std::size_t> with_i_toggled;
        for (std::size_t j = 0; j < n; ++j)
          if ((mask[j] != 0) != (j == i)) with_i_toggled.push_back(j);
        double expected = 0.0;
        for (std::size_t t = 0; t < p.num_query_tokens; ++t) {
          const double now_support = reference_support(p, t, now);
          const double toggled = reference_support(p, t, with_i_toggled);
          const double diff = mask[i] ? now_support - toggled : toggled - now_support;
          expected += static_cast<double>(p.query_token_weight(t)) * std::max(diff, 0.0);
        }
        EXPECT_EQ(mask[i] ? cache.remove_loss[i] : cache.add_gain[i], expected) << "candidate " << i;
        EXPECT_EQ(mask[i] ? cache.add_gain[i] : cache.remove_loss[i], 0.0);
      }
    }
  }
}

TEST(MoveScoring, DeltaCacheWithoutCoverageOrFullMatrix) {
  ProblemInstance p = random_instance({.n = 6, .seed = 3});
  const SelectionMask mask = random_mask(6, 3, 5);
  const DeltaCache plain = delta_cache(mask, p, kWeights, *p.similarity_matrix);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(plain.add_gain[i] + plain.remove_loss[i], 0.0);
  // A similarity span that is not exactly n*n leaves the redundancy at 0.
  std::vector<float> longer = *p.similarity_matrix;
  longer.push_back(0.5f);
  const DeltaCache skipped = delta_cache(mask, p, kWeights, longer);
  for (double r : skipped.redundancy) EXPECT_EQ(r, 0.0);
}

TEST(MoveScoring, CachedFulfilmentChangeMatchesExactWhereTheCacheIsExact) {
  for (std::uint32_t seed = 1; seed <= 8; ++seed) {
    const ProblemInstance p = random_instance({.n = 16, .query_tokens = 6, .seed = seed});
    const std::size_t n = p.num_candidates;
    for (std::size_t size : {0, 2, 3, 7, 12}) {
      const SelectionMask mask = random_mask(n, size, seed * 17 + size);
      const auto cache = coverage_top_k(mask, p, kWeights);
      ASSERT_TRUE(cache.has_value());
      for (std::size_t in = 0; in < n; ++in) {
        if (mask[in]) continue;
        for (std::size_t out = 0; out <= n; ++out) {
          if (out < n && !mask[out]) continue;
          const double exact = fulfilment_change_exact(kWeights, mask, p, in, out);
          EXPECT_EQ(exact, reference_change(p, mask, in, out)) << in << " for " << out;
          // Adds are always exact; removals once nothing beyond the third value is lost.
          if (out < n && size > 3) continue;
          EXPECT_EQ(fulfilment_change_cached(kWeights, p, *cache, in, out), exact) << in << " for " << out;
        }
      }
    }
  }
}

// The per-iteration forms must give the same bits as the plain cached forms.
TEST(MoveScoring, PreparedFormsMatchThePlainOnes) {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    ProblemInstance p = random_instance({.n = 30, .query_tokens = 7, .seed = seed});
    const std::size_t n = p.num_candidates;
    // Ties and threshold crossings make the reuse conditions matter.
    for (std::size_t k = 0; k < p.coverage_matrix->size(); k += 5) (*p.coverage_matrix)[k] = 0.55f;
    const std::vector<float> by_candidate = coverage_by_candidate(p);
    for (std::size_t size : {0, 2, 5, 12, 29}) {
      const SelectionMask mask = random_mask(n, size, seed * 7 + size);
      const auto cache = coverage_top_k(mask, p, kWeights);
      std::vector<std::size_t> outgoing;
      for (std::size_t i = 0; i < n; ++i)
        if (mask[i]) outgoing.push_back(i);
      FulfilmentMoves prepared;
      prepared.prepare(kWeights, p, *cache, by_candidate, outgoing);
      FulfilmentMoves::Incoming incoming;
      for (std::size_t in = 0; in < n; ++in) {
        if (mask[in]) continue;
        prepared.prepare_incoming(in, incoming);
        EXPECT_EQ(prepared.change(in, n), fulfilment_change_cached(kWeights, p, *cache, in, kNone));
        EXPECT_EQ(prepared.change(incoming, n), fulfilment_change_cached(kWeights, p, *cache, in, kNone));
        for (std::size_t out : outgoing) {
          const double plain = fulfilment_change_cached(kWeights, p, *cache, in, out);
          EXPECT_EQ(prepared.change(in, out), plain);
          EXPECT_EQ(prepared.change(incoming, out), plain);
        }
      }
      const DeltaCache plain = delta_cache(mask, p, kWeights, *p.similarity_matrix);
      const DeltaCache by_rows = delta_cache(mask, p, kWeights, *p.similarity_matrix, true);
      EXPECT_EQ(plain.redundancy, by_rows.redundancy);
    }
    EXPECT_TRUE(is_bitwise_symmetric(*p.similarity_matrix, n));
    (*p.similarity_matrix)[3 * n + 17] += 1.0f;
    EXPECT_FALSE(is_bitwise_symmetric(*p.similarity_matrix, n));
  }
}

TEST(MoveScoring, CachedRemovalKeepsAnUntrackedFourthValue) {
  // One row, five selected candidates all reaching a threshold of 0.4.
  ProblemInstance p = random_instance({.n = 6, .query_tokens = 1, .seed = 2});
  p.coverage_matrix = std::vector<float>{0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.0f};
  p.query_token_weights.reset();
  ObjectiveWeights w = kWeights;
  w[weight::kThreshold] = 0.4f;
  const SelectionMask mask = {1, 1, 1, 1, 1, 0};
  const auto cache = coverage_top_k(mask, p, w);
  ASSERT_TRUE(cache.has_value());
  EXPECT_EQ(cache->quorum[0], 5);
  EXPECT_EQ(cache->holders[0], 0u);
  EXPECT_EQ(cache->holders[2], 2u);
  // Removing the fourth-best: the exact list takes 0.5 as its fourth value, the
  // cache still holds 0.6 and sees no change.
  EXPECT_NEAR(fulfilment_change_exact(w, mask, p, kNone, 3), 0.09 * (0.5 - 0.6), 1e-7);
  EXPECT_EQ(fulfilment_change_cached(w, p, *cache, kNone, 3), 0.0);
}

TEST(MoveScoring, QuorumCountSaturatesWithoutLosingTheBonus) {
  const std::size_t n = 300;
  ProblemInstance p = random_instance({.n = n, .query_tokens = 1, .seed = 4});
  p.coverage_matrix = std::vector<float>(n, 0.6f);
  p.query_token_weights.reset();
  SelectionMask mask(n, 1);
  mask[n - 1] = 0;
  const auto cache = coverage_top_k(mask, p, kWeights);
  ASSERT_TRUE(cache.has_value());
  EXPECT_EQ(cache->quorum[0], 255);
  // Adding one more supporter past the saturated count changes nothing.
  EXPECT_EQ(fulfilment_change_cached(kWeights, p, *cache, n - 1, kNone), 0.0);
  EXPECT_EQ(fulfilment_change_cached(kWeights, p, *cache, n - 1, 0), 0.0);
  EXPECT_EQ(fulfilment_change_exact(kWeights, mask, p, n - 1, kNone), 0.0);
}

TEST(MoveScoring, CoverageCacheNeedsCoverageAndFulfilmentWeight) {
  ProblemInstance p = random_instance({.n = 5, .query_tokens = 2, .seed = 9});
  const SelectionMask mask = {1, 0, 1, 0, 0};
  ObjectiveWeights w = kWeights;
  w[weight::kMu] = w[weight::kFulfilment] = 1e-8f;
  EXPECT_FALSE(coverage_top_k(mask, p, w).has_value());
  EXPECT_EQ(fulfilment_change_exact(w, mask, p, 1, 0), 0.0);
  p.num_query_tokens = 0;
  EXPECT_FALSE(coverage_top_k(mask, p, kWeights).has_value());
}

TEST(MoveScoring, MoveDeltaTracksTheObjective) {
  for (std::uint32_t seed = 1; seed <= 5; ++seed) {
    const ProblemInstance p = random_instance({.n = 18, .query_tokens = 4, .seed = seed});
    const std::size_t n = p.num_candidates;
    const std::span<const float> sim = *p.similarity_matrix;
    const ProblemView view = make_problem_view(p, sim, kWeights);
    for (std::size_t size : {0, 3, 6}) {
      const SelectionMask mask = random_mask(n, size, seed + 100 * size);
      const std::vector<float> rows = redundancy_row_sums(mask, sim, n);
      const auto cache = coverage_top_k(mask, p, kWeights);
      // The cached fulfilment is exact for adds, and for swaps up to three selected.
      const MoveScorer cached(kWeights, p, sim, rows, mask, &*cache);
      const MoveScorer exact(kWeights, p, sim, rows, mask, nullptr);
      const double before = selection_score(view, mask.data());
      for (std::size_t in = 0; in < n; ++in) {
        if (mask[in]) continue;
        for (std::size_t out = 0; out <= n; ++out) {
          if (out < n && !mask[out]) continue;
          SelectionMask next = mask;
          if (out < n) next[out] = 0;
          next[in] = 1;
          const double truth = selection_score(view, next.data()) - before;
          EXPECT_NEAR(exact.delta(in, out), truth, 2e-5) << in << " for " << out;
          if (out == n || size <= 3) {
            EXPECT_NEAR(cached.delta(in, out), truth, 2e-5) << in << " for " << out;
          }
        }
      }
    }
  }
}

TEST(MoveScoring, SwapOfIdenticalCandidatesScoresZero) {
  const std::size_t n = 10, a = 2, b = 7;
  ProblemInstance p = random_instance({.n = n, .query_tokens = 3, .dyadic = true, .seed = 12});
  for (auto* seq : {&p.relevance_scores, &p.density_scores, &p.centrality_scores, &p.recency_scores,
                    &p.auxiliary_scores})
    (*seq)[b] = (*seq)[a];
  std::vector<float>& sim = *p.similarity_matrix;
  for (std::size_t j = 0; j < n; ++j) {
    if (j == a || j == b) continue;
    sim[b * n + j] = sim[j * n + b] = sim[a * n + j];
  }
  sim[a * n + b] = sim[b * n + a] = 0.75f;
  std::vector<float>& coverage = *p.coverage_matrix;
  for (std::size_t t = 0; t < 3; ++t) coverage[t * n + b] = coverage[t * n + a];

  for (std::size_t size : {1, 4, 8}) {
    SelectionMask mask = random_mask(n, size, 40 + size);
    mask[a] = 1;
    mask[b] = 0;
    const std::vector<float> rows = redundancy_row_sums(mask, sim, n);
    const auto cache = coverage_top_k(mask, p, kWeights);
    EXPECT_EQ(move_delta(kWeights, p, sim, rows, mask, &*cache, b, a), 0.0) << size;
    EXPECT_EQ(move_delta(kWeights, p, sim, rows, mask, nullptr, b, a), 0.0) << size;
  }
}

TEST(MoveScoring, IncrementalRowSumsStayWithFreshOnes) {
  for (bool dyadic : {false, true}) {
    const std::size_t n = 40;
    const ProblemInstance p = random_instance({.n = n, .dyadic = dyadic, .seed = 21});
    const std::span<const float> sim = *p.similarity_matrix;
    SelectionMask mask = random_mask(n, 8, 3);
    std::vector<float> rows = redundancy_row_sums(mask, sim, n);
    std::mt19937 rng(5);
    for (int step = 0; step < 600; ++step) {
      const std::size_t in = rng() % n;
      if (mask[in]) continue;
      std::size_t out = rng() % n;
      if (!mask[out] || rng() % 4 == 0) out = kNone;
      if (out != kNone) mask[out] = 0;
      mask[in] = 1;
      update_row_sums(rows, sim, n, in, out);
    }
    const std::vector<float> fresh = redundancy_row_sums(mask, sim, n);
    for (std::size_t i = 0; i < n; ++i) {
      // Grid values sum exactly; others drift by rounding only.
      if (dyadic)
        EXPECT_EQ(rows[i], fresh[i]) << i;
      else
        EXPECT_NEAR(rows[i], fresh[i], 2e-5) << i;
    }
  }
}

TEST(MoveScoring, RejectsOutOfRangeInput) {
  ProblemInstance p = random_instance({.n = 5, .query_tokens = 2, .seed = 1});
  const SelectionMask mask = {1, 0, 0, 1, 0};
  const std::span<const float> sim = *p.similarity_matrix;
  const std::vector<float> rows = redundancy_row_sums(mask, sim, 5);
  EXPECT_THROW(move_delta(kWeights, p, sim, rows, mask, nullptr, 5, 0), InternalError);
  EXPECT_THROW(move_delta(kWeights, p, sim.first(24), rows, mask, nullptr, 1, 0), InternalError);
  EXPECT_THROW(redundancy_row_sums(SelectionMask{1, 0}, sim, 5), InternalError);
  p.coverage_matrix->resize(9);
  EXPECT_THROW(coverage_top_k(mask, p, kWeights), InternalError);
  EXPECT_THROW(delta_cache(mask, p, kWeights, sim), InternalError);
  EXPECT_THROW(fulfilment_change_exact(kWeights, mask, p, 1, 0), InternalError);
}

}  // namespace
}  // namespace quarnel
