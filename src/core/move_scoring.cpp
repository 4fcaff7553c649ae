#include "core/move_scoring.hpp"

#include <bit>
#include <algorithm>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "core/panic.hpp"

namespace quarnel {
namespace {

std::size_t checked_product(std::size_t a, std::size_t b, const char* what) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw_internal(std::string(what) + " size overflows");
  return product;
}

// The coverage matrix when fulfilment takes part in the objective, else null.
const std::vector<float>* active_coverage(const ProblemInstance& instance, float mu) {
  if (!instance.coverage_matrix || instance.num_query_tokens == 0 || !(std::fabs(mu) > kWeightEpsilon))
    return nullptr;
  const std::size_t needed = checked_product(instance.num_query_tokens, instance.num_candidates, "coverage matrix");
  check_length(instance.coverage_matrix->size(), needed, "coverage matrix");
  return &*instance.coverage_matrix;
}

// Indices whose byte is non-zero, or equal to 1 when `only_ones` is set.
std::vector<std::size_t> selection_of(const SelectionMask& mask, std::size_t n, bool only_ones) {
  check_length(mask.size(), n, "selection mask");
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < n; ++i)
    if (only_ones ? mask[i] == 1 : mask[i] != 0) selected.push_back(i);
  return selected;
}

// Support of a list of f32 coverage values, in f64 arithmetic.
inline double support_of(const TopFour<float>& top, std::uint64_t quorum, const SupportParams& params) {
  TopFour<double> wide;
  for (int s = 0; s < 4; ++s) wide.v[s] = top.v[s];
  return support_f64(wide, quorum, params);
}

// One row's top four with the holders of the first three slots.
struct HeldTop {
  TopFour<float> top;
  std::uint32_t holder[3] = {kNoHolder, kNoHolder, kNoHolder};
  std::uint64_t quorum = 0;

  void insert(float c, std::uint32_t who) {
    switch (top.insert(c)) {
      case 0:
        holder[2] = holder[1], holder[1] = holder[0], holder[0] = who;
        break;
      case 1:
        holder[2] = holder[1], holder[1] = who;
        break;
      case 2:
        holder[2] = who;
        break;
      default:
        break;
    }
  }
};

HeldTop held_top(const float* row, const std::vector<std::size_t>& selected, float threshold) {
  HeldTop h;
  for (std::size_t k : selected) {
    const float c = row[k];
    if (c >= threshold) ++h.quorum;
    h.insert(c, static_cast<std::uint32_t>(k));
  }
  return h;
}

// The list after removing the value of `slot` (0..2): the lower values move up
// one slot and the last slot becomes 0.
TopFour<float> without_slot(const TopFour<float>& top, int slot) {
  TopFour<float> out = top;
  for (int s = slot; s < 3; ++s) out.v[s] = top.v[s + 1];
  out.v[3] = 0.0f;
  return out;
}

// The slot held by `who`, or -1.
int held_slot(const std::uint32_t* holders, std::size_t who) {
  for (int s = 0; s < 3; ++s)
    if (holders[s] == who) return s;
  return -1;
}

