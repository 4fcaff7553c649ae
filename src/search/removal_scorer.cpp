#include "search/removal_scorer.hpp"

#include <algorithm>
#include <utility>

#include "backend/simd.hpp"
#include "core/panic.hpp"
#include "search/removal_lanes.hpp"

namespace quarnel {

RemovalScorer::RemovalScorer(const ProblemView& view, std::span<const std::size_t> selected,
                             const RemovalFulfilment& fulfilment)
    : weights_(*view.weights),
      fulfilment_(fulfilment),
      m_(selected.size()),
      avx2_(active_simd_path() == SimdPath::Avx2),
      batch_row_(m_, 0) {
  const std::size_t n = view.n;
  for (std::size_t i : selected) check_index(i, n, "selected index");
  check_length(view.similarity.size(), n * n, "similarity matrix");
  const std::span<const float> sequences[5] = {view.relevance, view.density, view.centrality, view.recency,
                                               view.auxiliary};
  for (std::size_t s = 0; s < 5; ++s) {
    check_length(sequences[s].size(), n, "score sequence");
    for (std::size_t i : selected) scores_[s].push_back(sequences[s][i]);
  }
  similarity_.resize(m_ * m_);
  for (std::size_t a = 0; a < m_; ++a)
    for (std::size_t b = 0; b < m_; ++b) similarity_[a * m_ + b] = view.similarity[selected[a] * n + selected[b]];
}

void RemovalScorer::score_without(std::span<const std::size_t> positions, float* out) const {
  require(positions.size() <= lanes(), "removal batch larger than its lanes");
  float redundancy[kMaxLanes];
  redundancy_without(positions, redundancy);
  for (std::size_t l = 0; l < positions.size(); ++l) {
    const std::size_t p = positions[l];
    float sums[5];
    for (std::size_t s = 0; s < 5; ++s) {
      float sum = -0.0f;
      for (std::size_t a = 0; a < m_; ++a)
        if (a != p) sum += scores_[s][a];
      sums[s] = sum;
    }
    const ObjectiveWeights& w = weights_;
    float score = w[weight::kAlpha] * sums[0];
    score = score + w[weight::kBeta] * sums[1];
    score = score + w[weight::kGamma] * sums[2];
    score = score + w[weight::kDelta] * sums[3];
    score = score + w[weight::kEpsilon] * sums[4];
    score = score + w[weight::kMu] * fulfilment_.without(p);
    out[l] = score - w[weight::kLambda] * (0.5f * redundancy[l]);
  }
}

std::size_t RemovalScorer::lanes() const { return avx2_ ? kRemovalLanesAvx2 : kRemovalLanesSse2; }

void RemovalScorer::redundancy_without(std::span<const std::size_t> positions, float* sums) const {
  std::pair<std::size_t, std::size_t> skips[kMaxLanes];
  for (std::size_t k = 0; k < positions.size(); ++k) skips[k] = {positions[k], k};
  std::sort(skips, skips + positions.size());
  for (std::size_t p : positions) batch_row_[p] = 1;
  const RemovalLanes batch{similarity_.data(), m_, positions.data(), positions.size(), skips, batch_row_.data()};
  if (avx2_) avx2::removal_lane_sums(batch, sums);
  else removal_lane_sums_sse2(batch, sums);
  for (std::size_t p : positions) batch_row_[p] = 0;
}

}  // namespace quarnel
