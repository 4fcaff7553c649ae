// Fast forms of the search against the plain forms they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/constraint_check.hpp"
#include "core/delta_cache.hpp"
#include "core/move_scoring.hpp"
#include "core/scores.hpp"
#include "search/constructions.hpp"
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

// A walk of swaps, adds, removals and jumps, as the search makes: the tracked
// cache has the plain cache's bits at every step, through ties, threshold
// crossings, small quorums, a negative threshold and a row of infinite weight.
TEST(FastForms, TrackedDeltaCacheMatchesThePlainOne) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    // A threshold below 0 counts values that never enter a list (which starts
    // at 0), so the quorum's class changes on its own.
    const float threshold = seed == 4 ? -0.1f : 0.55f;
    const ObjectiveWeights weights = {1.0f, 0.3f, 0.2f, 0.1f, 0.05f, 1.0f, 0.5f, 0.35f, 0.18f, threshold, 4.0f, 1.0f};
    const std::size_t n = 60 + 37 * seed;
    ProblemInstance p = testing::random_instance({.n = n, .query_tokens = 9, .symmetric = seed % 2 == 1, .seed = seed});
    std::mt19937 rng(seed);
    for (std::size_t k = 0; k < p.coverage_matrix->size(); k += 7) (*p.coverage_matrix)[k] = 0.55f;
    if (seed == 3) (*p.query_token_weights)[2] = std::numeric_limits<float>::infinity();
    DeltaCacheTracker tracker(p, weights, *p.similarity_matrix, seed % 2 == 1);
    SelectionMask mask = testing::random_mask(n, seed % 3, seed);
    for (int step = 0; step < 120; ++step) {
      const std::size_t i = rng() % n, j = rng() % n;
      if (step % 40 == 39)
        mask = testing::random_mask(n, rng() % (n / 2), seed + step);  // a diversification
      else if (mask[i] == 0 && mask[j] != 0 && rng() % 4 != 0)
        mask[i] = 1, mask[j] = 0;
      else
        mask[i] = mask[i] == 0 ? 1 : 0;
      std::vector<std::size_t> selected;
      for (std::size_t k = 0; k < n; ++k)
        if (mask[k]) selected.push_back(k);
      const DeltaCache plain = delta_cache(mask, p, weights, *p.similarity_matrix, seed % 2 == 1);
      const DeltaCache& tracked = tracker.update(mask, selected);
      const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
      };
      ASSERT_TRUE(same(plain.add_gain, tracked.add_gain)) << "seed " << seed << " step " << step;
      ASSERT_TRUE(same(plain.remove_loss, tracked.remove_loss)) << "seed " << seed << " step " << step;
      ASSERT_TRUE(same(plain.redundancy, tracked.redundancy)) << "seed " << seed << " step " << step;
    }
  }
}

// Block-wise symmetry check against the pairwise definition, with a single
// differing bit anywhere (including a -0.0 against a 0.0); row sums read from
// the selected rows against the column sums.
TEST(FastForms, SymmetryCheckAndRowSumsFromRows) {
  std::mt19937 rng(8);
  for (std::size_t n : {1, 3, 4, 7, 8, 13, 30}) {
    ProblemInstance p = testing::random_instance({.n = n, .seed = static_cast<std::uint32_t>(n)});
    std::vector<float>& sim = *p.similarity_matrix;
    EXPECT_TRUE(is_bitwise_symmetric(sim, n)) << n;
    const SelectionMask mask = testing::random_mask(n, n / 2, 3);
    EXPECT_EQ(redundancy_row_sums(mask, sim, n, true), redundancy_row_sums(mask, sim, n));
    for (int trial = 0; trial < 20 && n > 1; ++trial) {
      const std::size_t i = rng() % n, j = (i + 1 + rng() % (n - 1)) % n;
      std::vector<float> changed = sim;
      changed[i * n + j] = trial % 2 ? -changed[j * n + i] : std::nextafter(changed[j * n + i], 2.0f);
      if (trial == 0) changed[i * n + j] = 0.0f, changed[j * n + i] = -0.0f;
      EXPECT_FALSE(is_bitwise_symmetric(changed, n)) << n << ": " << i << ", " << j;
    }
  }
}

