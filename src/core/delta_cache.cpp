#include "core/delta_cache.hpp"

#include <bit>
#include <cmath>

#include <emmintrin.h>

#include "core/coverage_rows.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

using namespace rows;

// f64 sums over the selected j != i of sim[i*n + j], in ascending j, for every i.
void add_redundancy(std::span<const float> similarity, std::size_t n, std::span<const std::size_t> ones,
                    bool symmetric, double* redundancy) {
  if (symmetric) {
    // Every sum still takes its terms in ascending j; the loops skip i = j
    // by their bounds so that they vectorise.
    for (std::size_t j : ones) {
      const float* row = similarity.data() + j * n;
      for (std::size_t i = 0; i < j; ++i) redundancy[i] += static_cast<double>(row[i]);
      for (std::size_t i = j + 1; i < n; ++i) redundancy[i] += static_cast<double>(row[i]);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float* row = similarity.data() + i * n;
    double sum = 0.0;
    for (std::size_t j : ones)
      if (j != i) sum += static_cast<double>(row[j]);
    redundancy[i] = sum;
  }
}

// One query-token row of the coverage matrix with the selection's best values.
struct CoverageRow {
  const float* coverage;  // n values
  HeldTop held;
  double now;     // the row's support
  double weight;  // the query token's weight
};

CoverageRow coverage_row(const ProblemInstance& instance, std::size_t t, std::span<const std::size_t> selected,
                         const SupportParams& params) {
  CoverageRow r;
  r.coverage = instance.coverage_matrix->data() + t * instance.num_candidates;
  r.held = held_top(r.coverage, selected, params.threshold);
  r.now = support_of(r.held.top, r.held.quorum, params);
  r.weight = instance.query_token_weight(t);
  return r;
}

// w * the support the row would gain from a candidate of coverage c.
double row_gain(const CoverageRow& r, const SupportParams& params, float c) {
  TopFour<float> list = r.held.top;
  list.insert(c);
  const double gain = support_of(list, r.held.quorum + (c >= params.threshold ? 1 : 0), params) - r.now;
  return r.weight * (gain > 0.0 ? gain : 0.0);
}

// Adds w * the support the row would lose to every selected candidate whose
// removal changes its list or its quorum's class (the others lose w * 0).
void add_row_losses(const CoverageRow& r, const SupportParams& params, std::span<const std::size_t> selected,
                    double* loss) {
  const HeldTop& h = r.held;
  const bool every = !std::isfinite(r.weight);  // w * 0 is not 0
  for (std::size_t i : selected) {
    const bool reaches = r.coverage[i] >= params.threshold;
    const bool moves_quorum = reaches && h.quorum <= 4 && h.quorum > 0;
    const int slot = held_slot(h.holder, i);
    if (!every && !moves_quorum && slot < 0) continue;
    const TopFour<float> list = slot >= 0 ? without_slot(h.top, slot) : h.top;
    const std::uint64_t quorum = reaches && h.quorum > 0 ? h.quorum - 1 : h.quorum;
    const double lost = r.now - support_of(list, quorum, params);
    loss[i] += r.weight * (lost > 0.0 ? lost : 0.0);
  }
}

// Calls visit(i) in ascending i for every candidate, selected or not, whose
// gain in the row may be non-zero: one that enters the list or moves the
// quorum's class (the others gain w * 0).
template <typename Visit>
void for_each_gainer(const CoverageRow& r, std::size_t n, const SupportParams& params, Visit&& visit) {
  const float* row = r.coverage;
  const TopFour<float>& top = r.held.top;
  if (!std::isfinite(r.weight)) {
    for (std::size_t i = 0; i < n; ++i) visit(i);
    return;
  }
  if (r.held.quorum < 4) {
    for (std::size_t i = 0; i < n; ++i) {
      const float c = row[i];
      if (c >= params.threshold || c >= top.v[0] || c > top.v[3]) visit(i);
    }
    return;
  }
  // Only a value that enters the list counts: four at a time, then the few
  // that do one by one.
  const __m128 first = _mm_set1_ps(top.v[0]), last = _mm_set1_ps(top.v[3]);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 c = _mm_loadu_ps(row + i);
    int enters = _mm_movemask_ps(_mm_or_ps(_mm_cmpge_ps(c, first), _mm_cmpgt_ps(c, last)));
    while (enters != 0) {
      visit(i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(enters))));
      enters &= enters - 1;
    }
  }
  for (; i < n; ++i)
    if (row[i] >= top.v[0] || row[i] > top.v[3]) visit(i);
}

