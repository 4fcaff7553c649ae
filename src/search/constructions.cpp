#include "search/constructions.hpp"

#include <algorithm>
#include <cmath>
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
    return greedy_priority_from_base(ctx.greedy_base[i], i, ctx.instance, ctx.constraints, state);
  }
};

// Picks, one after another, the admissible candidate of highest greedy
// priority, ties to the lowest index: what a scan of every candidate per pick
// finds, in O(log n) a pick. It relies on two facts of a growing selection: a
// priority only falls (a role becomes held, a cluster gains mates), and a
// candidate that is not admissible never becomes so again (the budget, the
// cluster caps and the ids only tighten). So the heap may hold stale entries,
// which are skipped, and an inadmissible candidate is dropped for good.
template <typename Admit>
class PriorityPicks {
 public:
  PriorityPicks(Building& b, Admit admit) : b_(b), admit_(admit), current_(b.ctx.n), dropped_(b.ctx.n, 1) {
    for (std::size_t i = 0; i < b.ctx.n; ++i) {
      if (!admit_(i)) continue;
      dropped_[i] = 0;
      current_[i] = b_.priority(i);
      heap_.push_back(Entry{current_[i], i});
    }
    std::make_heap(heap_.begin(), heap_.end(), Entry::lower);
  }

  // Every priority is a number that compares: no NaN, no infinity.
  static bool applies(const SearchContext& ctx) {
    return std::all_of(ctx.greedy_base.begin(), ctx.greedy_base.end(), [](double x) { return std::isfinite(x); });
  }

  std::optional<std::size_t> next() {
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), Entry::lower);
      const Entry top = heap_.back();
      heap_.pop_back();
      if (dropped_[top.index] || top.priority != current_[top.index]) continue;
      dropped_[top.index] = 1;
      if (admit_(top.index)) return top.index;
    }
    return std::nullopt;
  }

  // Selects i and brings the priorities it changes up to date.
  void take(std::size_t i) {
    const SearchContext& ctx = b_.ctx;
    b_.select(i);
    dropped_[i] = 1;
    const std::size_t cluster = ctx.constraints.cluster_slot[i];
    if (cluster != kNoSlot) refresh(ctx.cluster_members, ctx.cluster_start[cluster], ctx.cluster_start[cluster + 1]);
    const Role role = ctx.instance.roles[i];
    if (role != Role::Unknown && b_.state.role_count(role) == 1) {
      const std::size_t slot = role_slot(role);
      refresh(ctx.role_members, ctx.role_start[slot], ctx.role_start[slot + 1]);
    }
  }

 private:
  struct Entry {
    double priority;
    std::size_t index;
    // Heap order: the greater priority, then the lower index, on top.
    static bool lower(const Entry& a, const Entry& b) {
      return a.priority < b.priority || (a.priority == b.priority && a.index > b.index);
    }
  };

  void refresh(const std::vector<std::size_t>& members, std::size_t first, std::size_t last) {
    for (std::size_t k = first; k < last; ++k) {
      const std::size_t j = members[k];
      if (dropped_[j]) continue;
      const double p = b_.priority(j);
      if (p == current_[j]) continue;
      current_[j] = p;
      heap_.push_back(Entry{p, j});
      std::push_heap(heap_.begin(), heap_.end(), Entry::lower);
    }
  }

  Building& b_;
  Admit admit_;
  std::vector<double> current_;
  std::vector<std::uint8_t> dropped_;
  std::vector<Entry> heap_;
};

// Adds the pick of `pick_one` (a scan) until the chunk limit or until nothing
// is admissible; through the heap when the priorities allow it.
template <typename Admit, typename PickOne>
void fill_by_priority(Building& b, Admit admit, PickOne pick_one) {
  const std::uint64_t limit = b.ctx.constraints.max_chunks;
  if (b.state.count >= limit) return;
  if (PriorityPicks<Admit>::applies(b.ctx)) {
    PriorityPicks<Admit> picks(b, admit);
    while (b.state.count < limit) {
      const std::optional<std::size_t> pick = picks.next();
      if (!pick) break;
      picks.take(*pick);
    }
    return;
  }
  while (b.state.count < limit) {
    const std::optional<std::size_t> pick = pick_one(b, admit);
    if (!pick) break;
    b.select(*pick);
  }
}

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

  fill_by_priority(b, [&](std::size_t i) { return b.within_limits(i); },
                   [](const Building& building, auto admit) { return first_highest_priority(building, admit); });
  return std::move(b.mask);
}

SelectionMask construct_ordered(const SearchContext& ctx, const std::vector<std::uint64_t>& frequency) {
  const PreparedConstraints& pc = ctx.constraints;
  const ProblemInstance& inst = ctx.instance;

  std::vector<double> key(ctx.n);
  bool any_nan = false;
  for (std::size_t i = 0; i < ctx.n; ++i) {
    key[i] = construction_key(ctx.unary[i], frequency_of(frequency, i), inst.token_costs[i]);
    any_nan |= std::isnan(key[i]);
  }
  // Without NaN the stable order is "greater key first, then lower index", a
  // total order a heap hands out one at a time: the fill usually ends after a
  // few dozen picks, long before the order does. A NaN key makes the merge
  // sort's order depend on the comparisons it happens to make: only the full
  // sort reproduces it.
  const auto before = [&](std::size_t a, std::size_t b) { return key[a] > key[b] || (key[a] == key[b] && a < b); };
  const auto after = [&](std::size_t a, std::size_t b) { return before(b, a); };
  std::vector<std::size_t> order(ctx.n);
  for (std::size_t i = 0; i < ctx.n; ++i) order[i] = i;
  if (any_nan)
    stable_sort_by_key_descending(order, key);
  else
    std::make_heap(order.begin(), order.end(), after);

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

  // Each missing role takes its holder of highest unary score, the first in
  // the order among equals: without NaN, the greater key, then the lower index.
  for (Role role : pc.must_include_roles) {
    if (b.holds(role) || !room_left()) continue;
    std::optional<std::size_t> pick;
    const auto better = [&](std::size_t i, std::size_t kept) {
      if (any_nan) return ctx.unary[i] > ctx.unary[kept];
      return ctx.unary[i] > ctx.unary[kept] || (ctx.unary[i] == ctx.unary[kept] && before(i, kept));
    };
    if (any_nan) {
      for (std::size_t i : order)
        if (inst.roles[i] == role && b.within_limits(i) && (!pick || better(i, *pick))) pick = i;
    } else {
      for (std::size_t i = 0; i < ctx.n; ++i)
        if (inst.roles[i] == role && b.within_limits(i) && (!pick || better(i, *pick))) pick = i;
    }
    if (pick) b.select(*pick);
  }

  if (any_nan) {
    for (std::size_t i : order)
      if (room_left() && b.within_limits(i)) b.select(i);
    return std::move(b.mask);
  }
  for (auto end = order.end(); room_left() && end != order.begin(); --end) {
    std::pop_heap(order.begin(), end, after);
    const std::size_t i = *(end - 1);
    if (b.within_limits(i)) b.select(i);
  }
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
  fill_by_priority(b, [&](std::size_t i) { return b.admissible_by_can_add(i); },
                   [](const Building& building, auto admit) {
                     return highest_priority_above_minus_infinity(building, admit);
                   });
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
