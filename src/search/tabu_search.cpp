#include "search/tabu_search.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include "backend/thread_pool.hpp"
#include "core/delta_cache.hpp"
#include "core/move_scoring.hpp"
#include "core/panic.hpp"
#include "core/saturating.hpp"
#include "core/scores.hpp"
#include "search/constructions.hpp"

namespace quarnel {
namespace {

constexpr double kValueEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kNoScore = -std::numeric_limits<double>::infinity();
// Moves are handed to other threads in pieces of at least this many: fewer
// score faster than another thread can take them up.
constexpr std::size_t kMovesPerPiece = 256;

// ceil(sqrt(x)) in f64, converted with saturation.
std::uint64_t ceil_sqrt(std::size_t x) {
  const double root = std::ceil(std::sqrt(static_cast<double>(x)));
  return root >= 18446744073709551616.0 ? kMaxU64 : static_cast<std::uint64_t>(root);
}

}  // namespace

SearchThresholds SearchThresholds::from_patience(std::uint64_t patience) {
  SearchThresholds t;
  t.patience = patience;
  t.divisor = patience / 4 < 3 ? 2 : patience / 4;
  t.half_patience = patience / 2 > 1 ? patience / 2 : 1;
  t.diversify_at = patience < 14 ? 6 : patience / 2;
  t.destroy_at = t.diversify_at + 2;
  return t;
}

std::uint64_t reactive_tenure(std::uint64_t base, std::uint64_t max_tenure, std::uint64_t stagnation) {
  if (stagnation == 0) return base;
  const std::uint64_t ceiling = max_tenure > base ? max_tenure : base;
  const std::uint64_t step = std::min(base > 1 ? base : 1, stagnation / 2);
  return std::min(ceiling, saturating_add(base, step));
}

NeighbourhoodSize neighbourhood_size(std::size_t n, std::size_t candidates, std::size_t selected,
                                     std::uint64_t stagnation, std::uint64_t divisor) {
  const std::uint64_t widening = std::min<std::uint64_t>(stagnation / divisor, 2) + 1;
  const std::uint64_t incoming = std::max<std::uint64_t>(saturating_mul(saturating_mul(ceil_sqrt(n), 6), widening), 12);
  const std::uint64_t outgoing =
      std::max<std::uint64_t>(saturating_mul(saturating_mul(ceil_sqrt(selected), 4), widening), 6);
  return NeighbourhoodSize{static_cast<std::size_t>(std::min<std::uint64_t>(incoming, candidates)),
                           static_cast<std::size_t>(std::min<std::uint64_t>(outgoing, selected))};
}

bool move_admissible(double new_score, double current_score, double best_feasible_score, bool tabu,
                     bool past_half_patience, double margin) {
  if (new_score - best_feasible_score > margin) return true;
  return !tabu || (past_half_patience && new_score - current_score > margin);
}

std::size_t choose_move(std::span<const std::uint8_t> admissible, std::span<const double> value,
                        std::span<const double> delta, bool batched) {
  std::size_t kept = kNone;
  for (std::size_t i = 0; i < admissible.size(); ++i) {
    if (!admissible[i]) continue;
    if (kept == kNone) {
      kept = i;
      continue;
    }
    const double v = value[i], kv = value[kept];
    const bool replaces = batched ? v > kv || (std::fabs(v - kv) < kValueEpsilon && delta[i] >= delta[kept])
                                  : !(v < kv) && (v - kv >= kValueEpsilon || delta[i] > delta[kept]);
    if (replaces) kept = i;
  }
  return kept;
}

namespace {

// New scores and memory penalties of moves from one selection, by move slot,
// valid while their stamp is that selection's version.
class MoveScoreCache {
 public:
  // Room for `incoming` x `stride` slots; false (no caching) when that would
  // take too much memory.
  bool reserve(std::size_t incoming, std::size_t stride, std::uint64_t version) {
    version_ = version;
    if (stride == 0 || incoming > kMaxSlots / stride) return false;
    const std::size_t slots = incoming * stride;
    if (stamp_.size() < slots) stamp_.resize(slots, 0), score_.resize(slots), penalty_.resize(slots);
    return true;
  }
  bool holds(std::size_t slot) const { return stamp_[slot] == version_; }
  double score(std::size_t slot) const { return score_[slot]; }
  double penalty(std::size_t slot) const { return penalty_[slot]; }
  void keep(std::size_t slot, double score, double penalty) {
    score_[slot] = score, penalty_[slot] = penalty, stamp_[slot] = version_;
  }

