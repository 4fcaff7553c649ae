#include "search/removal_scorer.hpp"

#include <algorithm>
#include <utility>

#include "backend/simd.hpp"
#include "core/panic.hpp"
#include "search/removal_lanes.hpp"

namespace quarnel {

void RemovalScorer::RowTop::insert(float c) {
  int k = 5;
  if (c >= v[0]) k = 0;
  else if (c > v[1]) k = 1;
  else if (c > v[2]) k = 2;
  else if (c > v[3]) k = 3;
  else if (c > v[4]) k = 4;
  if (k == 5) return;
  for (int j = 4; j > k; --j) v[j] = v[j - 1];
  v[k] = c;
}

RemovalScorer::RemovalScorer(const ProblemView& view, std::span<const std::size_t> selected)
    : weights_(*view.weights),
      params_(support_params(*view.weights)),
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

  rows_ = view.has_coverage ? view.num_query_tokens : 0;
  if (rows_ == 0) return;
  check_length(view.coverage.size(), rows_ * n, "coverage matrix");
  coverage_.resize(rows_ * m_);
  rows_top_.resize(rows_);
  for (std::size_t t = 0; t < rows_; ++t) {
    const float* row = view.coverage.data() + t * n;
    RowTop& top = rows_top_[t];
    top.weight = view.query_token_weight(t);
    for (std::size_t a = 0; a < m_; ++a) {
      const float c = row[selected[a]];
      coverage_[t * m_ + a] = c;
      if (c >= params_.threshold) ++top.quorum;
      top.insert(c);
    }
  }
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
    score = score + w[weight::kMu] * fulfilment_without(p);
    out[l] = score - w[weight::kLambda] * (0.5f * redundancy[l]);
  }
}

float RemovalScorer::fulfilment_without(std::size_t p) const {
  float total = 0.0f;
  for (std::size_t t = 0; t < rows_; ++t) {
    const RowTop& row = rows_top_[t];
    const float c = coverage_[t * m_ + p];
    TopFour<float> top;
    // A value among the five best leaves its place to the ones below it;
    // any other value leaves the four best as they are.
    std::size_t skip = 5;
    if (c >= row.v[4])
      for (std::size_t k = 0; k < 5 && skip == 5; ++k)
        if (row.v[k] == c) skip = k;
    for (std::size_t k = 0, j = 0; j < 4; ++k)
      if (k != skip) top.v[j++] = row.v[k];
    const std::uint64_t quorum = row.quorum - (c >= params_.threshold ? 1 : 0);
    total += row.weight * support_f32(top, quorum, params_);
  }
  return total;
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
