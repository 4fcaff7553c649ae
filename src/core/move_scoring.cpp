#include "core/move_scoring.hpp"

#include <bit>
#include <algorithm>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "core/coverage_rows.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

using namespace rows;

// The coverage matrix when fulfilment takes part in the objective, else null.
const std::vector<float>* active_coverage(const ProblemInstance& instance, float mu) {
  if (!instance.coverage_matrix || instance.num_query_tokens == 0 || !(std::fabs(mu) > kWeightEpsilon))
    return nullptr;
  const std::size_t needed = checked_size(instance.num_query_tokens, instance.num_candidates, "coverage matrix");
  check_length(instance.coverage_matrix->size(), needed, "coverage matrix");
  return &*instance.coverage_matrix;
}

double cached_change(const SupportParams& params, const ProblemInstance& instance, const CoverageTopK& cache,
                     std::size_t in, std::size_t out) {
  const std::size_t n = instance.num_candidates;
  require(instance.coverage_matrix.has_value(), "coverage cache without a coverage matrix");
  const std::vector<float>& coverage = *instance.coverage_matrix;
  check_length(coverage.size(), checked_size(cache.rows, n, "coverage matrix"), "coverage matrix");
  require(cache.top.size() == cache.rows && cache.quorum.size() == cache.rows && cache.support.size() == cache.rows &&
              cache.holders.size() == 3 * cache.rows,
          "coverage cache is inconsistent");
  const bool removes = out < n;
  const bool adds = in < n;
  double change = 0.0;
  for (std::size_t t = 0; t < cache.rows; ++t) {
    const float* row = coverage.data() + t * n;
    TopFour<float> list = cache.top[t];
    std::uint64_t quorum = cache.quorum[t];
    if (removes) {
      const int slot = held_slot(&cache.holders[3 * t], out);
      if (slot >= 0) list = without_slot(list, slot);
      if (row[out] >= params.threshold && quorum > 0) --quorum;
    }
    if (adds) {
      const float c = row[in];
      list.insert(c);
      if (c >= params.threshold) ++quorum;
    }
    change += static_cast<double>(instance.query_token_weight(t)) * (support_of(list, quorum, params) - cache.support[t]);
  }
  return change;
}

}  // namespace

