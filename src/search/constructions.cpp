#include "search/constructions.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "core/constraint_check.hpp"
#include "core/panic.hpp"
#include "core/scores.hpp"

namespace quarnel {
namespace {

// The token sum is formed in 64 bits, so a huge chunk can never wrap around
// into the budget.
bool fits_budget(std::uint32_t total, std::uint32_t tokens, std::uint32_t max_tokens) {
  return std::uint64_t{total} + tokens <= max_tokens;
}

// A selection under construction: its mask and the counts kept beside it.
struct Building {
  const SearchContext& ctx;
  SelectionMask mask;
  SelectionState state;

  Building(const SearchContext& c, SelectionMask start)
      : ctx(c), mask(std::move(start)), state(SelectionState::from_mask(mask, c.instance, c.constraints)) {}

  bool selected(std::size_t i) const { return mask[i] != 0; }
  bool excluded(std::size_t i) const { return ctx.constraints.is_excluded[i] != 0; }
  bool holds(Role role) const { return state.role_count(role) != 0; }

  void select(std::size_t i) {
    mask[i] = 1;
    state.add(i, ctx.instance, ctx.constraints);
  }

  // The filter of the two from-scratch constructions: free, not excluded,
  // within the token budget and below the cluster cap. Chunk ids and the
  // chunk limit are the caller's business.
  bool within_limits(std::size_t i) const {
    const PreparedConstraints& pc = ctx.constraints;
    return !selected(i) && !excluded(i) &&
           fits_budget(state.total_tokens, ctx.instance.token_costs[i], pc.max_tokens) &&
           state.cluster_count_of(i, pc) < pc.max_per_cluster;
  }

  bool admissible_by_can_add(std::size_t i) const {
    return !selected(i) && !excluded(i) && can_add(ctx.constraints, i, state, ctx.instance);
  }

  double priority(std::size_t i) const {
    return greedy_priority(ctx.unary[i], i, ctx.instance, ctx.constraints, state);
  }
};

// The first admitted candidate is kept; a later one replaces it only with a
// strictly greater priority, so ties go to the lowest index.
template <typename Admit>
std::optional<std::size_t> first_highest_priority(const Building& b, Admit admit) {
  std::optional<std::size_t> best;
  double best_priority = 0.0;
  for (std::size_t i = 0; i < b.ctx.n; ++i) {
    if (!admit(i)) continue;
    const double p = b.priority(i);
    if (!best || p > best_priority) {
      best = i;
      best_priority = p;
    }
  }
  return best;
}

// As above but starting from negative infinity, so a candidate whose priority
// is not a number is never taken.
template <typename Admit>
std::optional<std::size_t> highest_priority_above_minus_infinity(const Building& b, Admit admit) {
  std::optional<std::size_t> best;
  double best_priority = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < b.ctx.n; ++i) {
    if (!admit(i)) continue;
    const double p = b.priority(i);
    if (p > best_priority) {
      best = i;
      best_priority = p;
    }
  }
  return best;
}

SelectionMask empty_mask(const SearchContext& ctx) { return SelectionMask(ctx.n, 0); }

}  // namespace

SelectionMask construct_priority_greedy(const SearchContext& ctx) {
  const PreparedConstraints& pc = ctx.constraints;
  const ProblemInstance& inst = ctx.instance;
  Building b(ctx, empty_mask(ctx));

  for (std::size_t i : pc.required_indices) {
    if (!fits_budget(b.state.total_tokens, inst.token_costs[i], pc.max_tokens)) continue;
    if (b.state.count >= pc.max_chunks) continue;
    b.select(i);
  }

  // The role pass does not look at the chunk limit.
  for (Role role : pc.must_include_roles) {
    if (b.holds(role)) continue;
    auto pick = first_highest_priority(b, [&](std::size_t i) { return inst.roles[i] == role && b.within_limits(i); });
    if (pick) b.select(*pick);
  }

  while (b.state.count < pc.max_chunks) {
    auto pick = first_highest_priority(b, [&](std::size_t i) { return b.within_limits(i); });
    if (!pick) break;
    b.select(*pick);
  }
  return std::move(b.mask);
}

