#include "search/removal_pass.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

#include "core/constraint_check.hpp"
#include "core/panic.hpp"
#include "search/removal_bounds.hpp"
#include "search/removal_scorer.hpp"

namespace quarnel {
namespace {

// The best removal of one round: the highest exact score, the lowest
// position among equals; a NaN never wins.
struct BestRemoval {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  double score = -std::numeric_limits<double>::infinity();
  std::size_t position = kNone;

  void offer(double score_without, std::size_t p) {
    if (score_without > score || (score_without == score && position != kNone && p < position)) {
      score = score_without;
      position = p;
    }
  }
};

// Whether the selection without the chunk at `p` meets every constraint.
bool removable(const SearchContext& ctx, const std::vector<std::size_t>& selected, std::size_t p,
               std::vector<std::size_t>& without) {
  without.assign(selected.begin(), selected.begin() + static_cast<std::ptrdiff_t>(p));
  without.insert(without.end(), selected.begin() + static_cast<std::ptrdiff_t>(p) + 1, selected.end());
  return constraints_satisfied(ctx.constraints, without, ctx.instance);
}

}  // namespace

std::size_t run_removal_pass(const SearchContext& ctx, SelectionMask& mask, ObjectiveBreakdown& breakdown) {
  check_length(mask.size(), ctx.n, "final mask");
  require(ctx.view.weights != nullptr, "problem view without weights");
  const double margin = ctx.settings.margin();
  std::vector<std::size_t> selected = selected_indices(mask);
  RemovalBounds bounds(ctx.view, selected);
  std::vector<std::size_t> without, order, batch;
  without.reserve(selected.size());
  std::vector<double> upper;
  float scores[RemovalScorer::kMaxLanes];
  double current = breakdown.objective_score;
  std::size_t removed = 0;

  while (!selected.empty()) {
    ctx.check_stop();
    const RemovalScorer scorer(ctx.view, selected);
    const std::size_t m = scorer.size();
    bounds.upper_bounds(scorer, upper);
    // Scored exactly from the highest bound down, until no bound left can
    // reach the best score found or beat the current one by the margin.
    order.resize(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return upper[a] > upper[b]; });
    BestRemoval best;
    for (std::size_t next = 0; next < m;) {
      batch.clear();
      for (; next < m && batch.size() < scorer.lanes(); ++next) {
        const double bound = upper[order[next]];
        if (bound < best.score || !(bound - current > margin)) {
          next = m;
          break;
        }
        // Only removals that keep the selection feasible are scored.
        if (removable(ctx, selected, order[next], without)) batch.push_back(order[next]);
      }
      if (batch.empty()) continue;
      scorer.score_without(batch, scores);
      for (std::size_t l = 0; l < batch.size(); ++l) best.offer(scores[l], batch[l]);
      ctx.check_stop();
    }
    if (best.position == BestRemoval::kNone || !(best.score - current > margin)) break;

    mask[selected[best.position]] = 0;
    bounds.remove(best.position);
    selected.erase(selected.begin() + static_cast<std::ptrdiff_t>(best.position));
    current = best.score;
    ++removed;
  }
  if (removed > 0) breakdown = ctx.evaluate(mask);
  return removed;
}

}  // namespace quarnel
