#pragma once
// Feasibility of selections: the bookkeeping record the search keeps beside a
// mask, the fast add/swap tests, and the full check with its violation list.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/constraints.hpp"
#include "core/panic.hpp"
#include "core/problem.hpp"
#include "core/role.hpp"

namespace quarnel {

// Counts of a selection, indexed by the dense slots of PreparedConstraints.
struct SelectionState {
  std::array<std::uint64_t, kRoleCount> role_counts{};  // by role_slot()
  std::vector<std::uint64_t> cluster_counts;            // by cluster slot
  std::vector<std::uint32_t> id_counts;                 // selected candidates per id slot
  std::uint64_t count = 0;
  std::uint32_t total_tokens = 0;  // 32-bit wrap-around sum, as reported
  std::uint64_t exact_tokens = 0;  // the same sum without wrap-around; the budget tests use it

  // Every index whose byte is non-zero counts as selected.
  static SelectionState from_mask(const SelectionMask& mask, const ProblemInstance& instance,
                                  const PreparedConstraints& constraints);
  // Incremental updates for a candidate entering or leaving the selection.
  void add(std::size_t i, const ProblemInstance& instance, const PreparedConstraints& constraints);
  void remove(std::size_t i, const ProblemInstance& instance, const PreparedConstraints& constraints);

  std::uint64_t role_count(Role role) const {
    const std::size_t slot = role_slot(role);
    check_index(slot, kRoleCount, "role");
    return role_counts[slot];
  }
  // Whether a candidate with the chunk id of i is selected.
  bool id_selected(std::size_t i, const PreparedConstraints& constraints) const {
    check_index(i, constraints.id_slot.size(), "candidate");
    const std::uint32_t slot = constraints.id_slot[i];
    check_index(slot, id_counts.size(), "chunk id slot");
    return id_counts[slot] != 0;
  }
  // Selected candidates in the cluster of i; 0 when i has no cluster.
  std::uint64_t cluster_count_of(std::size_t i, const PreparedConstraints& constraints) const {
    check_index(i, constraints.cluster_slot.size(), "candidate");
    const std::uint32_t slot = constraints.cluster_slot[i];
    if (slot == kNoSlot) return 0;
    check_index(slot, cluster_counts.size(), "cluster slot");
    return cluster_counts[slot];
  }
};

enum class ViolationKind : std::uint8_t {
  TokenBudgetExceeded = 0,
  MinTokensNotMet = 1,
  TooFewChunks = 2,
  TooManyChunks = 3,
  MissingRole = 4,
  ClusterOverflow = 5,
  RequiredChunkMissing = 6,
  ExcludedChunkSelected = 7,
};

struct Violation {
  ViolationKind kind;
  std::uint64_t first = 0;   // total tokens, count, or cluster id
  std::uint64_t second = 0;  // the limit, or the count in the cluster
  std::uint64_t third = 0;   // max_per_cluster for ClusterOverflow
  Role role = Role::Unknown;
  std::string chunk_id;

  std::string message() const;
};

struct ConstraintReport {
  std::vector<Violation> violations;
  std::uint64_t count = 0;
  std::uint32_t total_tokens = 0;  // 32-bit wrap-around sum; the checks compare the exact sum
  bool satisfied = true;

  std::vector<std::string> messages() const;
};

// Adding the unselected candidate i keeps ids unique, avoids exclusions, the
// token budget, the chunk limit and the cluster cap. Token budgets are always
// compared with exact sums: a total past 2^32 must not wrap into the budget.
bool can_add(const PreparedConstraints& constraints, std::size_t i, const SelectionState& state,
             const ProblemInstance& instance);

// Removing the selected `out` and adding the unselected `in` keeps every
// constraint that a swap can affect (tokens both ways, clusters, roles).
bool can_swap(const PreparedConstraints& constraints, std::size_t in, std::size_t out, const SelectionState& state,
              const ProblemInstance& instance);

// can_swap for every pair of incoming candidates and a fixed list of outgoing
// ones, from one state: what depends on one side only is prepared once, so
// that a pair costs a few comparisons. Gives can_swap's answer for each pair.
class SwapScreen {
 public:
  SwapScreen(const PreparedConstraints& constraints, const SelectionState& state, const ProblemInstance& instance,
             std::span<const std::size_t> outgoing);

  // Prepares the incoming side; then allows(k) answers for outgoing[k].
  void set_incoming(std::size_t in);
  bool allows(std::size_t k) const {
    const Out& o = out_[k];
    if (!in_ok_ || !o.ok) return false;
    if (plus_in_ > o.max_total || plus_in_ < o.min_total) return false;
    if (((missing_roles_ | o.critical_role) & ~in_role_) != 0) return false;
    const bool same = o.cluster == in_cluster_ && o.cluster != kNoSlot;
    if (o.cluster != kNoSlot && (same ? o.after_same : o.after_other) > cap_) return false;
    if (in_cluster_ != kNoSlot && in_cluster_count_ + (same ? 0 : 1) > cap_) return false;
    return true;
  }

 private:
  struct Out {
    bool ok = false;                // selected id, not required
    std::uint64_t max_total = 0;    // max_tokens + tokens, against total + incoming tokens
    std::uint64_t min_total = 0;    // min_tokens + tokens
    std::uint32_t cluster = kNoSlot;
    std::uint64_t after_other = 0;  // its cluster's count after it leaves
    std::uint64_t after_same = 0;   // the same when the incoming one joins that cluster
    std::uint32_t critical_role = 0;  // a required role it alone holds
  };
  const PreparedConstraints& constraints_;
  const SelectionState& state_;
  const ProblemInstance& instance_;
  std::vector<Out> out_;
  std::uint32_t missing_roles_ = 0;  // required roles no selected candidate holds
  std::uint64_t cap_ = 0;
  bool in_ok_ = false;
  std::uint64_t plus_in_ = 0;
  std::uint32_t in_role_ = 0;
  std::uint32_t in_cluster_ = kNoSlot;
  std::uint64_t in_cluster_count_ = 0;
};

// Full check; only bytes equal to 1 count as selected.
ConstraintReport check_constraints(const PreparedConstraints& constraints, const SelectionMask& mask,
                                   const ProblemInstance& instance);

// True exactly when check_constraints would report no violation, without
// building messages; `selected` lists the selected indices ascending.
bool constraints_satisfied(const PreparedConstraints& constraints, std::span<const std::size_t> selected,
                           const ProblemInstance& instance);

}  // namespace quarnel
