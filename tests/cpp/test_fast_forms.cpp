// Fast forms of the search against the plain forms they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/constraint_check.hpp"
#include "core/scores.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

TEST(FastForms, TopOfTheOrderMatchesTheFullStableSort) {
  std::mt19937 rng(3);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = 1 + rng() % 300;
    std::vector<double> key(n);
    // Few distinct values, signed zeros and infinities: many ties.
    for (double& k : key) k = static_cast<double>(static_cast<int>(rng() % 9) - 4) * 0.25;
    key[rng() % n] = -0.0;
    key[rng() % n] = std::numeric_limits<double>::infinity();
    if (round % 10 == 9) key[rng() % n] = std::nan("");  // falls back to the full sort
    std::vector<std::size_t> all(n);
    for (std::size_t i = 0; i < n; ++i) all[i] = i;
    std::vector<std::size_t> full = all;
    stable_sort_by_key_descending(full, key);
    const std::size_t count = rng() % (n + 2);
    std::vector<std::size_t> top = all;
    stable_top_by_key_descending(top, key, count);
    const std::size_t shown = std::min(count, n);
    EXPECT_TRUE(std::equal(full.begin(), full.begin() + shown, top.begin())) << "round " << round;
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, all);  // a permutation
  }
}

TEST(FastForms, SelectedListEvaluationMatchesTheFullOne) {
  for (std::uint32_t seed = 1; seed <= 8; ++seed) {
    testing::InstanceShape shape{.n = 40, .query_tokens = seed % 2 ? 6u : 0u, .symmetric = seed % 3 != 0,
                                 .dyadic = seed % 4 == 0, .seed = seed};
    testing::SearchWorld world(testing::random_instance(shape), SolverConfig{});
    for (std::size_t size : {0, 1, 7, 25}) {
      const SelectionMask mask = testing::random_mask(shape.n, size, seed + 100 * size);
      const ObjectiveBreakdown full = world.context.evaluate(mask);
      const ObjectiveBreakdown fast = world.context.evaluate(mask, selected_indices(mask));
      EXPECT_EQ(std::memcmp(&full, &fast, sizeof full), 0) << "seed " << seed << " size " << size;
    }
  }
}

TEST(FastForms, SwapScreenAgreesWithCanSwap) {
  std::size_t allowed = 0, refused = 0;
  for (std::uint32_t seed = 1; seed <= 10; ++seed) {
    ProblemInstance p = testing::random_instance({.n = 36, .seed = seed});
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < p.num_candidates; ++i) {
      p.roles[i] = role_from_byte(static_cast<std::uint8_t>(rng() % 5));
      p.cluster_ids[i] = static_cast<std::int32_t>(rng() % 5) - 1;
      if (rng() % 9 == 0) p.chunk_ids[i] = "shared";  // equal ids
    }
    SolverConstraints raw;
    raw.max_tokens = 2500 + 400 * (seed % 4);
    raw.min_tokens = 300 * (seed % 3);
    raw.max_per_cluster = 1 + seed % 3;
    raw.must_include_roles = {Role::Definition, Role::Evidence};
    raw.required_chunks = {"c" + std::to_string(seed)};
    raw.excluded_chunks = {"c" + std::to_string(seed + 5)};
    const PreparedConstraints c = prepare_constraints(raw, p);
    for (std::size_t size : {1, 4, 9}) {
      const SelectionMask mask = testing::random_mask(p.num_candidates, size, seed * 13 + size);
      const SelectionState state = SelectionState::from_mask(mask, p, c);
      const std::vector<std::size_t> outgoing = selected_indices(mask);
      SwapScreen screen(c, state, p, outgoing);
      for (std::size_t in = 0; in < p.num_candidates; ++in) {
        if (mask[in]) continue;
        screen.set_incoming(in);
        for (std::size_t k = 0; k < outgoing.size(); ++k) {
          const bool expected = can_swap(c, in, outgoing[k], state, p);
          ASSERT_EQ(screen.allows(k), expected) << "seed " << seed << " in " << in << " out " << outgoing[k];
          (expected ? allowed : refused) += 1;
        }
      }
    }
  }
  EXPECT_GT(allowed, 100u);
  EXPECT_GT(refused, 100u);
}

}  // namespace
}  // namespace quarnel
