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

namespace quarnel {

class RemovalScorer {
 public:
  static constexpr std::size_t kMaxLanes = 64;

  RemovalScorer(const ProblemView& view, std::span<const std::size_t> selected);

  std::size_t size() const { return m_; }

  // Removals scored in one pass over the pairs: 32 on SSE2, 64 on AVX2.
  std::size_t lanes() const;

  // Scores of the selection without the chunk at each of `positions`
  // (positions in the selection, distinct, at most lanes() of them).
  void score_without(std::span<const std::size_t> positions, float* out) const;

  // The query-token fulfilment without the chunk at `position`, in f32.
  float fulfilment_without(std::size_t position) const;

 private:
  // The five largest coverage values of a row (with the zeros every row
  // starts from) and its quorum count: what any one removal leaves is then
  // known without a rescan, since the four best values of a set do not depend
  // on the order in which they were inserted.
  struct RowTop {
    float v[5] = {0, 0, 0, 0, 0};
    std::uint64_t quorum = 0;
    float weight = 1.0f;
    void insert(float c);
  };

  void redundancy_without(std::span<const std::size_t> positions, float* sums) const;

  const ObjectiveWeights& weights_;
  SupportParams params_;
  std::size_t m_;
  bool avx2_;
  mutable std::vector<std::uint8_t> batch_row_;  // all 0 between calls
  std::array<std::vector<float>, 5> scores_;  // relevance, density, centrality, recency, auxiliary
  std::vector<float> similarity_;             // m x m
  std::size_t rows_ = 0;
  std::vector<float> coverage_;  // rows x m
  std::vector<RowTop> rows_top_;
};

}  // namespace quarnel
