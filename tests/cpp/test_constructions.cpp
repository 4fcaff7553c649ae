#include <gtest/gtest.h>

#include <vector>

#include "search/constructions.hpp"
#include "search/context.hpp"
#include "test_constructions_world.hpp"

namespace quarnel {
namespace {

using namespace testing_world;

TEST(PriorityGreedy, RequiredPassHonoursBudgetAndChunkLimitButRolePassIgnoresTheLimit) {
  World w({0.1f, 0.2f, 0.3f, 0.9f, 0.5f}, {100, 5000, 100, 100, 100});
  w.instance.chunk_ids[0] = "req-a";
  w.instance.chunk_ids[1] = "req-big";
  w.instance.roles[4] = Role::Risk;
  w.constraints.required_chunks = {"req-a", "req-big"};
  w.constraints.must_include_roles = {Role::Risk};
  w.constraints.max_tokens = 1000;
  w.constraints.max_chunks = 1;
  // The oversized required chunk is skipped; the Risk chunk enters although
  // the chunk limit is already reached; fill adds nothing more.
  EXPECT_EQ(selected_indices(construct_priority_greedy(w.context())), (Indices{0, 4}));
}

TEST(PriorityGreedy, FillPrefersSizeNormalisedScoreAndBreaksTiesToLowestIndex) {
  World w({1.0f, 1.0f, 1.0f, 1.0f}, {400, 100, 100, 50});
  w.instance.relevance_scores[3] = 0.5f;  // 0.5/50^0.85 is below 1/100^0.85
  w.constraints.max_chunks = 1;
  EXPECT_EQ(selected_indices(construct_priority_greedy(w.context())), (Indices{1}));
}

TEST(PriorityGreedy, ClusterCapAndExclusionFilterEveryPass) {
  World w({0.9f, 0.8f, 0.7f, 0.1f}, {10, 10, 10, 10});
  w.instance.cluster_ids = {5, 5, 5, kNoCluster};
  w.instance.chunk_ids[3] = "gone";
  w.constraints.excluded_chunks = {"gone"};
  w.constraints.max_per_cluster = 2;
  EXPECT_EQ(selected_indices(construct_priority_greedy(w.context())), (Indices{0, 1}));
}

TEST(PriorityGreedy, HugeTokenCostNeverWrapsIntoTheBudget) {
  World w({0.1f, 0.9f}, {100, 0xFFFFFFF0u});
  w.instance.chunk_ids[1] = "req";
  w.constraints.required_chunks = {"req"};
  const SearchContext& ctx = w.context();
  EXPECT_EQ(selected_indices(construct_priority_greedy(ctx)), (Indices{0}));
  EXPECT_EQ(selected_indices(construct_ordered(ctx, {})), (Indices{0}));
}

TEST(OrderedConstruction, RequiredPassStopsAtChunkLimitAndIgnoresExclusion) {
  World w({0.1f, 0.2f, 0.3f, 0.9f}, {100, 100, 100, 100});
  w.instance.chunk_ids = {"r0", "r1", "r2", "free"};
  w.constraints.required_chunks = {"r2", "r1", "r0"};
  w.constraints.excluded_chunks = {"r0"};
  w.constraints.max_chunks = 2;
  EXPECT_EQ(selected_indices(construct_ordered(w.context(), {})), (Indices{0, 1}));

  World none({0.5f}, {10});
  none.instance.chunk_ids = {"r"};
  none.constraints.required_chunks = {"r"};
  none.constraints.max_chunks = 0;
  EXPECT_EQ(selected_indices(construct_ordered(none.context(), {})), Indices{});
}

TEST(OrderedConstruction, FrequencyPushesOftenSelectedChunksDownTheOrder) {
  World w({0.5f, 0.6f, 0.4f}, {100, 100, 100});
  w.constraints.max_chunks = 1;
  const SearchContext& ctx = w.context();
  EXPECT_EQ(selected_indices(construct_ordered(ctx, {0, 0, 0})), (Indices{1}));
  // A count of 10 costs 0.3: candidate 1 falls from 0.6 to 0.3, below 0.5.
  EXPECT_EQ(selected_indices(construct_ordered(ctx, {0, 10, 0})), (Indices{0}));
  // A frequency memory shorter than n counts the missing entries as 0.
  EXPECT_EQ(selected_indices(construct_ordered(ctx, {5})), (Indices{1}));
}

TEST(OrderedConstruction, RolePassTakesHighestUnaryHolderThenFillsInKeyOrder) {
  World w({0.9f, 0.2f, 0.4f, 0.8f}, {100, 100, 100, 100});
  w.instance.roles = {Role::Unknown, Role::Example, Role::Example, Role::Unknown};
  w.constraints.must_include_roles = {Role::Example};
  w.constraints.max_chunks = 2;
  EXPECT_EQ(selected_indices(construct_ordered(w.context(), {})), (Indices{0, 2}));
}

TEST(OrderedConstruction, ZeroClusterCapBlocksRoleAndFillWhileRepairUsesCanAdd) {
  World w({0.9f, 0.8f, 0.7f}, {10, 10, 10});
  w.instance.cluster_ids = {1, kNoCluster, 2};
  w.instance.roles = {Role::Risk, Role::Unknown, Role::Unknown};
  w.instance.chunk_ids[2] = "req";
  w.constraints.max_per_cluster = 0;
  w.constraints.must_include_roles = {Role::Risk};
  w.constraints.required_chunks = {"req"};
  const SearchContext& ctx = w.context();
  // Only the required chunk, which skips the cluster test.
  EXPECT_EQ(selected_indices(construct_ordered(ctx, {})), (Indices{2}));
  // Repair admits the unclustered chunk, which can_add accepts at cap 0.
  EXPECT_EQ(selected_indices(repair_and_complete(ctx, mask_of(3, {}))), (Indices{1}));
}

TEST(RepairAndComplete, NeverAddsAnExcludedRequiredChunkOrAnIdAlreadySelected) {
  World w({0.1f, 0.9f, 0.8f, 0.3f}, {10, 10, 10, 10});
  w.instance.chunk_ids = {"req-x", "dup", "dup", "other"};
  w.constraints.required_chunks = {"req-x"};
  w.constraints.excluded_chunks = {"req-x"};
  const SearchContext& ctx = w.context();
  EXPECT_EQ(selected_indices(repair_and_complete(ctx, mask_of(4, {}))), (Indices{1, 3}));
}

TEST(RepairAndComplete, FullSelectionEndsRolePassBeforeLaterRoles) {
  World w({0.1f, 0.9f, 0.5f, 0.7f}, {10, 10, 10, 10});
  w.instance.roles = {Role::Unknown, Role::Unknown, Role::Risk, Role::Example};
  w.constraints.must_include_roles = {Role::Risk, Role::Example};
  w.constraints.max_chunks = 2;
  EXPECT_EQ(selected_indices(repair_and_complete(w.context(), mask_of(4, {0}))), (Indices{0, 2}));
}

TEST(RepairAndComplete, KeepsAddingAtNegativePriorityAndLeavesTheInputUntouched) {
  World w({-5.0f, -1.0f, -3.0f}, {10, 10, 10});
  w.constraints.max_chunks = 2;
  const SearchContext& ctx = w.context();
  const SelectionMask input = mask_of(3, {});
  EXPECT_EQ(selected_indices(repair_and_complete(ctx, input)), (Indices{1, 2}));
  EXPECT_EQ(input, mask_of(3, {}));
}

// Selected chunks are weak and the outside ones strong, with room for exactly
// the current count: repair refills every removed slot from outside, so the
// weak chunks that survive show what destroy removed.
World destroy_world(std::size_t selected_count) {
  std::vector<float> relevance;
  for (std::size_t i = 0; i < selected_count; ++i) relevance.push_back(0.1f + 0.01f * static_cast<float>(i));
  for (std::size_t i = 0; i < selected_count; ++i) relevance.push_back(0.9f);
  World w(relevance, std::vector<std::uint32_t>(relevance.size(), 10));
  w.constraints.max_chunks = selected_count;
  return w;
}

SelectionMask first_selected(std::size_t count, std::size_t n) {
  SelectionMask m(n, 0);
  for (std::size_t i = 0; i < count; ++i) m[i] = 1;
  return m;
}

TEST(DestroyAndRepair, RemovesAThirdOfTheRemovableAtLeastOne) {
  for (auto [k, removed] : {std::pair<std::size_t, std::size_t>{1, 1}, {2, 1}, {3, 1}, {6, 2}, {7, 2}, {9, 3}}) {
    World w = destroy_world(k);
    const SelectionMask out = destroy_and_repair(w.context(), first_selected(k, 2 * k), {});
    std::size_t kept = 0;
    for (std::size_t i = 0; i < k; ++i) kept += out[i];
    EXPECT_EQ(kept, k - removed) << "k=" << k;
    // The weakest (lowest index) go first.
    for (std::size_t i = 0; i < removed; ++i) EXPECT_EQ(out[i], 0) << "k=" << k << " i=" << i;
  }
}

TEST(DestroyAndRepair, SparesRequiredChunksAndFollowsTheFrequencyPenalty) {
  World w = destroy_world(4);
  w.instance.chunk_ids[0] = "req";  // the weakest chunk, but required
  w.constraints.required_chunks = {"req"};
  const SearchContext& ctx = w.context();
  // Removable: 1, 2, 3 -> one removed. Without frequency that is 1; a count of
  // 10 on chunk 3 (-0.5 in the destroy key) makes it the weakest instead.
  const SelectionMask plain = destroy_and_repair(ctx, first_selected(4, 8), {});
  EXPECT_EQ((Indices{plain[0], plain[1], plain[2], plain[3]}), (Indices{1, 0, 1, 1}));
  const SelectionMask penalised = destroy_and_repair(ctx, first_selected(4, 8), {0, 0, 0, 10});
  EXPECT_EQ((Indices{penalised[0], penalised[1], penalised[2], penalised[3]}), (Indices{1, 1, 1, 0}));
}

TEST(DestroyAndRepair, OnlyRequiredChunksRemovesNothing) {
  World w({0.1f, 0.2f, 0.9f}, {10, 10, 10});
  w.instance.chunk_ids = {"r0", "r1", "x"};
  w.constraints.required_chunks = {"r0", "r1"};
  w.constraints.max_chunks = 3;
  const SearchContext& ctx = w.context();
  EXPECT_EQ(selected_indices(destroy_and_repair(ctx, mask_of(3, {0, 1}), {})), (Indices{0, 1, 2}));
}

}  // namespace
}  // namespace quarnel
