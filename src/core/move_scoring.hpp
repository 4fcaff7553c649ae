#pragma once
// Incremental move scoring: per-selection caches that turn the objective
// change of an add or swap move into O(1) plus O(query tokens) work.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/objective.hpp"
#include "core/problem.hpp"

namespace quarnel {

inline constexpr std::uint32_t kNoHolder = 0xFFFFFFFFu;

// "No candidate" for the in/out side of a move; any index >= n means the same.
inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// r[i] = sum over selected j != i of sim[i*n + j], f32, ascending j. With
// `symmetric` (see is_bitwise_symmetric) the terms are read from the selected
// rows instead of the columns: the same values in the same order, contiguous.
std::vector<float> redundancy_row_sums(const SelectionMask& mask, std::span<const float> similarity, std::size_t n,
                                       bool symmetric = false);

// Keeps row sums current after a move by reading the rows of the moved
// candidates: r[j] -= sim[out*n + j] for j != out, then r[j] += sim[in*n + j]
// for j != in. Exact for a symmetric matrix up to f32 rounding.
void update_row_sums(std::vector<float>& row_sums, std::span<const float> similarity, std::size_t n,
                     std::size_t in, std::size_t out);

// Top four coverage values per query-token row with the holders of the first
// three and the saturating quorum count.
struct CoverageTopK {
  std::size_t rows = 0;
  std::vector<TopFour<float>> top;     // per row
  std::vector<std::uint32_t> holders;  // 3 per row, kNoHolder while a slot is unheld
  std::vector<std::uint8_t> quorum;    // per row, saturating at 255
  std::vector<double> support;         // per row, the support of the cached list
};

// Present only with a coverage matrix, at least one query token and |mu| above epsilon.
std::optional<CoverageTopK> coverage_top_k(const SelectionMask& mask, const ProblemInstance& instance,
                                           float threshold, float mu, const SupportParams& params);
// The same with threshold, mu and support weights taken from W.
std::optional<CoverageTopK> coverage_top_k(const SelectionMask& mask, const ProblemInstance& instance,
                                           const ObjectiveWeights& weights);

// True when sim[i*n + j] and sim[j*n + i] have the same bits for every pair.
bool is_bitwise_symmetric(std::span<const float> similarity, std::size_t n);

// Fulfilment change of adding `in` and/or removing `out` (kNone for neither).
// The exact form recomputes each row's top four from the mask; the cached form
// starts from CoverageTopK, which cannot restore a fourth value lost to a removal.
double fulfilment_change_exact(const ObjectiveWeights& weights, const SelectionMask& mask,
                               const ProblemInstance& instance, std::size_t in, std::size_t out);
double fulfilment_change_cached(const ObjectiveWeights& weights, const ProblemInstance& instance,
                                const CoverageTopK& cache, std::size_t in, std::size_t out);

// The coverage matrix stored by candidate (entry i*T + t is coverage[t*n + i]),
// so that one candidate's coverage of every row is contiguous.
std::vector<float> coverage_by_candidate(const ProblemInstance& instance);

// The cached fulfilment change of many moves from one selection, with the same
// bits as fulfilment_change_cached: the removal side of every outgoing
// candidate is prepared once, and a row whose list and quorum the incoming
// candidate leaves as they are reuses the prepared term.
class FulfilmentMoves {
 public:
  // `by_candidate` from coverage_by_candidate; `outgoing` the candidates that swaps may remove.
  void prepare(const ObjectiveWeights& weights, const ProblemInstance& instance, const CoverageTopK& cache,
               std::span<const float> by_candidate, std::span<const std::size_t> outgoing);
  // Adds the removal side of outgoing candidates not prepared yet, for the
  // same selection and cache.
  void extend(std::span<const std::size_t> outgoing);
  // `out` >= n: a pure add. Read-only: safe to call from several threads.
  double change(std::size_t in, std::size_t out) const;

  // The rows of one incoming candidate as a pure add, shared by all its
  // swaps: a swap's change differs only in the rows whose list the outgoing
  // candidate's removal alters. Most rows add exactly zero (the candidate
  // enters no list there), and a running sum that starts at +0.0 is unchanged
  // by adding a zero, so only the other rows are kept. Same bits as change().
  struct Incoming {
    std::size_t in = static_cast<std::size_t>(-1);
    std::vector<std::uint32_t> rows;  // ascending rows whose pure-add term is not zero
    std::vector<double> terms;        // those terms
  };
  void prepare_incoming(std::size_t in, Incoming& incoming) const;
  double change(const Incoming& incoming, std::size_t out) const;