 private:
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 20;
  std::uint64_t version_ = 0;
  std::vector<std::uint64_t> stamp_;
  std::vector<double> score_, penalty_;
};

// One solve's tabu search: the current, best feasible and best-any
// solutions, the incremental caches, and per-iteration buffers reused across
// iterations so that scoring a move allocates nothing.
class TabuSearch {
 public:
  TabuSearch(const SearchContext& ctx, const SearchStart& start, TabuMemory& memory, ElitePool& pool,
             SearchTrace& trace)
      : ctx_(ctx),
        config_(ctx.settings.config),
        n_(ctx.n),
        memory_(memory),
        pool_(pool),
        trace_(trace),
        thresholds_(SearchThresholds::from_patience(config_.early_stopping_patience)),
        batched_(ctx.backend.evaluates_moves() && config_.enable_gpu_move_evaluation),
        symmetric_(ctx.symmetric_similarity),
        current_(start.mask),
        breakdown_(start.breakdown),
        satisfied_(start.satisfied) {
    check_length(current_.size(), n_, "starting mask");
    check_length(ctx.instance.token_costs.size(), n_, "token costs");
    check_length(ctx.unary.size(), n_, "unary scores");
    check_length(ctx.constraints.is_excluded.size(), n_, "excluded flags");
    check_length(ctx.constraints.is_required.size(), n_, "required flags");
    require(memory.candidate_count() == n_, "tabu memory sized for another instance");

    best_any_ = ScoredSolution{current_, breakdown_};
    best_feasible_ = ScoredSolution{SelectionMask(n_, 0), ObjectiveBreakdown{}};
    best_feasible_.breakdown.objective_score = kNoScore;
    if (satisfied_) best_feasible_ = best_any_, has_best_feasible_ = true;

    add_key_.assign(n_, 0.0);
    keep_key_.assign(n_, 0.0);
    rebuild_caches();
    if (coverage_) coverage_by_candidate_ = coverage_by_candidate(ctx.instance);
    deltas_.emplace(ctx.instance, ctx.weights, ctx.similarity, symmetric_);
  }

  SearchOutcome run() {
    const std::uint64_t iterations = config_.iterations;
    trace_.stop_reason = "iterations";
    for (std::uint64_t k = 0; k < iterations; ++k) {
      ctx_.check_stop();
      memory_.advance_iteration();
      if (config_.enable_reactive_tenure)
        memory_.set_current_tenure(reactive_tenure(memory_.base_tenure(), memory_.max_tenure(), stagnation_));
      order_lists();
      build_moves();
      if (moves_in_.empty()) {
        trace_.stop_reason = "no_moves";
        break;
      }
      score_moves();
      const std::size_t chosen = choose_move(admissible_, value_, delta_, batched_);
      if (chosen == kNone) {
        ++stagnation_;
      } else {
        apply_move(moves_in_[chosen], moves_out_[chosen]);
        update_best(k, true);
        trace_.objective_trace.push_back(breakdown_.objective_score);
      }

      if (thresholds_.diversify_at <= stagnation_ && stagnation_ < thresholds_.patience) {
        diversify(k);
        stagnation_ = 0;  // a new search phase starts
        continue;
      }
      if (stagnation_ >= thresholds_.patience) {
        trace_.stop_reason = "patience";
        break;
      }
    }

    SearchOutcome outcome;
    outcome.has_best_feasible = has_best_feasible_;
    outcome.best_feasible = std::move(best_feasible_);
    outcome.best_any = std::move(best_any_);
    outcome.best_iteration = best_iteration_;
    return outcome;
  }

 private:
  void rebuild_caches() {
    if (batched_) return;
    row_sums_ = redundancy_row_sums(current_, ctx_.similarity, n_, symmetric_);
    coverage_ = coverage_top_k(current_, ctx_.instance, ctx_.weights);
  }

