#pragma once
// Per-candidate gains and losses of the current selection, which rank the
// candidates to add and the selected chunks to keep: the fulfilment an add
// would gain, the fulfilment a removal would lose, and each candidate's
// similarity with the selection.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/objective.hpp"
#include "core/problem.hpp"

namespace quarnel {

struct DeltaCache {
  std::vector<double> add_gain;     // unselected candidates
  std::vector<double> remove_loss;  // selected candidates
  std::vector<double> redundancy;   // every candidate, f64 sum over selected j != i
};

// With `symmetric_similarity` (see is_bitwise_symmetric) the redundancy reads
// the rows of the selected candidates instead of their columns: the same
// values, summed in the same order, with contiguous reads.
DeltaCache delta_cache(const SelectionMask& mask, const ProblemInstance& instance, const ObjectiveWeights& weights,
                       std::span<const float> similarity, bool symmetric_similarity = false);

// The delta cache of a selection that changes a little at a time, as the
// search's does. A row's add gains depend only on its four best values and its
// quorum's class, which most moves leave as they are, so each row keeps the
// candidates it gives a gain and only rows whose list changed are rescanned;
// the gains are then summed row by row in ascending order, as delta_cache
// does, and have its bits.
class DeltaCacheTracker {
 public:
  DeltaCacheTracker(const ProblemInstance& instance, const ObjectiveWeights& weights,
                    std::span<const float> similarity, bool symmetric_similarity);

  // The cache of `mask` (bytes 0 or 1; `selected` its ascending selected indices).
  const DeltaCache& update(const SelectionMask& mask, std::span<const std::size_t> selected);

 private:
  struct Row {
    bool known = false;
    std::uint32_t top_bits[4] = {};
    std::uint64_t quorum_class = 0;  // the quorum count, up to 4
    std::vector<std::uint32_t> who;  // ascending: candidates whose gain in this row may be non-zero
    std::vector<double> gain;
  };

  const ProblemInstance& instance_;
  const ObjectiveWeights& weights_;
  std::span<const float> similarity_;
  bool symmetric_;
  std::vector<Row> rows_;
  DeltaCache cache_;
};

}  // namespace quarnel
