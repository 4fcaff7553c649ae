#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/constraint_check.hpp"
#include "core/constraints.hpp"
#include "core/panic.hpp"
#include "core/problem.hpp"
#include "test_instances.hpp"

namespace quarnel {
namespace {

struct Candidate {
  std::uint32_t tokens = 100;
  Role role = Role::Unknown;
  std::int32_t cluster = kNoCluster;
  std::string id;  // defaults to "c<index>"
};

ProblemInstance instance_of(const std::vector<Candidate>& candidates) {
  ProblemInstance p = testing::blank_instance(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    p.token_costs[i] = candidates[i].tokens;
    p.roles[i] = candidates[i].role;
    p.cluster_ids[i] = candidates[i].cluster;
    if (!candidates[i].id.empty()) p.chunk_ids[i] = candidates[i].id;
  }
  return p;
}

SelectionMask mask_of(std::size_t n, std::initializer_list<std::size_t> selected) {
  SelectionMask mask(n, 0);
  for (std::size_t i : selected) mask[i] = 1;
  return mask;
}

std::vector<std::string> messages(const SolverConstraints& c, const ProblemInstance& p, const SelectionMask& mask) {
  return check_constraints(prepare_constraints(c, p), mask, p).messages();
}

using Messages = std::vector<std::string>;

TEST(CheckConstraints, CountAndTokenViolationsComeFirstInOrder) {
  const ProblemInstance p = instance_of({{4500}, {4500}, {10}});
  EXPECT_EQ(messages({}, p, mask_of(3, {0, 1})), Messages{"Token budget exceeded: 9000 > 8192"});

  SolverConstraints c;
  c.max_chunks = 1;
  c.must_include_roles = {Role::Risk};
  EXPECT_EQ(messages(c, p, mask_of(3, {0, 1})),
            (Messages{"Token budget exceeded: 9000 > 8192", "Too many chunks: 2 > 1", "Missing required role: Risk"}));

  // An empty selection never exceeds the budget, even a zero one.
  c = {};
  c.max_tokens = 0;
  c.min_tokens = 100;
  EXPECT_EQ(messages(c, p, mask_of(3, {})), (Messages{"Minimum tokens not met: 0 < 100", "Too few chunks: 0 < 1"}));
  EXPECT_EQ(messages({}, p, mask_of(3, {})), Messages{"Too few chunks: 0 < 1"});
}

TEST(CheckConstraints, RolesClustersAndChunkIds) {
  const ProblemInstance p = instance_of({{100, Role::Definition, 7},
                                         {100, Role::Example, 7},
                                         {100, Role::Unknown, 7},
                                         {100, Role::Unknown, 7, "dup"},
                                         {100, Role::Unknown, kNoCluster, "dup"},
                                         {100, Role::DataTable, 2}});
  SolverConstraints c;
  c.must_include_roles = {Role::DataTable, Role::Unknown, Role::DataTable};
  c.required_chunks = {"c5", "nowhere"};
  c.excluded_chunks = {"dup"};
  EXPECT_EQ(messages(c, p, mask_of(6, {0, 1, 2, 3, 4})),
            (Messages{"Missing required role: DataTable", "Cluster 7 overflow: 4 > 3", "Required chunk missing: c5",
                      "Required chunk missing: nowhere", "Excluded chunk selected: dup",
                      "Excluded chunk selected: dup"}));

  const ConstraintReport ok = check_constraints(prepare_constraints({}, p), mask_of(6, {0, 5}), p);
  EXPECT_TRUE(ok.satisfied);
  EXPECT_EQ(ok.count, 2u);
  EXPECT_EQ(ok.total_tokens, 200u);
}

TEST(CheckConstraints, OnlyBytesEqualToOneAreSelected) {
  const ProblemInstance p = instance_of({{100}, {200}, {5000}});
  const ConstraintReport report = check_constraints(prepare_constraints({}, p), SelectionMask{1, 1, 2}, p);
  EXPECT_EQ(report.count, 2u);
  EXPECT_EQ(report.total_tokens, 300u);
}

// A token sum past 2^32 wraps in the reported total, but never into the budget.
TEST(TokenBudget, SumsPastTheWordSizeDoNotWrapIntoTheBudget) {
  const ProblemInstance p = instance_of({{0xFFFFFFF0u}, {0x20}, {0x20}});
  const PreparedConstraints c = prepare_constraints({}, p);
  const SelectionMask both = {1, 1, 0};
  const ConstraintReport report = check_constraints(c, both, p);
  EXPECT_EQ(report.total_tokens, 0x10u);
  EXPECT_EQ(report.messages(), Messages{"Token budget exceeded: 4294967312 > 8192"});
  EXPECT_FALSE(constraints_satisfied(c, std::vector<std::size_t>{0, 1}, p));

  const SelectionState small = SelectionState::from_mask({0, 1, 0}, p, c);
  EXPECT_FALSE(can_add(c, 0, small, p));
  EXPECT_FALSE(can_swap(c, 0, 1, small, p));
  // Swapping the huge chunk out of an over-full selection is fine.
  const SelectionState huge = SelectionState::from_mask(both, p, c);
  EXPECT_EQ(huge.total_tokens, 0x10u);
  EXPECT_FALSE(can_add(c, 2, huge, p));
  EXPECT_TRUE(can_swap(c, 2, 0, huge, p));
}

TEST(CheckConstraints, RefusesAShortMask) {
  const ProblemInstance p = instance_of({{}, {}});
  const PreparedConstraints c = prepare_constraints({}, p);
  EXPECT_THROW(check_constraints(c, SelectionMask{1}, p), InternalError);
  EXPECT_THROW(SelectionState::from_mask(SelectionMask{1}, p, c), InternalError);
}

TEST(CanAdd, RefusesDuplicateIdsExclusionsAndLimits) {
  const ProblemInstance p = instance_of({{100, Role::Unknown, kNoCluster, "same"},
                                         {100, Role::Unknown, kNoCluster, "same"},
                                         {100, Role::Unknown, kNoCluster, "banned"},
                                         {8000},
                                         {100, Role::Unknown, 4},
                                         {100, Role::Unknown, 4}});
  SolverConstraints sc;
  sc.excluded_chunks = {"banned"};
  const PreparedConstraints c = prepare_constraints(sc, p);
  const SelectionState state = SelectionState::from_mask(mask_of(6, {0, 4}), p, c);
  EXPECT_FALSE(can_add(c, 1, state, p));  // another candidate with a selected id
  EXPECT_FALSE(can_add(c, 2, state, p));
  EXPECT_FALSE(can_add(c, 3, state, p));  // 8200 > 8192
  EXPECT_TRUE(can_add(c, 5, state, p));

  sc.max_per_cluster = 1;
  const PreparedConstraints one_per_cluster = prepare_constraints(sc, p);
  EXPECT_FALSE(can_add(one_per_cluster, 5, state, p));
  sc.max_per_cluster = 0;
  const PreparedConstraints no_clusters = prepare_constraints(sc, p);
  const SelectionState empty = SelectionState::from_mask(mask_of(6, {}), p, no_clusters);
  EXPECT_FALSE(can_add(no_clusters, 4, empty, p));
  EXPECT_TRUE(can_add(no_clusters, 1, empty, p));

  sc.max_chunks = 2;
  const PreparedConstraints two_chunks = prepare_constraints(sc, p);
  EXPECT_FALSE(can_add(two_chunks, 1, SelectionState::from_mask(mask_of(6, {0, 5}), p, two_chunks), p));
}

TEST(CanSwap, ClusterRules) {
  const ProblemInstance p = instance_of({{100, Role::Unknown, 1},
                                         {100, Role::Unknown, 1},
                                         {100, Role::Unknown, 1},
                                         {100, Role::Unknown, 1},
                                         {100, Role::Unknown, 2}});
  const PreparedConstraints c = prepare_constraints({}, p);
  // Cluster 1 holds three, at its cap: a swap inside the cluster keeps the count.
  const SelectionState full = SelectionState::from_mask(mask_of(5, {0, 1, 2}), p, c);
  EXPECT_TRUE(can_swap(c, 3, 0, full, p));
  // Bringing a fourth in from outside the cluster overflows it.
  const SelectionState mixed = SelectionState::from_mask(mask_of(5, {0, 1, 2, 4}), p, c);
  EXPECT_FALSE(can_swap(c, 3, 4, mixed, p));
  EXPECT_TRUE(can_swap(c, 3, 1, mixed, p));

  // An over-full cluster accepts a swap within it only if the count stays within the cap.
  SolverConstraints tight;
  tight.max_per_cluster = 2;
  const PreparedConstraints t = prepare_constraints(tight, p);
  EXPECT_FALSE(can_swap(t, 3, 0, SelectionState::from_mask(mask_of(5, {0, 1, 2}), p, t), p));
}

TEST(CanSwap, IdsRequiredChunksTokensAndRoles) {
  const ProblemInstance p = instance_of({{100, Role::DataTable},
                                         {100, Role::Example, kNoCluster, "must"},
                                         {100, Role::Example},
                                         {100, Role::DataTable},
                                         {10, Role::DataTable},
                                         {100, Role::Example, kNoCluster, "must"},
                                         {100, Role::Example}});
  SolverConstraints sc;
  sc.must_include_roles = {Role::DataTable};
  sc.required_chunks = {"must"};
  sc.min_tokens = 150;
  const PreparedConstraints c = prepare_constraints(sc, p);
  const SelectionState state = SelectionState::from_mask(mask_of(7, {0, 1}), p, c);

  EXPECT_FALSE(can_swap(c, 2, 0, state, p));  // takes away the only DataTable
  EXPECT_TRUE(can_swap(c, 3, 0, state, p));   // unless the incoming one holds it
  EXPECT_FALSE(can_swap(c, 2, 1, state, p));  // "must" is required
  EXPECT_FALSE(can_swap(c, 5, 0, state, p));  // its id is already selected
  EXPECT_FALSE(can_swap(c, 0, 2, state, p));  // out is not selected
  EXPECT_FALSE(can_swap(c, 4, 0, state, p));  // 110 < 150 tokens

  // A selection already lacking the role accepts only swaps that bring it in.
  const SelectionState lacking = SelectionState::from_mask(mask_of(7, {1, 2}), p, c);
  EXPECT_FALSE(can_swap(c, 6, 2, lacking, p));
  EXPECT_TRUE(can_swap(c, 3, 2, lacking, p));
}

TEST(SelectionState, IncrementalUpdatesMatchARebuild) {
  const ProblemInstance p = instance_of({{100, Role::Risk, 3},
                                         {0xFFFFFFFFu, Role::Unknown, 3, "x"},
                                         {7, Role::Risk, kNoCluster, "x"},
                                         {9, Role::Procedure, 8}});
  const PreparedConstraints c = prepare_constraints({}, p);
  SelectionState state = SelectionState::from_mask(mask_of(4, {0, 1}), p, c);
  state.remove(1, p, c);
  state.add(2, p, c);
  state.add(3, p, c);
  const SelectionState rebuilt = SelectionState::from_mask(mask_of(4, {0, 2, 3}), p, c);
  EXPECT_EQ(state.count, rebuilt.count);
  EXPECT_EQ(state.total_tokens, rebuilt.total_tokens);
  EXPECT_EQ(state.exact_tokens, rebuilt.exact_tokens);
  EXPECT_EQ(state.role_counts, rebuilt.role_counts);
  EXPECT_EQ(state.cluster_counts, rebuilt.cluster_counts);
  EXPECT_EQ(state.id_counts, rebuilt.id_counts);
  EXPECT_EQ(state.role_count(Role::Risk), 2u);
  EXPECT_TRUE(state.id_selected(1, c));  // shares the id "x" with candidate 2
  EXPECT_THROW(state.add(4, p, c), InternalError);
}

TEST(ConstraintsSatisfied, AgreesWithTheFullCheckOnRandomSelections) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pick(0, 99);
  const Role roles[] = {Role::Unknown, Role::Definition, Role::Risk, Role::DataTable};
  int satisfied_seen = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = 1 + trial % 9;
    std::vector<Candidate> candidates(n);
    for (Candidate& cand : candidates) {
      cand.tokens = 20 + pick(rng) * 4;
      cand.role = roles[pick(rng) % 4];
      cand.cluster = pick(rng) < 40 ? kNoCluster : pick(rng) % 3;
      cand.id = "id" + std::to_string(pick(rng) % 7);
    }
    const ProblemInstance p = instance_of(candidates);
    SolverConstraints sc;
    sc.max_tokens = 150 + pick(rng) * 4;
    sc.min_tokens = pick(rng) < 50 ? 0 : pick(rng);
    sc.min_chunks = pick(rng) % 3;
    sc.max_chunks = 1 + pick(rng) % 5;
    sc.max_per_cluster = pick(rng) % 3;
    if (pick(rng) < 50) sc.must_include_roles = {roles[pick(rng) % 4]};
    if (pick(rng) < 30) sc.required_chunks = {"id" + std::to_string(pick(rng) % 9)};
    if (pick(rng) < 30) sc.excluded_chunks = {"id" + std::to_string(pick(rng) % 9)};
    const PreparedConstraints c = prepare_constraints(sc, p);

    SelectionMask mask(n, 0);
    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < n; ++i)
      if (pick(rng) < 35) {
        mask[i] = 1;
        selected.push_back(i);
      }
    const bool full = check_constraints(c, mask, p).satisfied;
    satisfied_seen += full;
    ASSERT_EQ(constraints_satisfied(c, selected, p), full) << "trial " << trial;
  }
  EXPECT_GT(satisfied_seen, 20);
}

}  // namespace
}  // namespace quarnel