std::vector<float> redundancy_row_sums(const SelectionMask& mask, std::span<const float> similarity, std::size_t n,
                                       bool symmetric) {
  check_length(similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  const std::vector<std::size_t> selected = selection_of(mask, n, false);
  std::vector<float> sums(n, 0.0f);
  if (symmetric) {
    float* out = sums.data();
    for (std::size_t j : selected) {
      const float* row = similarity.data() + j * n;
      for (std::size_t i = 0; i < j; ++i) out[i] += row[i];
      for (std::size_t i = j + 1; i < n; ++i) out[i] += row[i];
    }
    return sums;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float* row = similarity.data() + i * n;
    float sum = 0.0f;
    for (std::size_t j : selected)
      if (j != i) sum += row[j];
    sums[i] = sum;
  }
  return sums;
}

void update_row_sums(std::vector<float>& row_sums, std::span<const float> similarity, std::size_t n,
                     std::size_t in, std::size_t out) {
  check_length(similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  check_length(row_sums.size(), n, "redundancy row sums");
  if (out < n) {
    const float* row = similarity.data() + out * n;
    for (std::size_t j = 0; j < n; ++j)
      if (j != out) row_sums[j] -= row[j];
  }
  if (in < n) {
    const float* row = similarity.data() + in * n;
    for (std::size_t j = 0; j < n; ++j)
      if (j != in) row_sums[j] += row[j];
  }
}

std::optional<CoverageTopK> coverage_top_k(const SelectionMask& mask, const ProblemInstance& instance,
                                           float threshold, float mu, const SupportParams& params) {
  const std::vector<float>* coverage = active_coverage(instance, mu);
  if (coverage == nullptr) return std::nullopt;
  const std::size_t n = instance.num_candidates;
  require(n < kNoHolder, "too many candidates for the coverage cache");
  const std::vector<std::size_t> selected = selection_of(mask, n, false);

  CoverageTopK cache;
  cache.rows = instance.num_query_tokens;
  cache.top.resize(cache.rows);
  cache.holders.resize(3 * cache.rows);
  cache.quorum.resize(cache.rows);
  cache.support.resize(cache.rows);
  for (std::size_t t = 0; t < cache.rows; ++t) {
    const HeldTop h = held_top(coverage->data() + t * n, selected, threshold);
    cache.top[t] = h.top;
    for (int s = 0; s < 3; ++s) cache.holders[3 * t + s] = h.holder[s];
    cache.quorum[t] = static_cast<std::uint8_t>(h.quorum > 255 ? 255 : h.quorum);
    cache.support[t] = support_of(h.top, cache.quorum[t], params);
  }
  return cache;
}

std::optional<CoverageTopK> coverage_top_k(const SelectionMask& mask, const ProblemInstance& instance,
                                           const ObjectiveWeights& weights) {
  const SupportParams params = support_params(weights);
  return coverage_top_k(mask, instance, params.threshold, weights[weight::kFulfilment], params);
}

bool is_bitwise_symmetric(std::span<const float> similarity, std::size_t n) {
  check_length(similarity.size(), checked_size(n, n, "similarity matrix"), "similarity matrix");
  const float* sim = similarity.data();
  auto same = [&](std::size_t i, std::size_t j) {
    return std::bit_cast<std::uint32_t>(sim[i * n + j]) == std::bit_cast<std::uint32_t>(sim[j * n + i]);
  };
  // Blocks of 4 x 4 above the diagonal against their transposed mirror blocks,
  // compared as integers (bits, not values: -0.0 and NaN payloads count).
  const std::size_t whole = n - n % 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    for (std::size_t j = i + 4; j < whole; j += 4) {
      __m128 r0 = _mm_loadu_ps(sim + i * n + j), r1 = _mm_loadu_ps(sim + (i + 1) * n + j);
      __m128 r2 = _mm_loadu_ps(sim + (i + 2) * n + j), r3 = _mm_loadu_ps(sim + (i + 3) * n + j);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      const __m128i e0 = _mm_cmpeq_epi32(_mm_castps_si128(r0), _mm_loadu_si128(reinterpret_cast<const __m128i*>(sim + j * n + i)));
      const __m128i e1 = _mm_cmpeq_epi32(_mm_castps_si128(r1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(sim + (j + 1) * n + i)));
      const __m128i e2 = _mm_cmpeq_epi32(_mm_castps_si128(r2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(sim + (j + 2) * n + i)));
      const __m128i e3 = _mm_cmpeq_epi32(_mm_castps_si128(r3), _mm_loadu_si128(reinterpret_cast<const __m128i*>(sim + (j + 3) * n + i)));
      if (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3))) != 0xFFFF) return false;
    }
    for (std::size_t a = i; a < i + 4; ++a)  // the diagonal block
      for (std::size_t b = a + 1; b < i + 4; ++b)
        if (!same(a, b)) return false;
  }
  for (std::size_t j = whole; j < n; ++j)  // the last columns, against every row
    for (std::size_t i = 0; i < j; ++i)
      if (!same(i, j)) return false;
  return true;
}

double fulfilment_change_exact(const ObjectiveWeights& weights, const SelectionMask& mask,
                               const ProblemInstance& instance, std::size_t in, std::size_t out) {
  const std::vector<float>* coverage = active_coverage(instance, weights[weight::kFulfilment]);
  if (coverage == nullptr) return 0.0;
  const std::size_t n = instance.num_candidates;
  const SupportParams params = support_params(weights);
  const std::vector<std::size_t> selected = selection_of(mask, n, true);
  double change = 0.0;
  for (std::size_t t = 0; t < instance.num_query_tokens; ++t) {
    const float* row = coverage->data() + t * n;
    TopFour<float> before, after;
    std::uint64_t quorum_before = 0, quorum_after = 0;
    for (std::size_t k : selected) {
      const float c = row[k];
      const bool reaches = c >= params.threshold;
      before.insert(c);
      quorum_before += reaches;
      if (k == out) continue;
      after.insert(c);
      quorum_after += reaches;
    }
    if (in < n) {
      after.insert(row[in]);
      if (row[in] >= params.threshold) ++quorum_after;
    }
    change += static_cast<double>(instance.query_token_weight(t)) *
              (support_of(after, quorum_after, params) - support_of(before, quorum_before, params));
  }
  return change;
}

double fulfilment_change_cached(const ObjectiveWeights& weights, const ProblemInstance& instance,
                                const CoverageTopK& cache, std::size_t in, std::size_t out) {
  return cached_change(support_params(weights), instance, cache, in, out);
}

std::vector<float> coverage_by_candidate(const ProblemInstance& instance) {
  if (!instance.coverage_matrix) return {};
  const std::size_t n = instance.num_candidates, rows = instance.num_query_tokens;
  check_length(instance.coverage_matrix->size(), checked_size(rows, n, "coverage matrix"), "coverage matrix");
  std::vector<float> by_candidate(rows * n);
  for (std::size_t t = 0; t < rows; ++t)
    for (std::size_t i = 0; i < n; ++i) by_candidate[i * rows + t] = (*instance.coverage_matrix)[t * n + i];
  return by_candidate;
}

