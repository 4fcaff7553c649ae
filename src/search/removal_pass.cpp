#include "search/removal_pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <vector>

#include "core/constraint_check.hpp"
#include "core/panic.hpp"
#include "search/removal_bounds.hpp"
#include "search/removal_fulfilment.hpp"
#include "search/removal_scorer.hpp"

namespace quarnel {
namespace {

constexpr std::size_t kNoRemoval = std::numeric_limits<std::size_t>::max();

// What a round may spend on exact scores, in pair sums per 64 removals: an
// exact score of a reduced selection is one sequential f32 sum over its
// (m-1)(m-2) similarities, and a batch of up to 64 removals costs about as
// much as one. 2^17 lets every round of up to about 190 chunks, and any round
// of up to about 360 whose bounds leave at most 64 contenders, be decided by
// exact scores; beyond that one exact score costs more than a whole f64 pass.
constexpr double kExactBudget = 131072.0;

// The best removal of one round: the highest exact score, the lowest
// position among equals; a NaN never wins.
struct BestRemoval {
  double score = -std::numeric_limits<double>::infinity();
  std::size_t position = kNoRemoval;

  void offer(double score_without, std::size_t p) {
    if (score_without > score || (score_without == score && position != kNoRemoval && p < position)) {
      score = score_without;
      position = p;
    }
  }
};

class Pass {
 public:
  Pass(const SearchContext& ctx, SelectionMask& mask, double current)
      : ctx_(ctx), mask_(mask), selected_(selected_indices(mask)), bounds_(ctx.view, selected_), current_(current) {
    without_.reserve(selected_.size());
  }

  // One round: removes a chunk and returns true, or returns false when no
  // removal raises the objective by more than the margin.
  bool round() {
    ctx_.check_stop();
    const RemovalFulfilment fulfilment(ctx_.view, selected_);
    const double width = bounds_.estimates(fulfilment, estimate_);
    const std::size_t m = selected_.size();
    const std::size_t best = best_estimate();
    if (best == kNoRemoval) return false;
    // Removals whose exact score may still come out on top.
    const bool bounded = std::isfinite(width) && std::isfinite(estimate_[best]);
    std::size_t contenders = m;
    if (bounded) {
      const double floor = estimate_[best] - 2.0 * width;
      contenders = static_cast<std::size_t>(
          std::count_if(estimate_.begin(), estimate_.end(), [&](double e) { return !(e < floor); }));
    }
    const auto [whole, whole_width] = bounds_.whole(fulfilment);
    const double current_low = current_ ? *current_ : whole - whole_width;
    const double current_high = current_ ? *current_ : whole + whole_width;
    const double margin = ctx_.settings.margin();
    // The only contender, and whether it clears the margin is certain:
    // the exact scores could not choose otherwise.
    if (bounded && contenders == 1) {
      if (estimate_[best] - width - current_high > margin) return remove(best, std::nullopt);
      if (!(estimate_[best] + width - current_low > margin)) return false;
    }
    const double pairs = static_cast<double>(m - 1) * static_cast<double>(m > 1 ? m - 2 : 0);
    const double batches = std::ceil(static_cast<double>(contenders + (current_ ? 0 : 1)) / 64.0);
    if (batches * pairs <= kExactBudget) return exact_round(fulfilment, width);
    // Too long a selection for exact scores to be affordable, and there they
    // differ from the f64 objective by f32 rounding alone: the f64 one decides.
    if (!(estimate_[best] - whole > margin)) return false;
    return remove(best, std::nullopt);
  }

  std::size_t removed() const { return removed_; }

 private:
  // Whether the selection without the chunk at `p` meets every constraint.
  bool removable(std::size_t p) {
    without_.assign(selected_.begin(), selected_.begin() + static_cast<std::ptrdiff_t>(p));
    without_.insert(without_.end(), selected_.begin() + static_cast<std::ptrdiff_t>(p) + 1, selected_.end());
    return constraints_satisfied(ctx_.constraints, without_, ctx_.instance);
  }

  // The feasible removal with the highest estimate, the lowest position among
  // equals (a NaN never wins); kNoRemoval when no removal is feasible.
  std::size_t best_estimate() {
    const std::size_t m = selected_.size();
    std::size_t best = kNoRemoval;
    for (std::size_t p = 0; p < m; ++p)
      if (!std::isnan(estimate_[p]) && (best == kNoRemoval || estimate_[p] > estimate_[best])) best = p;
    if (best == kNoRemoval || removable(best)) return best;
    order_.resize(m);
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) { return estimate_[a] > estimate_[b]; });
    for (std::size_t p : order_)
      if (!std::isnan(estimate_[p]) && p != best && removable(p)) return p;
    return kNoRemoval;
  }

  // The round decided by exact scores: from the highest upper bound down,
  // until no bound left can reach the best score found or beat the current
  // one by the margin.
  bool exact_round(const RemovalFulfilment& fulfilment, double width) {
    if (!current_) current_ = ctx_.evaluate(mask_, selected_).objective_score;
    const std::size_t m = selected_.size();
    upper_.resize(m);
    for (std::size_t p = 0; p < m; ++p)
      upper_[p] = std::isfinite(estimate_[p]) ? estimate_[p] + width : std::numeric_limits<double>::infinity();
    order_.resize(m);
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) { return upper_[a] > upper_[b]; });
    const RemovalScorer scorer(ctx_.view, selected_, fulfilment);
    const double margin = ctx_.settings.margin();
    float scores[RemovalScorer::kMaxLanes];
    BestRemoval best;
    for (std::size_t next = 0; next < m;) {
      batch_.clear();
      for (; next < m && batch_.size() < scorer.lanes(); ++next) {
        const double bound = upper_[order_[next]];
        if (bound < best.score || !(bound - *current_ > margin)) {
          next = m;
          break;
        }
        // Only removals that keep the selection feasible are scored.
        if (removable(order_[next])) batch_.push_back(order_[next]);
      }
      if (batch_.empty()) continue;
      scorer.score_without(batch_, scores);
      for (std::size_t l = 0; l < batch_.size(); ++l) best.offer(scores[l], batch_[l]);
      ctx_.check_stop();
    }
    if (best.position == kNoRemoval || !(best.score - *current_ > margin)) return false;
    return remove(best.position, best.score);
  }

  bool remove(std::size_t p, std::optional<double> score) {
    mask_[selected_[p]] = 0;
    bounds_.remove(p);
    selected_.erase(selected_.begin() + static_cast<std::ptrdiff_t>(p));
    current_ = score;
    ++removed_;
    return true;
  }

  const SearchContext& ctx_;
  SelectionMask& mask_;
  std::vector<std::size_t> selected_;
  RemovalBounds bounds_;
  std::optional<double> current_;  // the exact score of the selection, when known
  std::size_t removed_ = 0;
  std::vector<double> estimate_, upper_;
  std::vector<std::size_t> order_, batch_, without_;
};

}  // namespace

std::size_t run_removal_pass(const SearchContext& ctx, SelectionMask& mask, ObjectiveBreakdown& breakdown) {
  check_length(mask.size(), ctx.n, "final mask");
  require(ctx.view.weights != nullptr, "problem view without weights");
  Pass pass(ctx, mask, breakdown.objective_score);
  while (pass.round()) {
  }
  if (pass.removed() > 0) breakdown = ctx.evaluate(mask);
  return pass.removed();
}

}  // namespace quarnel