  // The selected list (ascending, and by ascending retention value) and the
  // candidate list (by descending add priority). An iteration that applied no
  // move leaves the lists and keys as they were; only a widened neighbourhood
  // needs a longer stretch of the candidate order.
  void order_lists() {
    if (ordered_version_ != version_) {
      selected_.clear();
      unordered_.clear();
      for (std::size_t i = 0; i < n_; ++i) {
        if (current_[i] != 0)
          selected_.push_back(i);
        else if (!ctx_.constraints.is_excluded[i])
          unordered_.push_back(i);
      }
      const DeltaCache& cache = deltas_->update(current_, selected_);
      for (std::size_t i : unordered_) {
        const double gain = cache.add_gain[i];
        add_key_[i] = add_priority(ctx_.size_powers, i, ctx_.unary[i], gain, cache.redundancy[i]);
      }
      for (std::size_t i : selected_)
        keep_key_[i] = retention_value(ctx_.size_powers, i, ctx_.unary[i], cache.remove_loss[i], cache.redundancy[i]);
      by_retention_ = selected_;
      if (by_retention_.size() >= 2) stable_sort_by_key_ascending(by_retention_, keep_key_);
      ordered_version_ = version_;
      ordered_incoming_ = kNone;
    }
    size_ = neighbourhood_size(n_, unordered_.size(), selected_.size(), stagnation_, thresholds_.divisor);
    // Only the first `incoming` candidates of the order are ever read.
    if (ordered_incoming_ == kNone || size_.incoming > ordered_incoming_) {
      candidates_ = unordered_;
      if (candidates_.size() >= 2) stable_top_by_key_descending(candidates_, add_key_, size_.incoming);
      ordered_incoming_ = size_.incoming;
    }
  }

  // Swaps of the best-ranked candidates with the weakest selected chunks, and
  // pure adds, each only when the constraints allow it. Each move also gets
  // its slot in the score cache: (place of `in` in the order) x (place of
  // `out` among the selected, or their count for a pure add).
  void build_moves() {
    moves_in_.clear();
    moves_out_.clear();
    moves_slot_.clear();
    incoming_ = std::span<const std::size_t>(candidates_).first(size_.incoming);
    outgoing_ = std::span<const std::size_t>(by_retention_).first(size_.outgoing);
    const std::size_t stride = selected_.size() + 1;
    const SelectionState state = SelectionState::from_mask(current_, ctx_.instance, ctx_.constraints);
    SwapScreen swaps(ctx_.constraints, state, ctx_.instance, outgoing_);
    for (std::size_t r = 0; r < incoming_.size(); ++r) {
      const std::size_t in = incoming_[r];
      swaps.set_incoming(in);
      for (std::size_t k = 0; k < outgoing_.size(); ++k)
        if (swaps.allows(k)) moves_in_.push_back(in), moves_out_.push_back(outgoing_[k]), moves_slot_.push_back(r * stride + k);
      if (can_add(ctx_.constraints, in, state, ctx_.instance))
        moves_in_.push_back(in), moves_out_.push_back(n_), moves_slot_.push_back(r * stride + stride - 1);
    }
  }

