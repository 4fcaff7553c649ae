#pragma once
// Upper bounds on the f32 objective of every single removal, from f64 sums
// kept up to date as chunks leave the selection: O(m) per round instead of a
// rescoring, so the pass scores exactly only the removals that can still win.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/problem_view.hpp"
#include "search/removal_scorer.hpp"

namespace quarnel {

class RemovalBounds {
 public:
  RemovalBounds(const ProblemView& view, std::span<const std::size_t> selected);

  // For each position of the current selection, a value no smaller than
  // the f32 score `scorer` gives for leaving that chunk out; +inf where no
  // bound is known (non-finite inputs, or sums too long for the f32 error
  // bound to hold).
  void upper_bounds(const RemovalScorer& scorer, std::vector<double>& out) const;

  // The chunk at `position` leaves the selection.
  void remove(std::size_t position);

 private:
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
