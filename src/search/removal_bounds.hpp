#pragma once
// f64 estimates of the f32 objective of the selection and of every single
// removal, from f64 sums kept up to date as chunks leave it, with a width
// that bounds their distance from the exact scores: O(m) a round instead of a
// rescoring, so the pass scores exactly only the removals that can still win.
#include <array>
#include <cstddef>
#include <utility>
#include <span>
#include <vector>

#include "core/problem_view.hpp"
#include "search/removal_fulfilment.hpp"

namespace quarnel {

class RemovalBounds {
 public:
  RemovalBounds(const ProblemView& view, std::span<const std::size_t> selected);

  // For each position of the current selection, the score without that
  // chunk, in f64. Returns a width no exact f32 score is farther than from
  // its estimate: +inf where none is known (non-finite inputs, or sums too
  // long for the f32 error bound to hold). `fulfilment` describes the
  // current selection.
  double estimates(const RemovalFulfilment& fulfilment, std::vector<double>& out) const;

  // The whole selection's score in f64, and its width.
  std::pair<double, double> whole(const RemovalFulfilment& fulfilment) const;

  // The chunk at `position` leaves the selection.
  void remove(std::size_t position);

 private:
  // The width of a score summing `terms` values of each sequence and
  // `pairs` similarities, with a fulfilment of at most `fulfilment` in size.
  double width(double terms, double pairs, double fulfilment) const;

  const ProblemView& view_;
  std::vector<std::size_t> selected_;
  std::array<std::vector<double>, 5> values_;  // the score sequences over the selection
  std::array<double, 5> totals_{}, magnitudes_{};  // their sums and sums of absolute values
  // Per chunk, the similarity of its row and of its column to the rest of
  // the selection, plain and absolute; and the whole matrix's two sums.
  std::vector<double> row_, column_, row_abs_, column_abs_;
  double redundancy_ = 0.0, redundancy_abs_ = 0.0;
  // What the f64 sums may have drifted from the real ones by.
  double drift_ = 0.0;
  bool finite_ = true;
  std::size_t operations_ = 0;
};

}  // namespace quarnel
