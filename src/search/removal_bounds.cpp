#include "search/removal_bounds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/panic.hpp"

namespace quarnel {
namespace {

constexpr double kUnitRoundoff = 1.0 / 16777216.0;  // 2^-24, f32
constexpr double kUnitRoundoff64 = 1.0 / 4503599627370496.0;  // 2^-52, twice f64's
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// gamma(k) = k u / (1 - k u): the relative error bound of k f32 roundings,
// valid while k u < 1; callers keep k u below 1/2.
double gamma(double k) { return k * kUnitRoundoff / (1.0 - k * kUnitRoundoff); }

// The weights of the five score sequences, in their order.
std::array<double, 5> sequence_weights(const ObjectiveWeights& w) {
  return {w[weight::kAlpha], w[weight::kBeta], w[weight::kGamma], w[weight::kDelta], w[weight::kEpsilon]};
}

}  // namespace

RemovalBounds::RemovalBounds(const ProblemView& view, std::span<const std::size_t> selected)
    : view_(view), selected_(selected.begin(), selected.end()) {
  const std::size_t m = selected_.size();
  const std::size_t n = view.n;
  const std::span<const float> sequences[5] = {view.relevance, view.density, view.centrality, view.recency,
                                               view.auxiliary};
  check_length(view.similarity.size(), n * n, "similarity matrix");
  for (std::size_t i : selected_) check_index(i, n, "selected index");
  for (const auto& sequence : sequences) check_length(sequence.size(), n, "score sequence");
  const ObjectiveWeights& w = *view.weights;
  const std::array<double, 5> weights = sequence_weights(w);
  double scale = 0.0;
  for (std::size_t s = 0; s < 5; ++s) {
    for (std::size_t i : selected_) {
      const double x = sequences[s][i];
      values_[s].push_back(x);
      totals_[s] += x;
      magnitudes_[s] += std::fabs(x);
    }
    scale += std::fabs(weights[s]) * magnitudes_[s];
  }
  row_.assign(m, 0.0), column_.assign(m, 0.0), row_abs_.assign(m, 0.0), column_abs_.assign(m, 0.0);
  for (std::size_t a = 0; a < m; ++a) {
    const float* row = view.similarity.data() + selected_[a] * n;
    for (std::size_t b = 0; b < m; ++b) {
      if (b == a) continue;
      const double x = row[selected_[b]];
      row_[a] += x, row_abs_[a] += std::fabs(x);
      column_[b] += x, column_abs_[b] += std::fabs(x);
    }
    redundancy_ += row_[a], redundancy_abs_ += row_abs_[a];
  }
  scale += std::fabs(static_cast<double>(w[weight::kLambda])) * redundancy_abs_;
  for (double x : weights) finite_ = finite_ && std::isfinite(x);
  for (std::size_t k : {weight::kMu, weight::kLambda}) finite_ = finite_ && std::isfinite(w[k]);
  finite_ = finite_ && std::isfinite(scale);
  // Every f64 sum above and every later update rounds at most once per term,
  // each time by at most 2^-53 of a magnitude the initial sums bound.
  drift_ = static_cast<double>(8 * m + 64) * kUnitRoundoff64 * scale;
}

void RemovalBounds::remove(std::size_t position) {
  const std::size_t n = view_.n;
  const std::size_t q = selected_[position];
  for (std::size_t s = 0; s < 5; ++s) {
    totals_[s] -= values_[s][position];
    magnitudes_[s] -= std::fabs(values_[s][position]);
    values_[s].erase(values_[s].begin() + static_cast<std::ptrdiff_t>(position));
  }
  redundancy_ -= row_[position] + column_[position];
  redundancy_abs_ -= row_abs_[position] + column_abs_[position];
  const float* q_row = view_.similarity.data() + q * n;
  for (std::size_t a = 0; a < selected_.size(); ++a) {
    if (a == position) continue;
    const double to_q = view_.similarity[selected_[a] * n + q], from_q = q_row[selected_[a]];
    row_[a] -= to_q, row_abs_[a] -= std::fabs(to_q);
    column_[a] -= from_q, column_abs_[a] -= std::fabs(from_q);
  }
  for (auto* v : {&row_, &column_, &row_abs_, &column_abs_}) v->erase(v->begin() + static_cast<std::ptrdiff_t>(position));
  selected_.erase(selected_.begin() + static_cast<std::ptrdiff_t>(position));
}

double RemovalBounds::width(double terms, double pairs, double fulfilment) const {
  if (!finite_ || pairs * kUnitRoundoff >= 0.5) return kInfinity;
  const ObjectiveWeights& w = *view_.weights;
  const std::array<double, 5> weights = sequence_weights(w);
  const double mu = w[weight::kMu], lambda = w[weight::kLambda];
  // Sums of absolute values over the whole selection bound those of every
  // reduced one; the f64 magnitudes are raised by their own drift.
  const double slack = 1.0 + 1e-9;
  double sequence_error = 0.0, sequence_size = 0.0;
  for (std::size_t s = 0; s < 5; ++s) {
    const double size = std::fabs(weights[s]) * magnitudes_[s] * slack;
    sequence_error += gamma(terms) * size;
    sequence_size += size * (1.0 + gamma(terms));
  }
  const double redundancy_size = 0.5 * std::fabs(lambda) * redundancy_abs_ * slack;
  const double redundancy_error = gamma(pairs) * redundancy_size;
  // The f32 score adds seven rounded products in order. f32 sums round
  // exactly into the subnormal range; a product, or halving the redundancy
  // sum, may lose up to 2^-150 there, which the product's weight scales.
  double weight_sum = std::fabs(mu) + 2.0 * std::fabs(lambda);
  for (double x : weights) weight_sum += std::fabs(x);
  const double underflow = (weight_sum + 8.0) * 0x1p-149;
  const double size = sequence_size + std::fabs(mu) * fulfilment + redundancy_size * (1.0 + gamma(pairs));
  if (!(size < 1e37)) return kInfinity;  // f32 could overflow: no bound
  const double error = sequence_error + redundancy_error + 2.0 * gamma(10) * size + drift_ +
                       64.0 * kUnitRoundoff64 * size + underflow;
  return 2.0 * error;
}

double RemovalBounds::estimates(const RemovalFulfilment& fulfilment, std::vector<double>& out) const {
  const std::size_t m = selected_.size();
  const ObjectiveWeights& w = *view_.weights;
  const std::array<double, 5> weights = sequence_weights(w);
  const double mu = w[weight::kMu], lambda = w[weight::kLambda];
  out.resize(m);
  double largest_fulfilment = 0.0;
  for (std::size_t p = 0; p < m; ++p) {
    const double f = fulfilment.without(p);
    largest_fulfilment = std::max(largest_fulfilment, std::fabs(f));
    double estimate = 0.0;
    for (std::size_t s = 0; s < 5; ++s) estimate += weights[s] * (totals_[s] - values_[s][p]);
    estimate += mu * f;
    estimate -= 0.5 * lambda * (redundancy_ - row_[p] - column_[p]);
    out[p] = estimate;
  }
  const double terms = m > 0 ? static_cast<double>(m - 1) : 0.0;
  return width(terms, terms * (terms > 0 ? terms - 1 : 0.0), largest_fulfilment);
}

std::pair<double, double> RemovalBounds::whole(const RemovalFulfilment& fulfilment) const {
  const ObjectiveWeights& w = *view_.weights;
  const std::array<double, 5> weights = sequence_weights(w);
  const double f = fulfilment.whole();
  double estimate = 0.0;
  for (std::size_t s = 0; s < 5; ++s) estimate += weights[s] * totals_[s];
  estimate += w[weight::kMu] * f;
  estimate -= 0.5 * static_cast<double>(w[weight::kLambda]) * redundancy_;
  const double terms = static_cast<double>(selected_.size());
  return {estimate, width(terms, terms * (terms > 0 ? terms - 1 : 0.0), std::fabs(f))};
}

}  // namespace quarnel
