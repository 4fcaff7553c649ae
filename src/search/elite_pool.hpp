#pragma once
// The best distinct feasible solutions found so far, and path relinking
// toward the most distant of them.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/problem.hpp"
#include "search/context.hpp"

namespace quarnel {

struct EliteEntry {
  SelectionMask mask;
  double score = 0.0;
};

class ElitePool {
 public:
  static constexpr std::size_t kCapacity = 4;

  // Inserts unless an identical mask is present; keeps descending score order
  // (equal scores stay behind older entries) and at most four entries.
  void insert(const SelectionMask& mask, double score);
  // Appends without the duplicate test or reordering (the driver's initial
  // seeding, already in score order); ignored once the pool is full.
  void append(const SelectionMask& mask, double score);

  const std::vector<EliteEntry>& entries() const { return entries_; }

  // The entry that differs from `current` in the most positions (the last of
  // equally distant ones), or none when every entry equals `current`.
  const EliteEntry* guide_for(const SelectionMask& current) const;

 private:
  std::vector<EliteEntry> entries_;
};

// Walks from `current` toward the guide, then repairs; switches to destroy and
// repair once the stagnation reaches the destroy threshold (when enabled).
// Returns none when the pool has no guide.
std::optional<SelectionMask> path_relink(const SearchContext& ctx, const SelectionMask& current,
                                         const ElitePool& pool, std::uint64_t stagnation,
                                         std::uint64_t destroy_threshold,
                                         const std::vector<std::uint64_t>& frequency);

}  // namespace quarnel
