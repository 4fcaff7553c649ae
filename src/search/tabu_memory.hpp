#pragma once
// The tabu search's memory: recent moves with their solutions, per-candidate,
// pair and cluster selection counts (the frequency memory), and the tenure.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/problem.hpp"
#include "search/pair_counts.hpp"
#include "search/selection_history.hpp"

namespace quarnel {

// Streaming SipHash-1-3 with both keys 0.
class SipHasher13 {
 public:
  void write(const std::uint8_t* data, std::size_t length);
  void write_u64(std::uint64_t value);  // little-endian
  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t block);

  std::uint64_t v0_ = 0x736f6d6570736575ULL;
  std::uint64_t v1_ = 0x646f72616e646f6dULL;
  std::uint64_t v2_ = 0x6c7967656e657261ULL;
  std::uint64_t v3_ = 0x7465646279746573ULL;
  std::uint64_t tail_ = 0;  // pending bytes, little-endian
  std::size_t tail_length_ = 0;
  std::uint64_t total_length_ = 0;
};

// SipHash-1-3 with keys 0 over raw bytes (exposed for tests against published values).
std::uint64_t siphash13(const std::uint8_t* data, std::size_t length);
// SipHash-1-3 with both keys 0 over the mask length (u64 little-endian) and the bytes.
std::uint64_t mask_fingerprint(const SelectionMask& mask);
// The fingerprint of `mask` with `out` cleared and `in` set (either may be
// >= mask.size() for none), without copying the mask.
std::uint64_t moved_mask_fingerprint(const SelectionMask& mask, std::size_t in, std::size_t out);

struct TabuRecord {
  SelectionMask mask;
  std::size_t added = 0;
  std::size_t removed = 0;  // n for a pure add
  std::uint64_t fingerprint = 0;
  std::uint64_t stamp = 0;
  std::uint64_t selected = 0;  // number of selected positions in mask
};

class TabuMemory {
 public:
  TabuMemory(std::uint64_t tenure, std::size_t n, float similarity_threshold);

  // Forgets moves and counts and restarts the iteration counter; tenures and threshold stay.
  void clear();

  const std::deque<TabuRecord>& ring() const { return ring_; }
  const std::vector<std::uint64_t>& candidate_counts() const { return candidate_counts_; }
  std::uint64_t pair_count(std::size_t a, std::size_t b) const;  // any order
  std::uint64_t cluster_count(std::int32_t cluster) const;
  std::uint64_t max_tenure() const { return max_tenure_; }
  std::uint64_t base_tenure() const { return base_tenure_; }
  std::uint64_t current_tenure() const { return current_tenure_; }
  std::uint64_t iteration() const { return iteration_; }
  float similarity_threshold() const { return similarity_threshold_; }
  std::size_t candidate_count() const { return n_; }

  void set_current_tenure(std::uint64_t tenure) { current_tenure_ = tenure; }
  // Changes whenever the counts or the records do (a recorded move, a clear);
  // an advancing iteration only lets records age.
  std::uint64_t revision() const { return revision_; }
  // Advances the iteration counter and drops records older than the maximum tenure.
  std::uint64_t advance_iteration();
  // Records an applied move: ring entry, tenure jitter, counts, ring trim.
  void record_move(const SelectionMask& mask, std::size_t added, std::size_t removed,
                   const ProblemInstance& instance);

  // 0.004*cluster + 0.005*candidate + 0.003*pair counts over the selection;
  // pairs only between selected indices at most eight places apart.
  double memory_penalty(const SelectionMask& mask, const ProblemInstance& instance) const;

  // Whether the move that produced `after` (adding `added`, removing `removed`,
  // n for none) is tabu: it undoes a recent move, or its solution equals or
  // closely resembles a recent one.
  bool is_tabu(const SelectionMask& after, std::size_t added, std::size_t removed) const;

  // The records still within the current tenure, newest first.
  template <typename Visit>
  void for_each_recent(Visit&& visit) const {
    for (auto it = ring_.rbegin(); it != ring_.rend(); ++it) {
      if (iteration_ - it->stamp > current_tenure_) break;
      visit(*it);
    }
  }

