#include "search/elite_pool.hpp"

#include <algorithm>
#include <cstddef>

#include "core/constraint_check.hpp"
#include "core/panic.hpp"
#include "core/scores.hpp"
#include "search/constructions.hpp"

namespace quarnel {
namespace {

// Number of differing bytes over the shorter of the two masks.
std::size_t hamming_distance(const SelectionMask& a, const SelectionMask& b) {
  const std::size_t len = std::min(a.size(), b.size());
  std::size_t d = 0;
  for (std::size_t i = 0; i < len; ++i) d += a[i] != b[i];
  return d;
}

}  // namespace

void ElitePool::insert(const SelectionMask& mask, double score) {
  for (const EliteEntry& e : entries_)
    if (e.mask == mask) return;
  entries_.push_back({mask, score});
  // Move the newcomer forward past strictly lower scores only, so an equal
  // score stays behind the older entry.
  for (std::size_t k = entries_.size() - 1; k > 0 && entries_[k - 1].score < entries_[k].score; --k)
    std::swap(entries_[k - 1], entries_[k]);
  if (entries_.size() > kCapacity) entries_.resize(kCapacity);
}

void ElitePool::append(const SelectionMask& mask, double score) {
  if (entries_.size() < kCapacity) entries_.push_back({mask, score});
}

const EliteEntry* ElitePool::guide_for(const SelectionMask& current) const {
  const EliteEntry* guide = nullptr;
  std::size_t guide_distance = 0;
  for (const EliteEntry& e : entries_) {
    if (e.mask == current) continue;
    const std::size_t d = hamming_distance(e.mask, current);
    // The last of equally distant entries wins.
    if (guide == nullptr || d >= guide_distance) {
      guide = &e;
      guide_distance = d;
    }
  }
  return guide;
}

std::optional<SelectionMask> path_relink(const SearchContext& ctx, const SelectionMask& current,
                                         const ElitePool& pool, std::uint64_t stagnation,
                                         std::uint64_t destroy_threshold,
                                         const std::vector<std::uint64_t>& frequency) {
  const EliteEntry* guide = pool.guide_for(current);
  if (guide == nullptr) return std::nullopt;
  if (ctx.settings.config.enable_destroy_repair && stagnation >= destroy_threshold)
    return destroy_and_repair(ctx, current, frequency);

  check_length(current.size(), ctx.n, "current mask");
  check_length(guide->mask.size(), ctx.n, "guide mask");
  const PreparedConstraints& pc = ctx.constraints;
  const ProblemInstance& inst = ctx.instance;

  SelectionMask work = current;
  std::vector<std::size_t> to_add;
  std::vector<std::size_t> to_remove;
  for (std::size_t i = 0; i < ctx.n; ++i) {
    if (guide->mask[i] != 0 && work[i] == 0) to_add.push_back(i);
    if (work[i] != 0 && guide->mask[i] == 0) to_remove.push_back(i);
  }
  stable_sort_by_key_ascending(to_remove, ctx.unary);

  SelectionState state = SelectionState::from_mask(work, inst, pc);
  for (std::size_t x : to_add) {
    if (can_add(pc, x, state, inst)) {
      work[x] = 1;
      state.add(x, inst, pc);
      continue;
    }
    // The guide chunk does not fit as it is: trade it for the weakest
    // outgoing chunk that makes the exchange feasible.
    for (auto y = to_remove.begin(); y != to_remove.end(); ++y) {
      if (!can_swap(pc, x, *y, state, inst)) continue;
      work[*y] = 0;
      state.remove(*y, inst, pc);
      work[x] = 1;
      state.add(x, inst, pc);
      to_remove.erase(y);
      break;
    }
  }
  return repair_and_complete(ctx, work);
}

}  // namespace quarnel