double cached_change(const SupportParams& params, const ProblemInstance& instance, const CoverageTopK& cache,
                     std::size_t in, std::size_t out) {
  const std::size_t n = instance.num_candidates;
  require(instance.coverage_matrix.has_value(), "coverage cache without a coverage matrix");
  const std::vector<float>& coverage = *instance.coverage_matrix;
  check_length(coverage.size(), checked_product(cache.rows, n, "coverage matrix"), "coverage matrix");
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

std::vector<float> redundancy_row_sums(const SelectionMask& mask, std::span<const float> similarity, std::size_t n) {
  check_length(similarity.size(), checked_product(n, n, "similarity matrix"), "similarity matrix");
  const std::vector<std::size_t> selected = selection_of(mask, n, false);
  std::vector<float> sums(n, 0.0f);
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
  check_length(similarity.size(), checked_product(n, n, "similarity matrix"), "similarity matrix");
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
  check_length(similarity.size(), checked_product(n, n, "similarity matrix"), "similarity matrix");
  // Tiles keep the transposed reads within a few cache lines.
  constexpr std::size_t kTile = 64;
  for (std::size_t bi = 0; bi < n; bi += kTile)
    for (std::size_t bj = bi; bj < n; bj += kTile)
      for (std::size_t i = bi; i < std::min(bi + kTile, n); ++i)
        for (std::size_t j = std::max(bj, i + 1); j < std::min(bj + kTile, n); ++j)
          if (std::bit_cast<std::uint32_t>(similarity[i * n + j]) !=
              std::bit_cast<std::uint32_t>(similarity[j * n + i]))
            return false;
  return true;
}

DeltaCache delta_cache(const SelectionMask& mask, const ProblemInstance& instance, const ObjectiveWeights& weights,
                       std::span<const float> similarity, bool symmetric_similarity) {
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");
  DeltaCache cache;
  cache.add_gain.assign(n, 0.0);
  cache.remove_loss.assign(n, 0.0);
  cache.redundancy.assign(n, 0.0);

  if (similarity.size() == checked_product(n, n, "similarity matrix")) {
    const std::vector<std::size_t> ones = selection_of(mask, n, true);
    if (symmetric_similarity) {
      // Every sum still takes its terms in ascending j; the loops skip i = j
      // by their bounds so that they vectorise.
      double* redundancy = cache.redundancy.data();
      for (std::size_t j : ones) {
        const float* row = similarity.data() + j * n;
        for (std::size_t i = 0; i < j; ++i) redundancy[i] += static_cast<double>(row[i]);
        for (std::size_t i = j + 1; i < n; ++i) redundancy[i] += static_cast<double>(row[i]);
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const float* row = similarity.data() + i * n;
        double sum = 0.0;
        for (std::size_t j : ones)
          if (j != i) sum += static_cast<double>(row[j]);
        cache.redundancy[i] = sum;
      }
    }
  }

  // Gains and losses do not depend on mu, so only the matrix and rows matter here.
  if (!instance.coverage_matrix || instance.num_query_tokens == 0) return cache;
  const std::size_t rows = instance.num_query_tokens;
  check_length(instance.coverage_matrix->size(), checked_product(rows, n, "coverage matrix"), "coverage matrix");
  const SupportParams params = support_params(weights);
  const std::vector<std::size_t> selected = selection_of(mask, n, false);
  for (std::size_t t = 0; t < rows; ++t) {
    const float* row = instance.coverage_matrix->data() + t * n;
    const HeldTop h = held_top(row, selected, params.threshold);
    const double now = support_of(h.top, h.quorum, params);
    const double w = instance.query_token_weight(t);
    auto add_gain = [&](std::size_t i) {
      const float c = row[i];
      TopFour<float> list = h.top;
      list.insert(c);
      const double gain = support_of(list, h.quorum + (c >= params.threshold ? 1 : 0), params) - now;
      cache.add_gain[i] += w * (gain > 0.0 ? gain : 0.0);
    };
    auto add_loss = [&](std::size_t i) {
      const int slot = held_slot(h.holder, i);
      const TopFour<float> list = slot >= 0 ? without_slot(h.top, slot) : h.top;
      const std::uint64_t quorum = row[i] >= params.threshold && h.quorum > 0 ? h.quorum - 1 : h.quorum;
      const double loss = now - support_of(list, quorum, params);
      cache.remove_loss[i] += w * (loss > 0.0 ? loss : 0.0);
    };
    // A candidate that leaves the list and the quorum's "at least 3 / 4" as
    // they are contributes w * 0, which adds nothing while w is finite.
    if (!std::isfinite(w)) {
      for (std::size_t i = 0; i < n; ++i) mask[i] == 0 ? add_gain(i) : add_loss(i);
      continue;
    }
    for (std::size_t i : selected) {
      const bool moves_quorum = row[i] >= params.threshold && h.quorum <= 4 && h.quorum > 0;
      if (moves_quorum || held_slot(h.holder, i) >= 0) add_loss(i);
    }
    if (h.quorum < 4) {
      // Reaching the threshold moves the quorum's class: test every candidate.
      for (std::size_t i = 0; i < n; ++i) {
        const float c = row[i];
        if (mask[i] == 0 && (c >= params.threshold || c >= h.top.v[0] || c > h.top.v[3])) add_gain(i);
      }
      continue;
    }
    // Only a value that enters the list counts: four at a time, then the few
    // that do one by one.
    const __m128 first = _mm_set1_ps(h.top.v[0]), last = _mm_set1_ps(h.top.v[3]);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m128 c = _mm_loadu_ps(row + i);
      int enters = _mm_movemask_ps(_mm_or_ps(_mm_cmpge_ps(c, first), _mm_cmpgt_ps(c, last)));
      while (enters != 0) {
        const std::size_t k = i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(enters)));
        enters &= enters - 1;
        if (mask[k] == 0) add_gain(k);
      }
    }
    for (; i < n; ++i) {
      const float c = row[i];
      if (mask[i] == 0 && (c >= h.top.v[0] || c > h.top.v[3])) add_gain(i);
    }
  }
  return cache;
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
  check_length(instance.coverage_matrix->size(), checked_product(rows, n, "coverage matrix"), "coverage matrix");
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
  check_length(by_candidate.size(), checked_product(rows_, n_, "coverage matrix"), "coverage by candidate");
  require(cache.top.size() == rows_ && cache.quorum.size() == rows_ && cache.support.size() == rows_ &&
              cache.holders.size() == 3 * rows_,
          "coverage cache is inconsistent");
  cache_ = &cache;
  by_candidate_ = by_candidate;
  params_ = support_params(weights);
  row_weight_.resize(rows_);
  for (std::size_t t = 0; t < rows_; ++t) row_weight_[t] = instance.query_token_weight(t);

  for (std::size_t i : blocked_) block_[i] = kUnprepared;
  blocked_.clear();
  block_.resize(n_, kUnprepared);
  removal_.resize((outgoing.size() + 1) * rows_);
  differs_.assign((outgoing.size() + 1) * rows_, 0);
  first_difference_.assign(outgoing.size() + 1, rows_);
  for (std::size_t b = 0; b <= outgoing.size(); ++b) {
    const std::size_t out = b == 0 ? kNone : outgoing[b - 1];
    if (b > 0) {
      check_index(out, n_, "outgoing candidate");
      block_[out] = static_cast<std::uint32_t>(b);
      blocked_.push_back(out);
    }
    for (std::size_t t = 0; t < rows_; ++t) {
      Row& row = removal_[b * rows_ + t];
      row.list = cache.top[t];
      row.quorum = cache.quorum[t];
      if (out == kNone) {
        row.term = row_weight_[t] * (support_of(row.list, row.quorum, params_) - cache.support[t]);
        continue;
      }
      const int slot = held_slot(&cache.holders[3 * t], out);
      if (slot >= 0) row.list = without_slot(row.list, slot);
      if (by_candidate[out * rows_ + t] >= params_.threshold && row.quorum > 0) --row.quorum;
      // Same list and quorum class as the pure add (block 0, made first): its term.
      if (slot < 0 && std::min<std::uint64_t>(row.quorum, 4) == std::min<std::uint64_t>(cache.quorum[t], 4)) {
        row.term = removal_[t].term;
        continue;
      }
      row.term = row_weight_[t] * (support_of(row.list, row.quorum, params_) - cache.support[t]);
      differs_[b * rows_ + t] = 1;
      if (first_difference_[b] == rows_) first_difference_[b] = t;
    }
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
  incoming.value.resize(rows_);
  incoming.prefix.resize(rows_ + 1);
  const float* coverage = by_candidate_.data() + in * rows_;
  incoming.prefix[0] = 0.0;
  for (std::size_t t = 0; t < rows_; ++t) {
    incoming.value[t] = row_change(removal_[t], t, coverage[t]);
    incoming.prefix[t + 1] = incoming.prefix[t] + incoming.value[t];
  }
}

double FulfilmentMoves::change(const Incoming& incoming, std::size_t out) const {
  require(incoming.in < n_ && incoming.value.size() == rows_, "incoming rows were not prepared");
  const std::uint32_t block = out < n_ ? block_[out] : 0;
  require(block != kUnprepared, "fulfilment change asked for an outgoing candidate that was not prepared");
  const std::size_t from = first_difference_[block];
  double change = incoming.prefix[from];
  if (from == rows_) return change;
  const Row* rows = &removal_[block * rows_];
  const std::uint8_t* differs = &differs_[block * rows_];
  const float* coverage = by_candidate_.data() + incoming.in * rows_;
  for (std::size_t t = from; t < rows_; ++t)
    change += differs[t] ? row_change(rows[t], t, coverage[t]) : incoming.value[t];
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
  check_length(similarity.size(), checked_product(n_, n_, "similarity matrix"), "similarity matrix");
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
