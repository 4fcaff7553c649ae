#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "core/config.hpp"
#include "core/constraint_check.hpp"
#include "core/constraints.hpp"
#include "core/panic.hpp"
#include "core/problem.hpp"
#include "core/scores.hpp"
#include "test_instances.hpp"

namespace quarnel {
namespace {

ProblemInstance scored_instance(std::size_t n) { return testing::blank_instance(n, 100); }

TEST(UnaryScore, WeighsTheSixScoresInDoublePrecision) {
  ProblemInstance p = scored_instance(1);
  p.relevance_scores[0] = 0.9f;
  p.density_scores[0] = 0.5f;
  p.centrality_scores[0] = 0.25f;
  p.recency_scores[0] = 0.75f;
  p.auxiliary_scores[0] = -0.5f;
  p.fulfilment_scores[0] = 0.4f;
  SolverConfig config;
  config.epsilon = 0.5f;
  const double expected = ((((double(1.0f) * double(0.9f) + double(0.3f) * 0.5) + double(0.2f) * 0.25) +
                            double(0.1f) * 0.75) +
                           0.5 * -0.5) +
                          1.0 * double(0.4f);
  EXPECT_EQ(unary_score(SolverSettings::from_config(config), 0, p), expected);

  // Inactive secondary weights: density, centrality and recency carry nothing,
  // whether the solver had no configuration or tiny weights.
  const double without = (double(0.9f) + 0.5 * -0.5) + double(0.4f);
  SolverSettings defaults = SolverSettings::defaults_without_config();
  defaults.config.epsilon = 0.5f;
  EXPECT_EQ(unary_score(defaults, 0, p), without);
  config.beta = config.gamma = 1e-8f;
  config.delta = -1.1920929e-7f;
  EXPECT_EQ(unary_score(SolverSettings::from_config(config), 0, p), without);

  EXPECT_THROW(unary_score(defaults, 1, p), InternalError);
  EXPECT_EQ(unary_scores(defaults, p), std::vector<double>{without});
}

TEST(GreedyPriority, SizeNormalisationAndBonuses) {
  ProblemInstance p = scored_instance(6);
  p.token_costs = {100, 400, 0, 100, 100, 100};
  p.roles = {Role::Unknown, Role::Unknown, Role::Unknown, Role::Risk, Role::Evidence, Role::Unknown};
  p.cluster_ids = {kNoCluster, kNoCluster, kNoCluster, 5, 5, 9};
  const PreparedConstraints c = prepare_constraints({}, p);
  const SelectionState empty = SelectionState::from_mask(SelectionMask(6, 0), p, c);

  EXPECT_EQ(greedy_priority(1.0, 0, p, c, empty), 1.0 / std::pow(100.0, 0.85) + 0.03);
  EXPECT_EQ(greedy_priority(1.0, 1, p, c, empty), 1.0 / std::pow(400.0, 0.85) + 0.03);
  EXPECT_EQ(greedy_priority(1.0, 2, p, c, empty), 1.0 + 0.03);  // zero tokens divide by 1
  // A new role and a new cluster: 0.08 + 0.12; Unknown never earns the role bonus.
  EXPECT_EQ(greedy_priority(1.0, 3, p, c, empty), (1.0 / std::pow(100.0, 0.85) + 0.08) + 0.12);
  EXPECT_EQ(greedy_priority(1.0, 5, p, c, empty), 1.0 / std::pow(100.0, 0.85) + 0.12);

  // Once candidate 4 (Evidence, cluster 5) is selected, candidate 3 keeps its
  // role bonus but pays 0.04 for the cluster mate instead of earning 0.12.
  const SelectionState one = SelectionState::from_mask({0, 0, 0, 0, 1, 0}, p, c);
  EXPECT_EQ(greedy_priority(1.0, 3, p, c, one), (1.0 / std::pow(100.0, 0.85) + 0.08) + -0.04);
  SelectionMask same_role(6, 0);
  same_role[3] = 1;
  const SelectionState risk_held = SelectionState::from_mask(same_role, p, c);
  EXPECT_EQ(greedy_priority(1.0, 3, p, c, risk_held), 1.0 / std::pow(100.0, 0.85) + -0.04);
}

TEST(GreedyPriority, ThreeClusterMatesCostAgainstAFreshCluster) {
  ProblemInstance p = scored_instance(5);
  p.cluster_ids = {1, 1, 1, 1, 2};
  SolverConstraints sc;
  sc.max_per_cluster = 5;
  const PreparedConstraints c = prepare_constraints(sc, p);
  const SelectionState state = SelectionState::from_mask({1, 1, 1, 0, 0}, p, c);
  const double crowded = greedy_priority(0.5, 3, p, c, state);
  const double fresh = greedy_priority(0.5, 4, p, c, state);
  EXPECT_NEAR(fresh - crowded, 0.12 + 3 * 0.04, 1e-12);
}

TEST(OrderingKeys, PenaliseFrequencyAndSize) {
  EXPECT_EQ(construction_key(1.0, 2, 1000), (1.0 - 0.03 * 2.0) - 0.0003 * 1000.0);
  EXPECT_EQ(destroy_key(1.0, 2, 1000), (1.0 - 0.05 * 2.0) - 0.0002 * 1000.0);
  const std::vector<std::uint64_t> freq = {4};
  EXPECT_EQ(frequency_of(freq, 0), 4u);
  EXPECT_EQ(frequency_of(freq, 9), 0u);
}

// Keys with many ties, sorted by our stable sorts and by std::stable_sort.
void expect_same_order_as_std(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> small(0, 4);
  std::vector<double> key(n + 3);
  for (double& k : key) k = small(rng) * 0.25;
  std::vector<std::size_t> indices(n);
  std::iota(indices.begin(), indices.end(), 0);
  std::shuffle(indices.begin(), indices.end(), rng);

  std::vector<std::size_t> down = indices;
  stable_sort_by_key_descending(down, key);
  std::vector<std::size_t> want = indices;
  std::stable_sort(want.begin(), want.end(), [&](std::size_t a, std::size_t b) { return key[a] > key[b]; });
  EXPECT_EQ(down, want) << "n = " << n;

  std::vector<std::size_t> up = indices;
  stable_sort_by_key_ascending(up, key);
  want = indices;
  std::stable_sort(want.begin(), want.end(), [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
  EXPECT_EQ(up, want) << "n = " << n;
}

TEST(StableSort, KeepsInputOrderAmongEqualKeysOnBothSidesOfTheSizeLimit) {
  for (std::size_t n : {0, 1, 2, 19, 20, 21, 22, 40, 41, 257}) expect_same_order_as_std(n, static_cast<unsigned>(n));
}

TEST(StableSort, NaNKeysKeepEveryIndexExactlyOnce) {
  for (std::size_t n : {7, 64}) {
    std::vector<double> key(n);
    for (std::size_t i = 0; i < n; ++i) key[i] = i % 3 == 0 ? std::nan("") : static_cast<double>((i * 7) % 5);
    std::vector<std::size_t> indices(n);
    std::iota(indices.begin(), indices.end(), 0);
    stable_sort_by_key_descending(indices, key);
    std::vector<std::size_t> sorted = indices;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::size_t> all(n);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(sorted, all);
  }
}

TEST(StableSort, RefusesIndicesWithoutAKey) {
  std::vector<std::size_t> indices = {0, 5};
  EXPECT_THROW(stable_sort_by_key_ascending(indices, {1.0, 2.0}), InternalError);
}

}  // namespace
}  // namespace quarnel
