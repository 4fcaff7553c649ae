#include "search/exact_window.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "core/constraint_check.hpp"
#include "core/move_scoring.hpp"
#include "core/panic.hpp"
#include "core/scores.hpp"

namespace quarnel {
namespace {

double token_scale(std::uint32_t tokens) { return std::max(static_cast<double>(tokens), 1.0); }

// How much a selected chunk is worth keeping: what its removal would cost the
// fulfilment, its size-normalised unary score, less its redundancy.
double retention_value(double unary, std::uint32_t tokens, double remove_loss, double redundancy) {
  return (1.95 * remove_loss + unary / std::pow(token_scale(tokens), 0.9)) - 0.1 * redundancy;
}

// How promising an unselected candidate is: size-normalised unary score plus
// its fulfilment gain, less its redundancy with the selection.
double add_priority(double unary, std::uint32_t tokens, double add_gain, double redundancy) {
  const double scale = token_scale(tokens);
  return ((unary / std::pow(scale, 0.85) + 1.45 * add_gain) + 0.35 * add_gain / std::pow(scale, 0.65)) -
         0.06 * redundancy;
}

// Whole milliseconds since `start`; a clock that went backwards reads as 0.
std::int64_t elapsed_whole_ms(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  return ns.count() < 0 ? 0 : ns.count() / 1000000;
}

}  // namespace

WindowPlan plan_exact_window(const SearchContext& ctx, const SelectionMask& final_mask) {
  const std::size_t n = ctx.n;
  check_length(final_mask.size(), n, "final mask");
  const ProblemInstance& inst = ctx.instance;
  const std::size_t k = std::min<std::uint64_t>({ctx.settings.config.exact_window_size, n, kMaxWindowSize});

  const DeltaCache cache = delta_cache(final_mask, inst, ctx.weights, ctx.similarity);
  check_length(cache.add_gain.size(), n, "add gain");
  check_length(cache.remove_loss.size(), n, "remove loss");
  check_length(cache.redundancy.size(), n, "redundancy");

  std::vector<std::size_t> removable;
  std::vector<std::size_t> outside;
  std::vector<double> rank(n, 0.0);  // retention value or add priority, by index
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t tokens = inst.token_costs[i];
    if (final_mask[i] != 0) {
      if (ctx.constraints.is_required[i] != 0) continue;
      removable.push_back(i);
      rank[i] = retention_value(ctx.unary[i], tokens, cache.remove_loss[i], cache.redundancy[i]);
    } else {
      outside.push_back(i);
      rank[i] = add_priority(ctx.unary[i], tokens, cache.add_gain[i], cache.redundancy[i]);
    }
  }
  stable_sort_by_key_ascending(removable, rank);
  stable_sort_by_key_descending(outside, rank);

  // Up to half the window from the weakest selected chunks, the rest from the
  // best outside candidates.
  const std::size_t q = std::min({std::max<std::size_t>(k / 2, 1), k >= 2 ? k - 1 : 1, removable.size()});
  const std::size_t v = std::min(k > q ? k - q : 0, outside.size());

  WindowPlan plan;
  plan.window.assign(removable.begin(), removable.begin() + q);
  plan.window.insert(plan.window.end(), outside.begin(), outside.begin() + v);
  std::sort(plan.window.begin(), plan.window.end());
  plan.window.erase(std::unique(plan.window.begin(), plan.window.end()), plan.window.end());

  plan.base.assign(final_mask.begin(), final_mask.begin() + n);
  for (std::size_t i = 0; i < n; ++i) plan.base[i] = plan.base[i] != 0 ? 1 : 0;
  for (std::size_t i : plan.window) plan.base[i] = 0;
  plan.fixed_in = static_cast<std::uint64_t>(std::count(plan.base.begin(), plan.base.end(), 1));
  const std::uint64_t not_free = plan.fixed_in + plan.window.size();
  plan.fixed_out = n > not_free ? n - not_free : 0;
  return plan;
}

ExactWindowResult run_exact_window(const SearchContext& ctx, const SelectionMask& final_mask,
                                   const ObjectiveBreakdown& final_breakdown) {
  const auto started = std::chrono::steady_clock::now();
  ExactWindowResult result;
  const WindowPlan plan = plan_exact_window(ctx, final_mask);
  if (plan.window.empty()) return result;

  const std::size_t w = plan.window.size();
  const std::int64_t limit_ms =
      static_cast<std::int64_t>(std::clamp<std::uint64_t>(ctx.settings.config.exact_window_time_ms, 1,
                                                          std::numeric_limits<std::int64_t>::max()));
  const double margin = ctx.settings.margin();

  // A node is the base selection plus the window entries whose bits are set.
  // Its ascending selected list is the base list merged with those entries,
  // so a node costs O(selection + window), never O(n).
  const std::vector<std::size_t> base_selected = selected_indices(plan.base);
  SelectionMask node = plan.base;
  std::vector<std::size_t> node_selected;
  node_selected.reserve(base_selected.size() + w);

  double best_score = final_breakdown.objective_score;
  bool best_found = false;
  std::uint64_t code = 0;
  std::uint64_t nodes = 0;
  bool exhaustive = false;
  while (true) {
    if (elapsed_whole_ms(started) >= limit_ms) break;

    node_selected.clear();
    auto base_it = base_selected.begin();
    for (std::size_t j = 0; j < w; ++j) {
      const std::size_t entry = plan.window[j];
      const bool on = ((code >> j) & 1u) != 0;
      node[entry] = on ? 1 : 0;
      if (!on) continue;
      while (base_it != base_selected.end() && *base_it < entry) node_selected.push_back(*base_it++);
      node_selected.push_back(entry);
    }
    node_selected.insert(node_selected.end(), base_it, base_selected.end());

    const bool satisfied = constraints_satisfied(ctx.constraints, node_selected, ctx.instance);
    ++nodes;
    ++code;
    // The cheap score screens the node; the full breakdown is built only
    // for a node that beats the window best.
    if (satisfied &&
        static_cast<double>(selection_score_selected(ctx.view, node.data(), node_selected)) > best_score + margin) {
      ObjectiveBreakdown breakdown = ctx.evaluate(node);
      if (breakdown.objective_score > best_score + margin) {
        best_score = breakdown.objective_score;
        result.best_mask = node;
        result.best_breakdown = breakdown;
        best_found = true;
      }
    }
    if ((code >> w) != 0) {
      exhaustive = true;
      break;
    }
  }

  result.used = true;
  result.core_size = w;
  result.nodes = nodes;
  result.exhaustive = exhaustive;
  result.fixed_in = plan.fixed_in;
  result.fixed_out = plan.fixed_out;
  result.gap = exhaustive ? 0.0 : -1.0;
  result.improved = best_found && best_score > final_breakdown.objective_score + margin;
  if (!result.improved) {
    result.best_mask.clear();
    result.best_breakdown = ObjectiveBreakdown{};
  }
  return result;
}

}  // namespace quarnel