 private:
  std::deque<TabuRecord> ring_;
  std::vector<std::uint64_t> candidate_counts_;
  // Pair counts: those of small selections in a table, of long ones as a
  // history of which records held each candidate.
  PairCounts pair_counts_;  // key (smaller << 32 | larger)
  SelectionHistory long_records_;
  std::unordered_map<std::int32_t, std::uint64_t> cluster_counts_;
  std::size_t n_;
  std::uint64_t max_tenure_;
  std::uint64_t base_tenure_;
  std::uint64_t current_tenure_;
  std::uint64_t iteration_ = 0;
  std::uint64_t revision_ = 0;
  float similarity_threshold_;
};

// Tabu status and memory penalty of the moves from one current selection.
// Prepared once per iteration, so that a move costs O(records) for its tabu
// status and O(1) for its penalty: the selection after a move differs from the
// current one in two positions, so the Jaccard counts against each record and
// the eight-wide pair window are corrected around those positions instead of
// rescanning a copied mask. Gives the same results as TabuMemory::is_tabu and
// memory_penalty on the moved mask.
class MoveMemory {
 public:
  // `selected` ascending; `incoming` every candidate whose penalty will be asked for.
  void prepare(const TabuMemory& memory, const SelectionMask& current, std::span<const std::size_t> selected,
               std::span<const std::size_t> incoming, const ProblemInstance& instance);
  // The same, a later iteration, when neither the selection nor the memory's
  // counts and records have changed since prepare(): only the records within
  // the tenure are taken anew, and `incoming` may extend the earlier list.
  void refresh(const TabuMemory& memory, std::span<const std::size_t> incoming, const ProblemInstance& instance);

  // `out` >= n means a pure add. Read-only: safe to call from several threads.
  bool tabu(std::size_t in, std::size_t out) const;
  double penalty(std::size_t in, std::size_t out) const;

 private:
  struct Recent {
    const TabuRecord* record;
    std::uint64_t common;  // positions selected in both the record and the current selection
    // The least count of common positions after a swap (after an add) at
    // which the Jaccard similarity with the record reaches the threshold: the
    // quotient only grows with the count, so one comparison decides.
    std::uint64_t tabu_from_swap, tabu_from_add;
  };
  static constexpr std::size_t kReach = 8;  // pair window width
  static constexpr std::size_t kSpan = 2 * kReach + 2;
  static constexpr std::uint32_t kUnprepared = 0xFFFFFFFFu;

  void prepare_recent(const TabuMemory& memory);
  // Neighbour counts and insertion changes of the incoming candidates not prepared yet.
  void prepare_incoming(const TabuMemory& memory, std::span<const std::size_t> incoming,
                        const ProblemInstance& instance);
  void check_move(std::size_t in, std::size_t out) const;
  std::uint64_t band(std::size_t position, std::size_t distance) const;
  std::uint64_t pair_sum_after(std::size_t in, std::size_t out) const;

  const TabuMemory* memory_ = nullptr;
  const SelectionMask* current_ = nullptr;
  std::size_t n_ = 0;
  std::size_t m_ = 0;  // selected count
  std::vector<std::size_t> selected_;
  std::uint64_t revision_ = 0;  // the memory's, at prepare()
  float threshold_ = 0.0f;
  bool jaccard_decides_ = true;
  std::vector<Recent> recent_;
  std::uint64_t frequency_sum_ = 0, cluster_sum_ = 0, pair_sum_ = 0;
  std::vector<std::uint64_t> cluster_weight_;  // per candidate: the count of its cluster
  std::vector<std::uint32_t> rank_;            // per candidate: selected indices below it
  std::vector<std::uint64_t> band_;            // pair counts of positions a, a+d, d = 1..kReach+1
  std::vector<std::uint32_t> slot_;            // per incoming candidate: its row of neighbour counts
  std::vector<std::size_t> slotted_;
  std::vector<std::uint64_t> neighbours_;      // pair counts with the selected around its rank
  // What removing the chunk at a position, or inserting an incoming candidate
  // (by slot), alone does to the pair sum (mod 2^64). Far apart, the two
  // changes touch disjoint pair windows and simply add up.
  std::vector<std::uint64_t> removal_change_, insertion_change_;
};

}  // namespace quarnel