void FulfilmentMoves::prepare(const ObjectiveWeights& weights, const ProblemInstance& instance,
                              const CoverageTopK& cache, std::span<const float> by_candidate,
                              std::span<const std::size_t> outgoing) {
  n_ = instance.num_candidates;
  rows_ = cache.rows;
  require(instance.coverage_matrix.has_value(), "coverage cache without a coverage matrix");
  check_length(by_candidate.size(), checked_size(rows_, n_, "coverage matrix"), "coverage by candidate");
  require(cache.top.size() == rows_ && cache.quorum.size() == rows_ && cache.support.size() == rows_ &&
              cache.holders.size() == 3 * rows_,
          "coverage cache is inconsistent");
  cache_ = &cache;
  by_candidate_ = by_candidate;
  params_ = support_params(weights);
  row_weight_.resize(rows_);
  for (std::size_t t = 0; t < rows_; ++t) row_weight_[t] = instance.query_token_weight(t);

  // Block 0: no removal, the rows as the cache holds them.
  removal_.resize(rows_);
  for (std::size_t t = 0; t < rows_; ++t) {
    Row& row = removal_[t];
    row.list = cache.top[t];
    row.quorum = cache.quorum[t];
    row.term = row_weight_[t] * (support_of(row.list, row.quorum, params_) - cache.support[t]);
  }
  for (std::size_t i : blocked_) block_[i] = kUnprepared;
  blocked_.clear();
  block_.resize(n_, kUnprepared);
  differing_rows_.clear();
  altered_.clear();
  differing_begin_.assign(2, 0);
  extend(outgoing);
}

void FulfilmentMoves::extend(std::span<const std::size_t> outgoing) {
  require(cache_ != nullptr, "fulfilment moves extended before they were prepared");
  const CoverageTopK& cache = *cache_;
  for (std::size_t out : outgoing) {
    check_index(out, n_, "outgoing candidate");
    if (block_[out] != kUnprepared) continue;
    block_[out] = static_cast<std::uint32_t>(blocked_.size() + 1);
    blocked_.push_back(out);
    // Only rows whose list or quorum class the removal changes are kept: the
    // others are the pure add's (block 0).
    for (std::size_t t = 0; t < rows_; ++t) {
      Row row{cache.top[t], cache.quorum[t], 0.0};
      const int slot = held_slot(&cache.holders[3 * t], out);
      if (slot >= 0) row.list = without_slot(row.list, slot);
      if (by_candidate_[out * rows_ + t] >= params_.threshold && row.quorum > 0) --row.quorum;
      if (slot < 0 && std::min<std::uint64_t>(row.quorum, 4) == std::min<std::uint64_t>(cache.quorum[t], 4)) continue;
      row.term = row_weight_[t] * (support_of(row.list, row.quorum, params_) - cache.support[t]);
      differing_rows_.push_back(static_cast<std::uint32_t>(t));
      altered_.push_back(row);
    }
    differing_begin_.push_back(differing_rows_.size());
  }
}

double FulfilmentMoves::change(std::size_t in, std::size_t out) const {
  thread_local Incoming incoming;
  prepare_incoming(in, incoming);
  return change(incoming, out);
}

void FulfilmentMoves::prepare_incoming(std::size_t in, Incoming& incoming) const {
  check_index(in, n_, "incoming candidate");
  incoming.in = in;
  incoming.rows.clear();
  incoming.terms.clear();
  const float* coverage = by_candidate_.data() + in * rows_;
  for (std::size_t t = 0; t < rows_; ++t) {
    const double term = row_change(removal_[t], t, coverage[t]);
    if (term == 0.0) continue;
    incoming.rows.push_back(static_cast<std::uint32_t>(t));
    incoming.terms.push_back(term);
  }
}