  // Scores every move into the per-move arrays. In CPU mode the moves are
  // scored in parallel; each entry depends only on its move, so the choice made
  // afterwards in list order does not depend on the number of threads.
  void score_moves() {
    const std::size_t count = moves_in_.size();
    trace_.moves_scored += count;
    new_score_.resize(count), delta_.resize(count), value_.resize(count), admissible_.resize(count);
    // Same selection as the last scored iteration: the memory's counts and the
    // caches are unchanged, so only its recent records are taken anew.
    const bool same_selection = scored_version_ == version_;
    if (same_selection)
      move_memory_.refresh(memory_, incoming_, ctx_.instance);
    else
      move_memory_.prepare(memory_, current_, selected_, incoming_, ctx_.instance);

    const double current = breakdown_.objective_score;
    const double best = best_feasible_.breakdown.objective_score;
    const double margin = ctx_.settings.margin();
    const double frequency_weight = stagnation_ >= 5 ? 0.02 * static_cast<double>(stagnation_) : 0.0;
    const bool past_half_patience = stagnation_ >= thresholds_.half_patience;
    const std::vector<std::uint64_t>& counts = memory_.candidate_counts();
    // Everything but the new score, which the caller has filled in.
    auto judge = [&](std::size_t i, double penalty) {
      const std::size_t in = moves_in_[i], out = moves_out_[i];
      const double next = new_score_[i];
      delta_[i] = next - current;
      value_[i] = (delta_[i] - frequency_weight * static_cast<double>(counts[in])) - penalty;
      admissible_[i] = move_admissible(next, current, best, move_memory_.tabu(in, out), past_half_patience, margin);
    };

    if (batched_) {
      score_in_batches();
      for (std::size_t i = 0; i < count; ++i) judge(i, move_memory_.penalty(moves_in_[i], moves_out_[i]));
      scored_version_ = version_;
      return;
    }
    if (coverage_) {
      if (same_selection)
        fulfilment_moves_.extend(outgoing_);
      else
        fulfilment_moves_.prepare(ctx_.weights, ctx_.instance, *coverage_, coverage_by_candidate_, outgoing_);
    }
    scored_version_ = version_;
    const bool cached = moves_.reserve(size_.incoming, selected_.size() + 1, version_);
    const MoveScorer scorer(ctx_.weights, ctx_.instance, ctx_.similarity, row_sums_, current_,
                            coverage_ ? &*coverage_ : nullptr, coverage_ ? &fulfilment_moves_ : nullptr, symmetric_);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      // Moves come grouped by incoming candidate: its rows are worked out
      // once for the group. Buffers are kept per thread across iterations.
      thread_local FulfilmentMoves::Incoming incoming;
      incoming.in = kNone;
      constexpr std::size_t kAhead = 8;
      for (std::size_t i = begin; i < end; ++i) {
        const std::size_t in = moves_in_[i], out = moves_out_[i];
        const std::size_t slot = moves_slot_[i];
        if (i + kAhead < end) scorer.prefetch(moves_in_[i + kAhead], moves_out_[i + kAhead]);
        if (cached && moves_.holds(slot)) {
          new_score_[i] = moves_.score(slot);
          judge(i, moves_.penalty(slot));
          continue;
        }
        double change = 0.0;
        if (coverage_) {
          if (incoming.in != in) fulfilment_moves_.prepare_incoming(in, incoming);
          change = fulfilment_moves_.change(incoming, out);
        }
        new_score_[i] = current + scorer.delta(in, out, change);
        const double penalty = move_memory_.penalty(in, out);
        if (cached) moves_.keep(slot, new_score_[i], penalty);
        judge(i, penalty);
      }
    }, kMovesPerPiece);
  }

  // New scores from the backend, in consecutive batches of moves.
  void score_in_batches() {
    const std::size_t batch = static_cast<std::size_t>(std::max<std::uint64_t>(ctx_.settings.move_batch_size, 1));
    const std::size_t count = moves_in_.size();
    for (std::size_t first = 0; first < count; first += batch) {
      const std::size_t size = std::min(batch, count - first);
      const std::vector<float> scores =
          ctx_.backend.evaluate_swaps(current_, std::span<const std::size_t>(moves_in_).subspan(first, size),
                                      std::span<const std::size_t>(moves_out_).subspan(first, size), ctx_.view);
      require(scores.size() == size, "batch evaluation returned the wrong number of scores");
      for (std::size_t i = 0; i < size; ++i) new_score_[first + i] = scores[i];
    }
  }

  void apply_move(std::size_t in, std::size_t out) {
    ++version_;
    if (out < n_) current_[out] = 0;
    current_[in] = 1;
    if (!batched_) update_row_sums(row_sums_, ctx_.similarity, n_, in, out);
    after_.clear();
    for (std::size_t i = 0; i < n_; ++i)
      if (current_[i] != 0) after_.push_back(i);
    breakdown_ = ctx_.evaluate(current_, after_);
    if (!batched_) coverage_ = coverage_top_k(current_, ctx_.instance, ctx_.weights);
    satisfied_ = constraints_satisfied(ctx_.constraints, after_, ctx_.instance);
    memory_.record_move(current_, in, out, ctx_.instance);
  }

