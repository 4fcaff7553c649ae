#include "search/exact_window_scorer.hpp"

#include <algorithm>
#include <bit>

#include "core/panic.hpp"

namespace quarnel {

WindowScorer::WindowScorer(const SearchContext& ctx, std::span<const std::size_t> fixed,
                           std::span<const std::size_t> window)
    : weights_(&ctx.weights), params_(support_params(ctx.weights)), window_size_(window.size()) {
  require(window.size() < 64, "window too large for a subset code");
  const ProblemView& view = ctx.view;
  const std::size_t n = view.n;
  universe_.assign(fixed.begin(), fixed.end());
  universe_.insert(universe_.end(), window.begin(), window.end());
  std::sort(universe_.begin(), universe_.end());
  for (std::size_t i : universe_) check_index(i, n, "window universe");
  for (std::size_t entry : window)
    window_position_.push_back(
        static_cast<std::size_t>(std::lower_bound(universe_.begin(), universe_.end(), entry) - universe_.begin()));

  const std::span<const float> sequences[5] = {view.relevance, view.density, view.centrality, view.recency,
                                               view.auxiliary};
  for (std::size_t s = 0; s < 5; ++s) {
    check_length(sequences[s].size(), n, "score sequence");
    for (std::size_t i : universe_) scores_[s].push_back(sequences[s][i]);
  }

  const std::size_t m = universe_.size();
  check_length(view.similarity.size(), n * n, "similarity matrix");
  similarity_.resize(m * m);
  for (std::size_t a = 0; a < m; ++a)
    for (std::size_t b = 0; b < m; ++b) similarity_[a * m + b] = view.similarity[universe_[a] * n + universe_[b]];

  rows_ = view.has_coverage ? view.num_query_tokens : 0;
  if (rows_ == 0) return;
  check_length(view.coverage.size(), rows_ * n, "coverage matrix");
  const std::size_t w = window_size_;
  row_weight_.resize(rows_);
  window_coverage_.resize(rows_ * w);
  levels_.resize((w + 1) * rows_);
  for (std::size_t t = 0; t < rows_; ++t) {
    const float* row = view.coverage.data() + t * n;
    row_weight_[t] = view.query_token_weight(t);
    for (std::size_t j = 0; j < w; ++j) window_coverage_[t * w + j] = row[window[j]];
    RowState& base = levels_[w * rows_ + t];
    for (std::size_t i : fixed) {
      const float c = row[i];
      if (c >= params_.threshold) ++base.quorum;
      base.top.insert(c);
    }
  }
}

void WindowScorer::refresh_rows(std::uint64_t code) {
  const std::size_t w = window_size_;
  if (w == 0) return;
  std::size_t top_level = w - 1;
  if (cache_valid_) {
    if (code == cached_code_) return;
    top_level = static_cast<std::size_t>(63 - std::countl_zero(code ^ cached_code_));
  }
  for (std::size_t k = top_level + 1; k-- > 0;) {
    const RowState* above = &levels_[(k + 1) * rows_];
    RowState* level = &levels_[k * rows_];
    const bool on = ((code >> k) & 1u) != 0;
    for (std::size_t t = 0; t < rows_; ++t) {
      level[t] = above[t];
      if (!on) continue;
      const float c = window_coverage_[t * w + k];
      if (c >= params_.threshold) ++level[t].quorum;
      level[t].top.insert(c);
    }
  }
  cached_code_ = code;
  cache_valid_ = true;
}

float WindowScorer::fulfilment() const {
  float total = 0.0f;
  for (std::size_t t = 0; t < rows_; ++t) total += row_weight_[t] * support_f32(levels_[t].top, levels_[t].quorum, params_);
  return total;
}

float WindowScorer::redundancy(std::span<const std::size_t> selected) const {
  const std::size_t m = universe_.size();
  float sum = 0.0f;
  for (std::size_t a : selected) {
    const float* row = similarity_.data() + a * m;
    for (std::size_t b : selected)
      if (b != a) sum += row[b];
  }
  return 0.5f * sum;
}

float WindowScorer::score(std::uint64_t code, std::span<const std::size_t> selected) {
  for (std::size_t a : selected) check_index(a, universe_.size(), "universe position");
  float sums[5];
  for (std::size_t s = 0; s < 5; ++s) {
    float sum = -0.0f;
    for (std::size_t a : selected) sum += scores_[s][a];
    sums[s] = sum;
  }
  float fulfilment_total = 0.0f;
  if (rows_ != 0) {
    refresh_rows(code);
    fulfilment_total = fulfilment();
  }
  const float redundancy_total = redundancy(selected);

  const ObjectiveWeights& w = *weights_;
  float score = w[weight::kAlpha] * sums[0];
  score = score + w[weight::kBeta] * sums[1];
  score = score + w[weight::kGamma] * sums[2];
  score = score + w[weight::kDelta] * sums[3];
  score = score + w[weight::kEpsilon] * sums[4];
  score = score + w[weight::kMu] * fulfilment_total;
  return score - w[weight::kLambda] * redundancy_total;
}

}  // namespace quarnel
