#pragma once
// Walks the exact window's subset codes in order, keeping per code, in O(1)
// amortised work: whether the node meets the constraints, and an upper bound
// of its single-precision objective. A node whose bound does not beat the
// window best by the margin cannot become the best, so only the few nodes
// near the best need the exact score.
//
// The bound is an f64 evaluation of the objective with exact sums, plus a
// rigorous bound of the rounding error of the f32 evaluation (recursive
// summation of k terms errs by at most k*u times their absolute sum) and of
// the f64 drift of the running sums.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/role.hpp"
#include "search/context.hpp"

namespace quarnel {

class WindowBound {
 public:
  // `fixed` and `window` are ascending and disjoint, as for WindowScorer.
  WindowBound(const SearchContext& ctx, std::span<const std::size_t> fixed, std::span<const std::size_t> window);
  WindowBound(const WindowBound&) = delete;  // walkers point at their tables
  WindowBound& operator=(const WindowBound&) = delete;

  // False when the inputs hold non-finite values or a row has too many
  // entries that can reach its four best: then every node is scored exactly.
  bool usable() const { return usable_; }

  // The running state of one walk over codes; the tables stay shared, so
  // several walkers may cover different codes on different threads.
  class Walker {
   public:
    // Moves the state to `code` (any code; cheapest for the next one).
    void move_to(std::uint64_t code) {
      std::uint64_t changed = code ^ code_;
      while (changed != 0) {
        flip(static_cast<std::size_t>(std::countr_zero(changed)));
        changed &= changed - 1;
      }
      code_ = code;
    }
    // Exactly what constraints_satisfied says of the current node.
    bool feasible() const {
      const WindowBound& b = *bound_;
      if ((excluded_count_ | clusters_over_ | required_missing_) != 0) return false;
      if (count_ > 0 && total_tokens_ > b.max_tokens_) return false;
      if (total_tokens_ < b.min_tokens_ || count_ < b.min_chunks_ || count_ > b.max_chunks_) return false;
      for (std::uint32_t roles = b.required_roles_; roles != 0; roles &= roles - 1)
        if (role_counts_[static_cast<std::size_t>(std::countr_zero(roles))] == 0) return false;
      return true;
    }
    // At least the f32 objective of the current node.
    double upper_bound() const {
      return linear_ + fulfilment_ + bound_->error_ + bound_->drift_step_ * static_cast<double>(flips_ + 1);
    }

   private:
    friend class WindowBound;
    void flip(std::size_t j);
    // Adds (on) or removes one chunk's tokens, role, cluster, id and exclusion.
    void enter(std::uint64_t tokens, std::uint32_t role, std::uint32_t cluster, std::uint32_t id,
               std::uint8_t excluded, bool on);

    const WindowBound* bound_ = nullptr;
    std::uint64_t code_ = 0;
    std::uint64_t total_tokens_ = 0, count_ = 0, excluded_count_ = 0, clusters_over_ = 0, required_missing_ = 0;
    std::array<std::uint64_t, kRoleCount> role_counts_{};
    std::vector<std::uint64_t> cluster_counts_;
    std::vector<std::uint32_t> id_counts_;
    std::vector<std::uint8_t> selected_;  // per window entry
    std::vector<double> pair_sum_;        // per entry: sum of pair_ with the selected entries
    double linear_ = 0.0;                 // everything but fulfilment, of the current node
    std::vector<std::uint32_t> row_index_;  // per active row: current subset
    double fulfilment_ = 0.0;
    std::uint64_t flips_ = 0;
  };

  // A walker at code 0: the fixed chunks alone.
  const Walker& start() const { return start_; }

 private:
  bool usable_ = false;
  std::size_t w_ = 0;

  // Feasibility: constants and per-entry attributes.
  std::uint64_t max_tokens_ = 0, min_tokens_ = 0, min_chunks_ = 0, max_chunks_ = 0, cap_ = 0;
  std::uint32_t required_roles_ = 0;  // bit per role slot
  std::vector<std::uint64_t> tokens_;
  std::vector<std::uint32_t> role_bit_, cluster_, id_;
  std::vector<std::uint8_t> excluded_;
  std::vector<std::uint8_t> id_required_;

  // Objective: linear terms and similarity with the fixed chunks per entry,
  // pair terms, and each row's fulfilment term by subset of its relevant entries.
  std::vector<double> single_;  // w
  std::size_t stride_ = 0;      // w rounded up to even
  std::vector<double> pair_;    // w x stride, zero diagonal and padding
  struct RowEntry {
    std::uint32_t row;
    std::uint32_t bit;
  };
  std::vector<RowEntry> row_entries_;    // grouped by window entry
  std::vector<std::size_t> entry_rows_;  // w + 1 offsets into row_entries_
  std::vector<std::size_t> row_offset_;  // per active row: start of its terms
  std::vector<double> row_terms_;
  double error_ = 0.0;       // f32 rounding bound, for every node
  double drift_step_ = 0.0;  // f64 drift bound per flip
  Walker start_;
};

}  // namespace quarnel