// The constructions as plainly written: a scan of every candidate per pick
// (greedy and repair) and a full stable sort (ordered), against the
// heap-driven forms, on instances with roles, clusters, required chunks,
// exclusions and budgets that stop the fill early or late.
TEST(FastForms, ConstructionsMatchTheirScanningForms) {
  for (std::uint32_t seed = 1; seed <= 8; ++seed) {
    const std::size_t n = 200 + 40 * seed;
    ProblemInstance p = testing::random_instance({.n = n, .seed = seed});
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < n; ++i) {
      p.roles[i] = role_from_byte(static_cast<std::uint8_t>(rng() % 9));
      p.cluster_ids[i] = static_cast<std::int32_t>(rng() % 25) - 1;
      if (seed % 2 == 0) p.token_costs[i] = 50 + 50 * (rng() % 4);  // equal sizes: equal priorities
    }
    SolverConstraints limits;
    limits.max_tokens = seed % 3 == 0 ? 4000 : 40000;
    limits.max_chunks = 10 + 7 * seed;
    limits.max_per_cluster = 1 + seed % 3;
    limits.required_chunks = {"c" + std::to_string(seed), "c" + std::to_string(2 * seed + 1)};
    limits.excluded_chunks = {"c" + std::to_string(3 * seed)};
    if (seed % 2) limits.must_include_roles = {Role::Example, Role::Risk};
    SolverConfig config;
    if (seed % 4 == 0) config.beta = 0.0f, config.gamma = 0.0f;  // more equal unary scores
    testing::SearchWorld world(std::move(p), config, limits);
    const SearchContext& ctx = world.context;
    const PreparedConstraints& pc = ctx.constraints;
    const ProblemInstance& inst = ctx.instance;

    auto within_limits = [&](const SelectionMask& mask, const SelectionState& state, std::size_t i) {
      return mask[i] == 0 && !pc.is_excluded[i] && std::uint64_t{state.total_tokens} + inst.token_costs[i] <= pc.max_tokens &&
             state.cluster_count_of(i, pc) < pc.max_per_cluster;
    };
    auto addable = [&](const SelectionMask& mask, const SelectionState& state, std::size_t i) {
      return mask[i] == 0 && !pc.is_excluded[i] && can_add(pc, i, state, inst);
    };
    auto best_by_scan = [&](const SelectionMask& mask, const SelectionState& state, auto admit) {
      std::optional<std::size_t> best;
      double best_priority = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        if (!admit(mask, state, i)) continue;
        const double priority = greedy_priority(ctx.unary[i], i, inst, pc, state);
        if (!best || priority > best_priority) best = i, best_priority = priority;
      }
      return best;
    };
    // Role picks (a full selection ends them when `stop_when_full`), then the fill.
    auto scan_construct = [&](SelectionMask mask, auto admit, bool stop_when_full) {
      SelectionState state = SelectionState::from_mask(mask, inst, pc);
      auto take = [&](std::size_t i) { mask[i] = 1, state.add(i, inst, pc); };
      for (Role role : pc.must_include_roles) {
        if (state.role_count(role) != 0) continue;
        auto of_role = [&](const SelectionMask& m, const SelectionState& st, std::size_t i) {
          return inst.roles[i] == role && admit(m, st, i);
        };
        if (auto pick = best_by_scan(mask, state, of_role)) take(*pick);
        if (stop_when_full && state.count >= pc.max_chunks) break;
      }
      while (state.count < pc.max_chunks) {
        const auto pick = best_by_scan(mask, state, admit);
        if (!pick) break;
        take(*pick);
      }
      return mask;
    };

    SelectionMask required(n, 0);
    SelectionState state = SelectionState::from_mask(required, inst, pc);
    for (std::size_t i : pc.required_indices)
      if (state.count < pc.max_chunks && std::uint64_t{state.total_tokens} + inst.token_costs[i] <= pc.max_tokens)
        required[i] = 1, state.add(i, inst, pc);
    const SelectionMask greedy = construct_priority_greedy(ctx);
    EXPECT_EQ(greedy, scan_construct(required, within_limits, false)) << "seed " << seed;

    // Repair from every third chunk of the greedy selection.
    SelectionMask partial = greedy;
    for (std::size_t i = 0, kept = 0; i < n; ++i)
      if (partial[i] && kept++ % 3 != 0) partial[i] = 0;
    SelectionMask with_required = partial;
    for (std::size_t i : pc.required_indices) {
      const SelectionState now = SelectionState::from_mask(with_required, inst, pc);
      if (addable(with_required, now, i)) with_required[i] = 1;
    }
    EXPECT_EQ(repair_and_complete(ctx, partial), scan_construct(with_required, addable, true)) << "seed " << seed;

    // The ordered construction against the full stable sort (without roles,
    // whose pass reads unary scores rather than the order).
    if (!pc.must_include_roles.empty()) continue;
    std::vector<std::uint64_t> frequency(n);
    for (auto& f : frequency) f = rng() % 3;
    std::vector<double> key(n);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) key[i] = construction_key(ctx.unary[i], frequency[i], inst.token_costs[i]), order[i] = i;
    stable_sort_by_key_descending(order, key);
    SelectionMask ordered = required;
    SelectionState now = SelectionState::from_mask(ordered, inst, pc);
    for (std::size_t i : order)
      if (now.count < pc.max_chunks && within_limits(ordered, now, i)) ordered[i] = 1, now.add(i, inst, pc);
    EXPECT_EQ(construct_ordered(ctx, frequency), ordered) << "seed " << seed;
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
