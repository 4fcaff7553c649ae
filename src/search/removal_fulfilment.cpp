#include "search/removal_fulfilment.hpp"

#include "core/panic.hpp"

namespace quarnel {

void RemovalFulfilment::RowTop::insert(float c) {
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

RemovalFulfilment::RemovalFulfilment(const ProblemView& view, std::span<const std::size_t> selected)
    : params_(support_params(*view.weights)), m_(selected.size()) {
  const std::size_t n = view.n;
  for (std::size_t i : selected) check_index(i, n, "selected index");
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

float RemovalFulfilment::without(std::size_t p) const {
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

float RemovalFulfilment::whole() const {
  float total = 0.0f;
  for (const RowTop& row : rows_top_) {
    TopFour<float> top;
    for (std::size_t k = 0; k < 4; ++k) top.v[k] = row.v[k];
    total += row.weight * support_f32(top, row.quorum, params_);
  }
  return total;
}

}  // namespace quarnel