  // New best-any and best feasible solutions; only a move step counts the stagnation.
  void update_best(std::uint64_t k, bool counts_stagnation) {
    const double score = breakdown_.objective_score;
    const double margin = ctx_.settings.margin();
    if (score - best_any_.breakdown.objective_score > margin) best_any_ = ScoredSolution{current_, breakdown_};
    if (satisfied_ && score - best_feasible_.breakdown.objective_score > margin) {
      best_feasible_ = ScoredSolution{current_, breakdown_};
      has_best_feasible_ = true;
      pool_.insert(current_, score);
      best_iteration_ = k;
      if (counts_stagnation) stagnation_ = 0;
    } else if (counts_stagnation) {
      ++stagnation_;
    }
  }

  // Replaces the current solution by path relinking toward an elite solution,
  // else destroy and repair, else a fresh ordered construction; all of them
  // read the frequency memory before it is cleared.
  void diversify(std::uint64_t k) {
    const std::vector<std::uint64_t>& frequency = memory_.candidate_counts();
    std::optional<SelectionMask> next;
    if (config_.enable_path_relinking)
      next = path_relink(ctx_, current_, pool_, stagnation_, thresholds_.destroy_at, frequency);
    if (!next) {
      next = config_.enable_destroy_repair ? destroy_and_repair(ctx_, current_, frequency)
                                           : construct_ordered(ctx_, frequency);
    }
    check_length(next->size(), n_, "diversified mask");
    ++version_;
    current_ = std::move(*next);
    breakdown_ = ctx_.evaluate(current_);
    rebuild_caches();
    satisfied_ = check_constraints(ctx_.constraints, current_, ctx_.instance).satisfied;
    memory_.clear();
    update_best(k, false);
    trace_.objective_trace.push_back(breakdown_.objective_score);
    trace_.diversification_iterations.push_back(k);
  }

  const SearchContext& ctx_;
  const SolverConfig& config_;
  const std::size_t n_;
  TabuMemory& memory_;
  ElitePool& pool_;
  SearchTrace& trace_;
  const SearchThresholds thresholds_;
  const bool batched_;
  const bool symmetric_;

  SelectionMask current_;
  ObjectiveBreakdown breakdown_;
  bool satisfied_ = false;
  ScoredSolution best_any_;
  ScoredSolution best_feasible_;
  bool has_best_feasible_ = false;
  std::uint64_t best_iteration_ = 0;
  std::uint64_t stagnation_ = 0;

  std::vector<float> row_sums_;
  std::optional<CoverageTopK> coverage_;
  std::vector<float> coverage_by_candidate_;
  std::optional<DeltaCacheTracker> deltas_;
  FulfilmentMoves fulfilment_moves_;

  // Bumped whenever the current selection changes (a move, a diversification).
  // An iteration that applied nothing hands the next one the same selection,
  // caches and memory counts, so their preparation is kept and moves scored
  // before keep their new score and penalty.
  std::uint64_t version_ = 1;
  std::uint64_t ordered_version_ = 0;  // the selection order_lists last ordered
  std::size_t ordered_incoming_ = kNone;  // how much of the candidate order is in place
  std::uint64_t scored_version_ = 0;   // the selection score_moves last prepared for
  MoveScoreCache moves_;

  std::vector<std::size_t> selected_, unordered_, candidates_, by_retention_, after_;
  NeighbourhoodSize size_;
  std::span<const std::size_t> incoming_, outgoing_;
  std::vector<double> add_key_, keep_key_;
  std::vector<std::size_t> moves_in_, moves_out_, moves_slot_;
  std::vector<double> new_score_, delta_, value_;
  std::vector<std::uint8_t> admissible_;
  MoveMemory move_memory_;
};

}  // namespace

SearchOutcome run_tabu_search(const SearchContext& ctx, const SearchStart& start, TabuMemory& memory,
                              ElitePool& pool, SearchTrace& trace) {
  TabuSearch search(ctx, start, memory, pool, trace);
  return search.run();
}

}  // namespace quarnel
