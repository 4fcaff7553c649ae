#pragma once
// Scores the nodes of an exact window quickly and with the same bits as the
// per-selection objective of the full mask.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/objective.hpp"
#include "search/context.hpp"

namespace quarnel {

// A node is the fixed selection plus the window entries whose bits are set in
// its code. Only the universe (fixed selection and window, ascending) can be
// selected, so the scorer gathers its scores, similarities and coverage into
// small dense arrays, and a node costs O(universe^2 + rows), never O(n).
//
// The sums over the selection run over the same values in the same ascending
// order as the full score. Per query-token row only the four best coverage
// values and the quorum count matter, and those do not depend on the order in
// which values arrive; so each row keeps one state per window bit level (the
// fixed selection plus the set bits from the top down to that level), and a
// new code re-inserts only the levels below its highest changed bit.
class WindowScorer {
 public:
  // `fixed` and `window` are ascending and disjoint; the window has at most 63 entries.
  WindowScorer(const SearchContext& ctx, std::span<const std::size_t> fixed, std::span<const std::size_t> window);

  const std::vector<std::size_t>& universe() const { return universe_; }
  // Position of window entry j within the universe.
  std::size_t window_position(std::size_t j) const { return window_position_[j]; }

  // The f32 objective of node `code`, whose selected universe positions are
  // `selected` (ascending): equal, bit for bit, to selection_score on its mask.
  float score(std::uint64_t code, std::span<const std::size_t> selected);

 private:
  struct RowState {
    TopFour<float> top;
    std::uint64_t quorum = 0;
  };

  void refresh_rows(std::uint64_t code);
  float fulfilment() const;
  float redundancy(std::span<const std::size_t> selected) const;

  const ObjectiveWeights* weights_;
  SupportParams params_;
  std::vector<std::size_t> universe_;
  std::vector<std::size_t> window_position_;
  std::size_t window_size_ = 0;
  std::array<std::vector<float>, 5> scores_;  // relevance, density, centrality, recency, auxiliary
  std::vector<float> similarity_;             // universe x universe
  std::size_t rows_ = 0;
  std::vector<float> row_weight_;
  std::vector<float> window_coverage_;  // rows x window
  std::vector<RowState> levels_;        // (window + 1) x rows; the top level is the fixed selection
  std::uint64_t cached_code_ = 0;
  bool cache_valid_ = false;
};

}  // namespace quarnel
