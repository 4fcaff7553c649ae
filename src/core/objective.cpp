#include "core/objective.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "backend/backend.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

template <typename T>
T clamp01(T x) {
  return std::min(std::max(x, T(0)), T(1));
}

// Sum in ascending index order from -0.0, over selected indices that the
// sequence holds; the same terms, in the same order, as the backend's masked sum.
float selected_sum(std::span<const float> values, std::span<const std::size_t> selected) {
  float sum = -0.0f;
  for (std::size_t i : selected) {
    if (i >= values.size()) break;
    sum += values[i];
  }
  return sum;
}

float fulfilment_f32(const ProblemView& view, std::span<const std::size_t> selected) {
  if (!view.has_coverage || view.num_query_tokens == 0) return 0.0f;
  const SupportParams params = support_params(*view.weights);
  const std::size_t n = view.n;
  float total = 0.0f;
  for (std::size_t t = 0; t < view.num_query_tokens; ++t) {
    const float* row = view.coverage.data() + t * n;
    TopFour<float> top;
    std::uint64_t quorum = 0;
    for (std::size_t k : selected) {
      const float c = row[k];
      if (c >= params.threshold) ++quorum;
      top.insert(c);
    }
    total += view.query_token_weight(t) * support_f32(top, quorum, params);
  }
  return total;
}

// R = 0.5 * sum of sim[i][j] for i with byte 1 and every other selected j.
float redundancy_f32(const ProblemView& view, const std::uint8_t* mask, std::span<const std::size_t> selected) {
  float sum = 0.0f;
  for (std::size_t i : selected) {
    if (mask[i] != 1) continue;
    const float* row = view.similarity.data() + i * view.n;
    for (std::size_t j : selected)
      if (j != i) sum += row[j];
  }
  return 0.5f * sum;
}

// Over the selected indices in ascending order: the same values, in the same
// order, as a scan of the whole mask.
double fulfilment_f64(const ProblemInstance& instance, std::span<const std::size_t> selected,
                      const SupportParams& params) {
  const std::size_t n = instance.num_candidates;
  const std::vector<float>& coverage = *instance.coverage_matrix;
  const double threshold = params.threshold;
  double total = 0.0;
  for (std::size_t t = 0; t < instance.num_query_tokens; ++t) {
    const float* row = coverage.data() + t * n;
    TopFour<double> top;
    std::uint64_t quorum = 0;
    for (std::size_t k : selected) {
      const double c = row[k];
      if (c >= threshold) ++quorum;
      top.insert(c);
    }
    total += static_cast<double>(instance.query_token_weight(t)) * support_f64(top, quorum, params);
  }
  return total;
}

// The breakdown from the five f32 sums, the f64 fulfilment and the f32 score.
ObjectiveBreakdown breakdown_of(const float (&sums)[5], double fulfilment, float score,
                                const ObjectiveWeights& weights) {
  ObjectiveBreakdown b;
  b.objective_score = score;
  b.relevance_total = static_cast<double>(sums[0]) * static_cast<double>(weights[weight::kAlpha]);
  b.density_total = static_cast<double>(sums[1]) * static_cast<double>(weights[weight::kBeta]);
  b.centrality_total = static_cast<double>(sums[2]) * static_cast<double>(weights[weight::kGamma]);
  b.recency_total = static_cast<double>(sums[3]) * static_cast<double>(weights[weight::kDelta]);
  b.auxiliary_total = static_cast<double>(sums[4]) * static_cast<double>(weights[weight::kEpsilon]);
  b.fulfilment_total = fulfilment * static_cast<double>(weights[weight::kFulfilment]);
  const double weighted = ((((b.relevance_total + b.density_total) + b.centrality_total) + b.recency_total) +
                           b.auxiliary_total) +
                          b.fulfilment_total;
  // The penalty is what the single-precision score lost to redundancy; a
  // rounding residue below zero (or a NaN difference) reports no penalty.
  const double lost = weighted - b.objective_score;
  b.redundancy_penalty = lost > 0.0 ? lost : 0.0;
  return b;
}

std::vector<std::size_t> nonzero_indices(const SelectionMask& mask, std::size_t n) {
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < n; ++i)
    if (mask[i] != 0) selected.push_back(i);
  return selected;
}

}  // namespace

SupportParams support_params(const ObjectiveWeights& weights) {
  SupportParams params;
  params.discount = weights[weight::kDiscount];
  params.bonus = weights[weight::kBonus];
  params.threshold = weights[weight::kThreshold];
  // A NaN cap fails the comparison and takes the lower limit 2, like any cap below 2.
  const float cap = weights[weight::kCap] > 2.0f ? weights[weight::kCap] : 2.0f;
  constexpr float kTwoTo64 = 18446744073709551616.0f;
  params.cap = cap >= kTwoTo64 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(cap);
  return params;
}