// The pure add's non-zero rows merged with the rows the removal alters, in
// ascending row order: the dense sum without its zero terms.
double FulfilmentMoves::change(const Incoming& incoming, std::size_t out) const {
  require(incoming.in < n_, "incoming rows were not prepared");
  const std::uint32_t block = out < n_ ? block_[out] : 0;
  require(block != kUnprepared, "fulfilment change asked for an outgoing candidate that was not prepared");
  const std::uint32_t* added = incoming.rows.data();
  const std::uint32_t* added_end = added + incoming.rows.size();
  const double* added_term = incoming.terms.data();
  const std::size_t first = differing_begin_[block], last = differing_begin_[block + 1];
  const std::uint32_t* altered = differing_rows_.data() + first;
  const std::uint32_t* altered_end = differing_rows_.data() + last;
  const Row* altered_row = altered_.data() + first;
  const float* coverage = by_candidate_.data() + incoming.in * rows_;
  double change = 0.0;
  while (added != added_end || altered != altered_end) {
    if (altered == altered_end || (added != added_end && *added < *altered)) {
      change += *added_term;
      ++added, ++added_term;
      continue;
    }
    const std::uint32_t t = *altered++;
    change += row_change(*altered_row++, t, coverage[t]);
    if (added != added_end && *added == t) ++added, ++added_term;
  }
  return change;
}

MoveScorer::MoveScorer(const ObjectiveWeights& weights, const ProblemInstance& instance,
                       std::span<const float> similarity, std::span<const float> row_sums, const SelectionMask& mask,
                       const CoverageTopK* cache, const FulfilmentMoves* prepared, bool symmetric_similarity)
    : weights_(weights),
      instance_(instance),
      similarity_(similarity),
      row_sums_(row_sums),
      mask_(mask),
      cache_(cache),
      prepared_(prepared),
      params_(support_params(weights)),
      n_(instance.num_candidates),
      symmetric_(symmetric_similarity) {
  check_length(similarity.size(), checked_size(n_, n_, "similarity matrix"), "similarity matrix");
  check_length(row_sums.size(), n_, "redundancy row sums");
  check_length(mask.size(), n_, "selection mask");
  check_length(instance.relevance_scores.size(), n_, "relevance scores");
  check_length(instance.density_scores.size(), n_, "density scores");
  check_length(instance.centrality_scores.size(), n_, "centrality scores");
  check_length(instance.recency_scores.size(), n_, "recency scores");
  check_length(instance.auxiliary_scores.size(), n_, "auxiliary scores");
}

double MoveScorer::fulfilment_change(std::size_t in, std::size_t out) const {
  if (prepared_ != nullptr) return prepared_->change(in, out);
  if (cache_ != nullptr) return cached_change(params_, instance_, *cache_, in, out);
  return fulfilment_change_exact(weights_, mask_, instance_, in, out);
}

double MoveScorer::delta(std::size_t in, std::size_t out, double fulfilment) const {
  check_index(in, n_, "incoming candidate");
  const ProblemInstance& p = instance_;
  const double w_rel = weights_[weight::kAlpha], w_den = weights_[weight::kBeta], w_cen = weights_[weight::kGamma],
               w_rec = weights_[weight::kDelta], w_aux = weights_[weight::kEpsilon],
               w_ful = weights_[weight::kFulfilment], w_red = weights_[weight::kLambda];
  double base = 0.0;
  double redundancy = 0.0;
  if (out < n_) {
    // Score differences are formed in f32, then widened.
    base = w_den * static_cast<double>(p.density_scores[in] - p.density_scores[out]) +
           w_rel * static_cast<double>(p.relevance_scores[in] - p.relevance_scores[out]);
    base += w_cen * static_cast<double>(p.centrality_scores[in] - p.centrality_scores[out]);
    base += w_rec * static_cast<double>(p.recency_scores[in] - p.recency_scores[out]);
    base += w_aux * static_cast<double>(p.auxiliary_scores[in] - p.auxiliary_scores[out]);
    base += w_ful * fulfilment;
    // The pair term cancels the incoming candidate's similarity to the one leaving.
    const float pair = symmetric_ ? similarity_[out * n_ + in] : similarity_[in * n_ + out];
    redundancy = static_cast<double>(row_sums_[in]) - static_cast<double>(pair) -
                 static_cast<double>(row_sums_[out]);
  } else {
    base = w_den * static_cast<double>(p.density_scores[in]) + w_rel * static_cast<double>(p.relevance_scores[in]);
    base += w_cen * static_cast<double>(p.centrality_scores[in]);
    base += w_rec * static_cast<double>(p.recency_scores[in]);
    base += w_aux * static_cast<double>(p.auxiliary_scores[in]);
    base += w_ful * fulfilment;
    redundancy = static_cast<double>(row_sums_[in]);
  }
  return base - w_red * redundancy;
}

double move_delta(const ObjectiveWeights& weights, const ProblemInstance& instance, std::span<const float> similarity,
                  std::span<const float> row_sums, const SelectionMask& mask, const CoverageTopK* cache,
                  std::size_t in, std::size_t out) {
  return MoveScorer(weights, instance, similarity, row_sums, mask, cache).delta(in, out);
}

}  // namespace quarnel
