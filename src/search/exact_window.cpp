#include "search/exact_window.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "backend/thread_pool.hpp"
#include "core/constraint_check.hpp"
#include "core/delta_cache.hpp"
#include "core/move_scoring.hpp"
#include "core/panic.hpp"
#include "core/scores.hpp"
#include "search/exact_window_bound.hpp"
#include "search/exact_window_scorer.hpp"

namespace quarnel {
namespace {

// Whole milliseconds since `start`; a clock that went backwards reads as 0.
std::int64_t elapsed_whole_ms(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  return ns.count() < 0 ? 0 : ns.count() / 1000000;
}

// With a node limit, the exact scores a window may spend, in similarity pairs
// summed: an exact score is one sequential f32 sum over the node's pairs, so
// in a selection of thousands of chunks it takes milliseconds. About a tenth
// of a second. 16,384 nodes of 128 chunks sum 2^28 pairs, so only windows over
// longer selections can reach it (in practice those of about 1,000 chunks and
// more, where the bounds leave most nodes to score).
constexpr double kExactPairBudget = 268435456.0;  // 2^28

}  // namespace

WindowPlan plan_exact_window(const SearchContext& ctx, const SelectionMask& final_mask) {
  const std::size_t n = ctx.n;
  check_length(final_mask.size(), n, "final mask");
  const ProblemInstance& inst = ctx.instance;
  const std::size_t k = std::min<std::uint64_t>({ctx.settings.config.exact_window_size, n, kMaxWindowSize});

  const DeltaCache cache = delta_cache(final_mask, inst, ctx.weights, ctx.similarity, ctx.symmetric_similarity);
  check_length(cache.add_gain.size(), n, "add gain");
  check_length(cache.remove_loss.size(), n, "remove loss");
  check_length(cache.redundancy.size(), n, "redundancy");

  std::vector<std::size_t> removable;
  std::vector<std::size_t> outside;
  std::vector<double> rank(n, 0.0);  // retention value or add priority, by index
  for (std::size_t i = 0; i < n; ++i) {
    if (final_mask[i] != 0) {
      if (ctx.constraints.is_required[i] != 0) continue;
      removable.push_back(i);
      rank[i] = retention_value(ctx.size_powers, i, ctx.unary[i], cache.remove_loss[i], cache.redundancy[i]);
    } else {
      outside.push_back(i);
      rank[i] = add_priority(ctx.size_powers, i, ctx.unary[i], cache.add_gain[i], cache.redundancy[i]);
    }
  }
  stable_sort_by_key_ascending(removable, rank);

  // Up to half the window from the weakest selected chunks, the rest from the
  // best outside candidates (only those need ordering).
  const std::size_t q = std::min({std::max<std::size_t>(k / 2, 1), k >= 2 ? k - 1 : 1, removable.size()});
  const std::size_t v = std::min(k > q ? k - q : 0, outside.size());
  stable_top_by_key_descending(outside, rank, v);

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
  ExactWindowResult result;
  const WindowPlan plan = plan_exact_window(ctx, final_mask);
  if (plan.window.empty()) return result;
  // The time limit covers the enumeration, not the choice of the window.
  const auto started = std::chrono::steady_clock::now();

  const std::size_t w = plan.window.size();
  const std::int64_t limit_ms =
      static_cast<std::int64_t>(std::clamp<std::uint64_t>(ctx.settings.config.exact_window_time_ms, 1,
                                                          std::numeric_limits<std::int64_t>::max()));
  const double margin = ctx.settings.margin();
  // With a node limit the clock is never read: the window then visits the
  // same nodes whatever the load and the thread count.
  const std::optional<std::uint64_t> node_limit = ctx.settings.exact_window_node_limit;
  const auto out_of_time = [&] { return !node_limit && elapsed_whole_ms(started) >= limit_ms; };

  // A node is a byte per universe entry (fixed selection and window).
  const std::vector<std::size_t> fixed = selected_indices(plan.base);
  WindowScorer scorer(ctx, fixed, plan.window);
  const std::vector<std::size_t>& universe = scorer.universe();
  const std::size_t m = universe.size();
  std::vector<std::uint8_t> local_mask(m, 0);
  for (std::size_t a = 0; a < m; ++a) local_mask[a] = plan.base[universe[a]];
  std::vector<std::size_t> local_selected;
  std::vector<std::size_t> node_selected;
  local_selected.reserve(m);
  node_selected.reserve(m);

  // Nodes the bound rules out cannot become the window best; the others are
  // scored exactly. Without a usable bound every node is scored.
  WindowBound bound(ctx, fixed, plan.window);
  const bool bounded = bound.usable();

  double best_score = final_breakdown.objective_score;
  bool best_found = false;
  std::uint64_t code = 0;
  std::uint64_t nodes = 0;
  bool exhaustive = false;
  double pairs_scored = 0.0;
  // Before each exact score, which may take milliseconds: the stop check,
  // and the time limit or, with a node limit, the budget of pairs (which
  // does not depend on the load). A spent limit ends the enumeration.
  auto may_score = [&] {
    ctx.check_stop();
    return node_limit ? pairs_scored < kExactPairBudget : !out_of_time();
  };
  // Scores the node `node_code` exactly if it meets the constraints (known
  // when `known_feasible`), and keeps it when it beats the window best.
  auto score_exactly = [&](std::uint64_t node_code, bool known_feasible) {
    for (std::size_t j = 0; j < w; ++j) local_mask[scorer.window_position(j)] = (node_code >> j) & 1u;
    local_selected.clear();
    node_selected.clear();
    for (std::size_t a = 0; a < m; ++a) {
      if (local_mask[a] == 0) continue;
      local_selected.push_back(a);
      node_selected.push_back(universe[a]);
    }
    if (!known_feasible && !constraints_satisfied(ctx.constraints, node_selected, ctx.instance)) return;
    // The fast score screens the node; the full breakdown is built only for
    // a node that beats the window best.
    const double size = static_cast<double>(local_selected.size());
    pairs_scored += size * size;
    if (!(static_cast<double>(scorer.score(node_code, local_selected)) > best_score + margin)) return;
    SelectionMask node(ctx.n, 0);
    for (std::size_t i : node_selected) node[i] = 1;
    ObjectiveBreakdown breakdown = ctx.evaluate(node, node_selected);
    if (breakdown.objective_score > best_score + margin) {
      best_score = breakdown.objective_score;
      result.best_mask = std::move(node);
      result.best_breakdown = breakdown;
      best_found = true;
    }
  };

  const std::uint64_t all_codes = std::uint64_t{1} << w;
  if (!bounded) {
    while (true) {
      if ((node_limit && nodes >= *node_limit) || !may_score()) break;
      const std::uint64_t node_code = code++;
      ++nodes;
      score_exactly(node_code, false);
      if (code == all_codes) {
        exhaustive = true;
        break;
      }
    }
  } else {
    // Blocks of consecutive codes: a walker steps through a block in Gray-code
    // order (one entry changes per node) and notes each node's feasibility and
    // bound; blocks of a round are walked in parallel, each by its own walker.
    // Then the nodes are decided in code order, so that the window best is
    // the same as in a plain walk. The time limit is read before each round
    // and each exact score.
    const std::size_t block_bits = std::min<std::size_t>(w, 10);
    const std::uint64_t block = std::uint64_t{1} << block_bits;
    const std::uint64_t blocks = all_codes / block;
    const std::uint64_t round = std::min<std::uint64_t>(blocks, 2 * pool_thread_count());
    std::vector<double> upper(round * block);
    std::vector<std::uint8_t> feasible(round * block);
    // A node limit is rounded up to whole blocks, which do not depend on
    // the thread count as the rounds do.
    const std::uint64_t last_code =
        node_limit ? (std::min(*node_limit, all_codes) + block - 1) / block * block : all_codes;
    while (true) {
      if (out_of_time() || code >= last_code) break;
      ctx.check_stop();
      const std::uint64_t in_round = std::min<std::uint64_t>(round, (last_code - code) / block);
      parallel_for(in_round, [&](std::size_t first, std::size_t last) {
        WindowBound::Walker walker = bound.start();
        for (std::size_t b = first; b < last; ++b) {
          const std::uint64_t base = code + b * block;
          double* block_upper = upper.data() + b * block;
          std::uint8_t* block_feasible = feasible.data() + b * block;
          for (std::uint64_t i = 0; i < block; ++i) {
            const std::uint64_t g = i ^ (i >> 1);
            walker.move_to(base | g);
            block_feasible[g] = walker.feasible() ? 1 : 0;
            block_upper[g] = walker.upper_bound();
          }
        }
      });
      bool spent = false;
      std::uint64_t g = 0;
      for (; g < in_round * block; ++g) {
        if (feasible[g] && upper[g] > best_score + margin) {
          if (!may_score()) {
            spent = true;
            break;
          }
          score_exactly(code + g, true);
        }
        ++nodes;
      }
      code += g;
      if (spent) break;
      if (code == all_codes) {
        exhaustive = true;
        break;
      }
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