ProblemView make_problem_view(const ProblemInstance& instance, std::span<const float> similarity,
                              const ObjectiveWeights& weights) {
  ProblemView view;
  view.relevance = instance.relevance_scores;
  view.density = instance.density_scores;
  view.centrality = instance.centrality_scores;
  view.recency = instance.recency_scores;
  view.auxiliary = instance.auxiliary_scores;
  view.similarity = similarity;
  view.has_coverage = instance.coverage_matrix.has_value();
  if (view.has_coverage) view.coverage = *instance.coverage_matrix;
  view.has_query_token_weights = instance.query_token_weights.has_value();
  if (view.has_query_token_weights) view.query_token_weights = *instance.query_token_weights;
  view.n = instance.num_candidates;
  // Without a coverage matrix there are no rows to read.
  view.num_query_tokens = view.has_coverage ? instance.num_query_tokens : 0;
  view.weights = &weights;
  return view;
}

float selection_score_selected(const ProblemView& view, const std::uint8_t* mask,
                               std::span<const std::size_t> selected) {
  require(view.weights != nullptr, "problem view without weights");
  const std::size_t n = view.n;
  for (std::size_t i : selected) check_index(i, n, "selected index");
  if (!selected.empty()) require(mask != nullptr, "selection score without a mask");
  check_length(view.similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  if (view.has_coverage)
    check_length(view.coverage.size(), checked_size(view.num_query_tokens, n, "coverage matrix"),
                 "coverage matrix");

  const ObjectiveWeights& w = *view.weights;
  const float s_rel = selected_sum(view.relevance, selected);
  const float s_den = selected_sum(view.density, selected);
  const float s_cen = selected_sum(view.centrality, selected);
  const float s_rec = selected_sum(view.recency, selected);
  const float s_aux = selected_sum(view.auxiliary, selected);
  const float fulfilment = fulfilment_f32(view, selected);
  const float redundancy = redundancy_f32(view, mask, selected);

  float score = w[weight::kAlpha] * s_rel;
  score = score + w[weight::kBeta] * s_den;
  score = score + w[weight::kGamma] * s_cen;
  score = score + w[weight::kDelta] * s_rec;
  score = score + w[weight::kEpsilon] * s_aux;
  score = score + w[weight::kMu] * fulfilment;
  return score - w[weight::kLambda] * redundancy;
}

float selection_score(const ProblemView& view, const std::uint8_t* mask) {
  // Reused per thread: the search scores a selection after every move.
  thread_local std::vector<std::size_t> selected;
  selected.clear();
  if (view.n != 0) require(mask != nullptr, "selection score without a mask");
  for (std::size_t i = 0; i < view.n; ++i)
    if (mask[i] != 0) selected.push_back(i);
  return selection_score_selected(view, mask, selected);
}

ObjectiveBreakdown evaluate(const ProblemInstance& instance, const SelectionMask& mask,
                            const ObjectiveWeights& weights, std::span<const float> similarity,
                            const SimilarityBackend& backend) {
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");
  check_length(similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  const bool has_coverage = instance.coverage_matrix.has_value() && instance.num_query_tokens > 0;
  if (has_coverage)
    check_length(instance.coverage_matrix->size(), checked_size(instance.num_query_tokens, n, "coverage matrix"),
                 "coverage matrix");

  const std::span<const std::uint8_t> selection(mask.data(), n);
  const float sums[5] = {backend.masked_sum(instance.relevance_scores, selection),
                         backend.masked_sum(instance.density_scores, selection),
                         backend.masked_sum(instance.centrality_scores, selection),
                         backend.masked_sum(instance.recency_scores, selection),
                         backend.masked_sum(instance.auxiliary_scores, selection)};

  const float mu = weights[weight::kFulfilment];
  const double fulfilment = has_coverage && std::fabs(mu) > kWeightEpsilon
                                ? fulfilment_f64(instance, nonzero_indices(mask, n), support_params(weights))
                                : 0.0;

  const ProblemView view = make_problem_view(instance, similarity, weights);
  const std::vector<float> scores = backend.evaluate_masks(selection, 1, view);
  require(scores.size() == 1, "batch evaluation returned no score for the mask");
  return breakdown_of(sums, fulfilment, scores[0], weights);
}

ObjectiveBreakdown evaluate_selected(const ProblemInstance& instance, const SelectionMask& mask,
                                     std::span<const std::size_t> selected, const ObjectiveWeights& weights,
                                     std::span<const float> similarity) {
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");
  for (std::size_t i : selected) {
    check_index(i, n, "selected index");
    require(mask[i] == 1, "selected index without its mask byte");
  }
  check_length(similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  const bool has_coverage = instance.coverage_matrix.has_value() && instance.num_query_tokens > 0;
  if (has_coverage)
    check_length(instance.coverage_matrix->size(), checked_size(instance.num_query_tokens, n, "coverage matrix"),
                 "coverage matrix");
  const ProblemView view = make_problem_view(instance, similarity, weights);
  const float sums[5] = {selected_sum(view.relevance, selected), selected_sum(view.density, selected),
                         selected_sum(view.centrality, selected), selected_sum(view.recency, selected),
                         selected_sum(view.auxiliary, selected)};
  const double fulfilment = has_coverage && std::fabs(weights[weight::kFulfilment]) > kWeightEpsilon
                                ? fulfilment_f64(instance, selected, support_params(weights))
                                : 0.0;
  return breakdown_of(sums, fulfilment, selection_score_selected(view, mask.data(), selected), weights);
}

}  // namespace quarnel