SelectionMask construct_ordered(const SearchContext& ctx, const std::vector<std::uint64_t>& frequency) {
  const PreparedConstraints& pc = ctx.constraints;
  const ProblemInstance& inst = ctx.instance;

  std::vector<double> key(ctx.n);
  std::vector<std::size_t> order(ctx.n);
  for (std::size_t i = 0; i < ctx.n; ++i) {
    key[i] = construction_key(ctx.unary[i], frequency_of(frequency, i), inst.token_costs[i]);
    order[i] = i;
  }
  stable_sort_by_key_descending(order, key);

  Building b(ctx, empty_mask(ctx));
  const auto room_left = [&] { return b.state.count < pc.max_chunks; };

  // Required chunks are taken on the budget alone: exclusion and cluster caps
  // are left to the final check to report.
  if (pc.max_chunks != 0) {
    for (std::size_t i : pc.required_indices) {
      if (!fits_budget(b.state.total_tokens, inst.token_costs[i], pc.max_tokens)) continue;
      b.select(i);
      if (b.state.count == pc.max_chunks) break;
    }
  }

  for (Role role : pc.must_include_roles) {
    if (b.holds(role) || !room_left()) continue;
    std::optional<std::size_t> pick;
    for (std::size_t i : order) {
      if (inst.roles[i] != role || !b.within_limits(i)) continue;
      if (!pick || ctx.unary[i] > ctx.unary[*pick]) pick = i;
    }
    if (pick) b.select(*pick);
  }

  for (std::size_t i : order)
    if (room_left() && b.within_limits(i)) b.select(i);
  return std::move(b.mask);
}

SelectionMask repair_and_complete(const SearchContext& ctx, const SelectionMask& mask) {
  const PreparedConstraints& pc = ctx.constraints;
  const ProblemInstance& inst = ctx.instance;
  check_length(mask.size(), ctx.n, "mask");
  Building b(ctx, mask);

  for (std::size_t i : pc.required_indices)
    if (b.admissible_by_can_add(i)) b.select(i);

  for (Role role : pc.must_include_roles) {
    if (b.holds(role)) continue;
    auto pick = highest_priority_above_minus_infinity(
        b, [&](std::size_t i) { return inst.roles[i] == role && b.admissible_by_can_add(i); });
    if (pick) b.select(*pick);
    // A full selection ends the role pass; later roles are not attempted.
    if (b.state.count >= pc.max_chunks) break;
  }

  // Keeps adding while anything is admissible, even at a negative priority.
  while (b.state.count < pc.max_chunks) {
    auto pick = highest_priority_above_minus_infinity(b, [&](std::size_t i) { return b.admissible_by_can_add(i); });
    if (!pick) break;
    b.select(*pick);
  }
  return std::move(b.mask);
}

SelectionMask destroy_and_repair(const SearchContext& ctx, const SelectionMask& mask,
                                 const std::vector<std::uint64_t>& frequency) {
  const PreparedConstraints& pc = ctx.constraints;
  check_length(mask.size(), ctx.n, "mask");
  SelectionMask destroyed = mask;

  std::vector<std::size_t> removable;
  std::vector<double> key(ctx.n, 0.0);
  for (std::size_t i = 0; i < ctx.n; ++i) {
    if (mask[i] == 0 || pc.is_required[i] != 0) continue;
    removable.push_back(i);
    key[i] = destroy_key(ctx.unary[i], frequency_of(frequency, i), ctx.instance.token_costs[i]);
  }
  const std::size_t k = removable.size();
  const std::size_t to_remove = k == 0 ? 0 : std::min(std::max<std::size_t>(k / 3, 1), k);

  stable_sort_by_key_ascending(removable, key);
  for (std::size_t r = 0; r < to_remove; ++r) destroyed[removable[r]] = 0;
  return repair_and_complete(ctx, destroyed);
}

}  // namespace quarnel
