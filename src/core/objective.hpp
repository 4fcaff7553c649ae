#pragma once
// The objective of a selection: weighted score sums plus query-token
// fulfilment minus redundancy. The single-precision per-selection score is what
// the search compares; the full evaluation adds the f64 breakdown.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/config.hpp"
#include "core/problem.hpp"
#include "core/problem_view.hpp"

namespace quarnel {

class SimilarityBackend;

struct ObjectiveBreakdown {
  double objective_score = 0.0;
  double relevance_total = 0.0;
  double density_total = 0.0;
  double centrality_total = 0.0;
  double recency_total = 0.0;
  double auxiliary_total = 0.0;
  double fulfilment_total = 0.0;
  double redundancy_penalty = 0.0;
};

// Support weights of one query-token row, taken from W[7..10].
struct SupportParams {
  float discount = 0.0f;
  float bonus = 0.0f;
  float threshold = 0.0f;
  std::uint64_t cap = 2;  // max(W[10], 2) converted with saturation
};
SupportParams support_params(const ObjectiveWeights& weights);

// The four largest coverage values of a row, all starting at 0. A value equal
// to the best becomes the new best; the lower slots take strictly greater values.
template <typename T>
struct TopFour {
  T v[4] = {0, 0, 0, 0};
  // Returns the slot the value entered (0..3), or 4 when it entered none.
  int insert(T c) {
    if (c >= v[0]) {
      v[3] = v[2], v[2] = v[1], v[1] = v[0], v[0] = c;
      return 0;
    }
    if (c > v[1]) {
      v[3] = v[2], v[2] = v[1], v[1] = c;
      return 1;
    }
    if (c > v[2]) {
      v[3] = v[2], v[2] = c;
      return 2;
    }
    if (c > v[3]) {
      v[3] = c;
      return 3;
    }
    return 4;
  }
};

// support = clamp01(b1) + d*clamp01(b2) [+ b*clamp01(b3) if q>=3, cap>=3]
//           [+ 0.5*b*clamp01(b4) if q>=4, cap>=4], in f32 or f64 arithmetic.
// Inline: the search evaluates it for many rows of every move.
template <typename T>
T clamp_unit(T x) {
  return std::min(std::max(x, T(0)), T(1));
}
inline float support_f32(const TopFour<float>& top, std::uint64_t quorum, const SupportParams& params) {
  const float third = (quorum >= 3 && params.cap >= 3) ? params.bonus * clamp_unit(top.v[2]) : 0.0f;
  const float fourth = (quorum >= 4 && params.cap >= 4) ? (0.5f * params.bonus) * clamp_unit(top.v[3]) : 0.0f;
  return ((clamp_unit(top.v[0]) + params.discount * clamp_unit(top.v[1])) + third) + fourth;
}
inline double support_f64(const TopFour<double>& top, std::uint64_t quorum, const SupportParams& params) {
  const double discount = params.discount;
  const double bonus = params.bonus;
  const double third = (quorum >= 3 && params.cap >= 3) ? bonus * clamp_unit(top.v[2]) : 0.0;
  const double fourth = (quorum >= 4 && params.cap >= 4) ? (0.5 * bonus) * clamp_unit(top.v[3]) : 0.0;
  return ((clamp_unit(top.v[0]) + discount * clamp_unit(top.v[1])) + third) + fourth;
}

ProblemView make_problem_view(const ProblemInstance& instance, std::span<const float> similarity,
                              const ObjectiveWeights& weights);

// The per-selection f32 objective of one mask of view.n bytes (non-zero = selected).
float selection_score(const ProblemView& view, const std::uint8_t* mask);

// The same score when the caller already holds `selected`, the ascending
// indices whose mask byte is non-zero; skips the O(n) scan of the mask.
float selection_score_selected(const ProblemView& view, const std::uint8_t* mask,
                               std::span<const std::size_t> selected);

// Full evaluation through the backend's masked_sum and evaluate_masks.
ObjectiveBreakdown evaluate(const ProblemInstance& instance, const SelectionMask& mask,
                            const ObjectiveWeights& weights, std::span<const float> similarity,
                            const SimilarityBackend& backend);

// The same breakdown, bit for bit, as `evaluate` with the reference backend
// (whose masked sums and batch scores are the plain loops), reading only the
// `selected` indices: the ascending indices of the mask's non-zero bytes,
// all of which must be 1.
ObjectiveBreakdown evaluate_selected(const ProblemInstance& instance, const SelectionMask& mask,
                                     std::span<const std::size_t> selected, const ObjectiveWeights& weights,
                                     std::span<const float> similarity);

}  // namespace quarnel
