#include "search/removal_scorer.hpp"

#include <algorithm>
#include <utility>

#include <emmintrin.h>

#include "core/panic.hpp"

namespace quarnel {
namespace {

constexpr std::size_t kGroups = RemovalScorer::kLanes / 4;

// Lane sums of one batch. Each lane sums the pairs of its reduced selection
// in the full score's order. A skipped pair adds +0.0 to its lane, which
// leaves an f32 sum started at +0.0 unchanged bit for bit (such a sum is
// never -0.0), so that the lanes can share one pass over the pairs.
struct LaneSums {
  __m128 acc[kGroups];

  LaneSums() {
    for (__m128& a : acc) a = _mm_setzero_ps();
  }
  void add_all(__m128 term) {
    for (__m128& a : acc) a = _mm_add_ps(a, term);
  }
  // Adds the pairs (a, b) of one row for b in [first, last), none of which
  // is a column some lane skips; b == a is no pair.
  void add_row_range(const float* row, std::size_t first, std::size_t last, std::size_t a) {
    if (a >= first && a < last) {
      add_row_range(row, first, a, a);
      first = a + 1;
    }
    for (std::size_t b = first; b < last; ++b) add_all(_mm_set1_ps(row[b]));
  }
};

}  // namespace

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
    : weights_(*view.weights), params_(support_params(*view.weights)), m_(selected.size()) {
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
  require(positions.size() <= kLanes, "removal batch larger than its lanes");
  float redundancy[kLanes];
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

// Most pairs are added to every lane unmasked. Only the columns of the batch
// (one skipped lane each) and the rows of the batch (one lane silent for the
// whole row) need a mask.
void RemovalScorer::redundancy_without(std::span<const std::size_t> positions, float* sums) const {
  const std::size_t count = positions.size();
  alignas(16) std::int32_t lane_position[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k)
    lane_position[k] = static_cast<std::int32_t>(k < count ? positions[k] : m_);
  __m128i removed[kGroups];
  for (std::size_t g = 0; g < kGroups; ++g)
    removed[g] = _mm_load_si128(reinterpret_cast<const __m128i*>(lane_position + 4 * g));
  const __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));

  // The batch's columns in ascending order, each with its lane.
  std::pair<std::size_t, std::size_t> skips[kLanes];
  for (std::size_t k = 0; k < count; ++k) skips[k] = {positions[k], k};
  std::sort(skips, skips + count);
  std::vector<std::uint8_t> batch_row(m_, 0);
  for (std::size_t k = 0; k < count; ++k) batch_row[positions[k]] = 1;

  LaneSums lanes;
  for (std::size_t a = 0; a < m_; ++a) {
    const float* row = similarity_.data() + a * m_;
    if (batch_row[a]) {
      const __m128i row_index = _mm_set1_epi32(static_cast<std::int32_t>(a));
      __m128 row_on[kGroups];
      for (std::size_t g = 0; g < kGroups; ++g)
        row_on[g] = _mm_andnot_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(removed[g], row_index)), all);
      for (std::size_t b = 0; b < m_; ++b) {
        if (b == a) continue;
        const __m128 term = _mm_set1_ps(row[b]);
        const __m128i column = _mm_set1_epi32(static_cast<std::int32_t>(b));
        for (std::size_t g = 0; g < kGroups; ++g) {
          const __m128 on = _mm_andnot_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(removed[g], column)), row_on[g]);
          lanes.acc[g] = _mm_add_ps(lanes.acc[g], _mm_and_ps(term, on));
        }
      }
      continue;
    }
    std::size_t b = 0;
    for (std::size_t s = 0; s < count; ++s) {
      const auto [column, lane] = skips[s];
      lanes.add_row_range(row, b, column, a);
      // Column `column` is not row a's own: a is no batch position here.
      const __m128 term = _mm_set1_ps(row[column]);
      const __m128i lane_bit = _mm_cmpeq_epi32(_mm_set_epi32(3, 2, 1, 0), _mm_set1_epi32(static_cast<int>(lane % 4)));
      for (std::size_t g = 0; g < kGroups; ++g) {
        const __m128 added = g == lane / 4 ? _mm_andnot_ps(_mm_castsi128_ps(lane_bit), term) : term;
        lanes.acc[g] = _mm_add_ps(lanes.acc[g], added);
      }
      b = column + 1;
    }
    lanes.add_row_range(row, b, m_, a);
  }
  alignas(16) float lane_sums[kLanes];
  for (std::size_t g = 0; g < kGroups; ++g) _mm_store_ps(lane_sums + 4 * g, lanes.acc[g]);
  std::copy(lane_sums, lane_sums + count, sums);
}

}  // namespace quarnel
