#include "search/removal_pass.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include <emmintrin.h>

#include "core/constraint_check.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

// The f32 objective of the selection with one of its m chunks left out, for
// every chunk, equal bit for bit to selection_score on each reduced mask.
// Everything the score reads is gathered into dense arrays over the selection:
// the reduced score sums the same values in the same ascending order.
class RemovalScorer {
 public:
  RemovalScorer(const ProblemView& view, std::span<const std::size_t> selected)
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

  std::size_t size() const { return m_; }

  // Scores of the selection without chunk p, for p in [first, first + count).
  void score_without(std::size_t first, std::size_t count, float* out) const {
    std::array<float, kLanes> redundancy{};
    redundancy_without(first, count, redundancy);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t p = first + l;
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

  static constexpr std::size_t kLanes = 16;

 private:
  // The five largest coverage values of a row (with the zeros every row
  // starts from) and its quorum count: what any one removal leaves is then
  // known without a rescan, since the four best values of a set do not depend
  // on the order in which they were inserted.
  struct RowTop {
    float v[5] = {0, 0, 0, 0, 0};
    std::uint64_t quorum = 0;
    float weight = 1.0f;
    void insert(float c) {
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
  };

  float fulfilment_without(std::size_t p) const {
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

  // Each lane sums the pairs of one reduced selection in the full score's
  // order. Pairs that involve the removed chunk add +0.0, which leaves an f32
  // sum started at +0.0 unchanged bit for bit, so that the lanes share one
  // pass over the pairs.
  void redundancy_without(std::size_t first, std::size_t count, std::array<float, kLanes>& sums) const {
    constexpr std::size_t kGroups = kLanes / 4;
    __m128i removed[kGroups];
    __m128 acc[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) {
      alignas(16) std::int32_t lane[4];
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t k = 4 * g + l;
        lane[l] = static_cast<std::int32_t>(k < count ? first + k : m_);
      }
      removed[g] = _mm_load_si128(reinterpret_cast<const __m128i*>(lane));
      acc[g] = _mm_setzero_ps();
    }
    const __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (std::size_t a = 0; a < m_; ++a) {
      const float* row = similarity_.data() + a * m_;
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
          acc[g] = _mm_add_ps(acc[g], _mm_and_ps(term, on));
        }
      }
    }
    for (std::size_t g = 0; g < kGroups; ++g) _mm_storeu_ps(sums.data() + 4 * g, acc[g]);
  }

  const ObjectiveWeights& weights_;
  SupportParams params_;
  std::size_t m_;
  std::array<std::vector<float>, 5> scores_;  // relevance, density, centrality, recency, auxiliary
  std::vector<float> similarity_;             // m x m
  std::size_t rows_ = 0;
  std::vector<float> coverage_;  // rows x m
  std::vector<RowTop> rows_top_;
};

}  // namespace

std::size_t run_removal_pass(const SearchContext& ctx, SelectionMask& mask, ObjectiveBreakdown& breakdown) {
  check_length(mask.size(), ctx.n, "final mask");
  require(ctx.view.weights != nullptr, "problem view without weights");
  const double margin = ctx.settings.margin();
  std::vector<std::size_t> selected = selected_indices(mask);
  std::vector<std::size_t> without;
  without.reserve(selected.size());
  std::vector<float> scores;
  double current = breakdown.objective_score;
  std::size_t removed = 0;

  while (!selected.empty()) {
    const RemovalScorer scorer(ctx.view, selected);
    const std::size_t m = scorer.size();
    scores.resize(m);
    for (std::size_t first = 0; first < m; first += RemovalScorer::kLanes)
      scorer.score_without(first, std::min(RemovalScorer::kLanes, m - first), scores.data() + first);

    double best_score = -std::numeric_limits<double>::infinity();
    std::size_t best_position = m;
    for (std::size_t p = 0; p < m; ++p) {
      // Strictly greater: ties keep the lowest index, and a NaN never wins.
      if (!(static_cast<double>(scores[p]) > best_score)) continue;
      without.assign(selected.begin(), selected.begin() + static_cast<std::ptrdiff_t>(p));
      without.insert(without.end(), selected.begin() + static_cast<std::ptrdiff_t>(p) + 1, selected.end());
      if (!constraints_satisfied(ctx.constraints, without, ctx.instance)) continue;
      best_score = scores[p];
      best_position = p;
    }
    if (best_position == m || !(best_score - current > margin)) break;

    mask[selected[best_position]] = 0;
    selected.erase(selected.begin() + static_cast<std::ptrdiff_t>(best_position));
    current = best_score;
    ++removed;
  }
  if (removed > 0) breakdown = ctx.evaluate(mask);
  return removed;
}

}  // namespace quarnel
