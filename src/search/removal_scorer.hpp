#pragma once
// The exact f32 objective of a selection with one chunk left out, for a batch
// of chunks at once: equal bit for bit to selection_score on each reduced mask.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/objective.hpp"
#include "core/problem_view.hpp"
#include "search/removal_fulfilment.hpp"

namespace quarnel {

class RemovalScorer {
 public:
  static constexpr std::size_t kMaxLanes = 64;

  // `fulfilment` describes the same selection and outlives the scorer.
  RemovalScorer(const ProblemView& view, std::span<const std::size_t> selected, const RemovalFulfilment& fulfilment);

  std::size_t size() const { return m_; }

  // Removals scored in one pass over the pairs: 32 on SSE2, 64 on AVX2.
  std::size_t lanes() const;

  // Scores of the selection without the chunk at each of `positions`
  // (positions in the selection, distinct, at most lanes() of them).
  void score_without(std::span<const std::size_t> positions, float* out) const;

 private:
  void redundancy_without(std::span<const std::size_t> positions, float* sums) const;

  const ObjectiveWeights& weights_;
  const RemovalFulfilment& fulfilment_;
  std::size_t m_;
  bool avx2_;
  mutable std::vector<std::uint8_t> batch_row_;  // all 0 between calls
  std::array<std::vector<float>, 5> scores_;  // relevance, density, centrality, recency, auxiliary
  std::vector<float> similarity_;             // m x m
};

}  // namespace quarnel