bool has_full_matrix(std::span<const float> similarity, std::size_t n) {
  return similarity.size() == checked_size(n, n, "similarity matrix");
}

// Gains and losses do not depend on mu, so only the matrix and rows matter.
bool has_coverage(const ProblemInstance& instance) {
  if (!instance.coverage_matrix || instance.num_query_tokens == 0) return false;
  const std::size_t n = instance.num_candidates, rows = instance.num_query_tokens;
  check_length(instance.coverage_matrix->size(), checked_size(rows, n, "coverage matrix"), "coverage matrix");
  return true;
}

}  // namespace

DeltaCache delta_cache(const SelectionMask& mask, const ProblemInstance& instance, const ObjectiveWeights& weights,
                       std::span<const float> similarity, bool symmetric_similarity) {
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");
  DeltaCache cache;
  cache.add_gain.assign(n, 0.0);
  cache.remove_loss.assign(n, 0.0);
  cache.redundancy.assign(n, 0.0);
  if (has_full_matrix(similarity, n))
    add_redundancy(similarity, n, selection_of(mask, n, true), symmetric_similarity, cache.redundancy.data());
  if (!has_coverage(instance)) return cache;

  const SupportParams params = support_params(weights);
  const std::vector<std::size_t> selected = selection_of(mask, n, false);
  for (std::size_t t = 0; t < instance.num_query_tokens; ++t) {
    const CoverageRow r = coverage_row(instance, t, selected, params);
    add_row_losses(r, params, selected, cache.remove_loss.data());
    for_each_gainer(r, n, params, [&](std::size_t i) {
      if (mask[i] == 0) cache.add_gain[i] += row_gain(r, params, r.coverage[i]);
    });
  }
  return cache;
}

DeltaCacheTracker::DeltaCacheTracker(const ProblemInstance& instance, const ObjectiveWeights& weights,
                                     std::span<const float> similarity, bool symmetric_similarity)
    : instance_(instance), weights_(weights), similarity_(similarity), symmetric_(symmetric_similarity) {
  require(instance.num_candidates < kNoHolder, "too many candidates for the delta cache");
  if (has_coverage(instance)) rows_.resize(instance.num_query_tokens);
}

const DeltaCache& DeltaCacheTracker::update(const SelectionMask& mask, std::span<const std::size_t> selected) {
  const std::size_t n = instance_.num_candidates;
  check_length(mask.size(), n, "selection mask");
  for (std::size_t i : selected) {
    check_index(i, n, "selected index");
    require(mask[i] == 1, "tracked masks hold bytes 0 and 1");
  }
  cache_.add_gain.assign(n, 0.0);
  cache_.remove_loss.assign(n, 0.0);
  cache_.redundancy.assign(n, 0.0);
  if (has_full_matrix(similarity_, n)) add_redundancy(similarity_, n, selected, symmetric_, cache_.redundancy.data());
  if (rows_.empty()) return cache_;

  const SupportParams params = support_params(weights_);
  for (std::size_t t = 0; t < rows_.size(); ++t) {
    const CoverageRow r = coverage_row(instance_, t, selected, params);
    add_row_losses(r, params, selected, cache_.remove_loss.data());
    Row& row = rows_[t];
    std::uint32_t bits[4];
    for (int s = 0; s < 4; ++s) bits[s] = std::bit_cast<std::uint32_t>(r.held.top.v[s]);
    const std::uint64_t quorum_class = std::min<std::uint64_t>(r.held.quorum, 4);
    if (!row.known || quorum_class != row.quorum_class || !std::equal(bits, bits + 4, row.top_bits)) {
      row.who.clear();
      row.gain.clear();
      for_each_gainer(r, n, params, [&](std::size_t i) {
        row.who.push_back(static_cast<std::uint32_t>(i));
        row.gain.push_back(row_gain(r, params, r.coverage[i]));
      });
      std::copy(bits, bits + 4, row.top_bits);
      row.quorum_class = quorum_class;
      row.known = true;
    }
    for (std::size_t k = 0; k < row.who.size(); ++k)
      if (mask[row.who[k]] == 0) cache_.add_gain[row.who[k]] += row.gain[k];
  }
  return cache_;
}

}  // namespace quarnel