 private:
  struct Row {
    TopFour<float> list;
    std::uint64_t quorum = 0;
    double term = 0.0;  // w_t * (support of this row after the removal - support now)
  };
  static constexpr std::uint32_t kUnprepared = 0xFFFFFFFFu;

  const CoverageTopK* cache_ = nullptr;
  std::span<const float> by_candidate_;
  SupportParams params_;
  std::size_t n_ = 0;
  std::size_t rows_ = 0;
  std::vector<double> row_weight_;
  std::vector<Row> removal_;          // block 0, no removal: every row as cached
  std::vector<std::uint32_t> block_;  // per candidate: 1 + its place among the outgoing ones
  std::vector<std::size_t> blocked_;
  // Per block, the rows where the removal changes the list or the quorum's
  // class, so that the row differs from the pure add's (block 0), with the
  // row after the removal.
  std::vector<std::uint32_t> differing_rows_;  // ascending, block after block
  std::vector<Row> altered_;                   // beside differing_rows_
  std::vector<std::size_t> differing_begin_;   // per block, and one past the last

  // The term of `row` (of any block) with the incoming coverage c.
  double row_change(const Row& row, std::size_t t, float c) const {
    const std::uint64_t quorum = row.quorum + (c >= params_.threshold ? 1 : 0);
    // Support reads the quorum only as "at least 3" and "at least 4".
    const bool same_quorum = std::min<std::uint64_t>(quorum, 4) == std::min<std::uint64_t>(row.quorum, 4);
    const bool enters = c >= row.list.v[0] || c > row.list.v[3];
    if (!enters && same_quorum) return row.term;
    TopFour<float> list = row.list;
    list.insert(c);
    TopFour<double> wide;
    for (int s = 0; s < 4; ++s) wide.v[s] = list.v[s];
    return row_weight_[t] * (support_f64(wide, quorum, params_) - cache_->support[t]);
  }
};

// Scores moves from one current selection. Lengths are checked once here, so
// that delta() only checks the two indices.
class MoveScorer {
 public:
  // `cache` may be null: the fulfilment change is then computed exactly from
  // `mask`. With `prepared` (for `cache`) the cached change is read from it.
  // With `symmetric_similarity` the pair term sim[in][out] is read as
  // sim[out][in] (the same bits): the rows of the few outgoing candidates stay
  // in cache, where the rows of the many incoming ones would not.
  MoveScorer(const ObjectiveWeights& weights, const ProblemInstance& instance, std::span<const float> similarity,
             std::span<const float> row_sums, const SelectionMask& mask, const CoverageTopK* cache,
             const FulfilmentMoves* prepared = nullptr, bool symmetric_similarity = false);

  // Objective change of adding `in` while removing `out` (>= n: pure add).
  double delta(std::size_t in, std::size_t out) const { return delta(in, out, fulfilment_change(in, out)); }
  // The same with the move's fulfilment change already known.
  double delta(std::size_t in, std::size_t out, double fulfilment) const;
  // Asks for the similarity a later delta(in, out) reads: one scattered
  // entry of the matrix per swap, which would otherwise stall on memory.
  void prefetch(std::size_t in, std::size_t out) const {
    if (in < n_ && out < n_) __builtin_prefetch(similarity_.data() + (symmetric_ ? out * n_ + in : in * n_ + out));
  }
  double fulfilment_change(std::size_t in, std::size_t out) const;

 private:
  const ObjectiveWeights& weights_;
  const ProblemInstance& instance_;
  std::span<const float> similarity_;
  std::span<const float> row_sums_;
  const SelectionMask& mask_;
  const CoverageTopK* cache_;
  const FulfilmentMoves* prepared_;
  SupportParams params_;
  std::size_t n_;
  bool symmetric_;
};

// Objective change of adding `in` while removing `out` (n or kNone: pure add).
double move_delta(const ObjectiveWeights& weights, const ProblemInstance& instance, std::span<const float> similarity,
                  std::span<const float> row_sums, const SelectionMask& mask, const CoverageTopK* cache,
                  std::size_t in, std::size_t out);

}  // namespace quarnel
