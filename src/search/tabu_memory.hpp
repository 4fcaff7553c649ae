#pragma once
// The tabu search's memory: recent moves with their solutions, per-candidate,
// pair and cluster selection counts (the frequency memory), and the tenure.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "core/problem.hpp"

namespace quarnel {

// SipHash-1-3 with both keys 0 over the mask length (u64 little-endian) and the bytes.
std::uint64_t mask_fingerprint(const SelectionMask& mask);
// SipHash-1-3 with keys 0 over raw bytes (exposed for tests against published values).
std::uint64_t siphash13(const std::uint8_t* data, std::size_t length);

struct TabuRecord {
  SelectionMask mask;
  std::size_t added = 0;
  std::size_t removed = 0;  // n for a pure add
  std::uint64_t fingerprint = 0;
  std::uint64_t stamp = 0;
};

class TabuMemory {
 public:
  TabuMemory(std::uint64_t tenure, std::size_t n, float similarity_threshold);

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

  void set_current_tenure(std::uint64_t tenure) { current_tenure_ = tenure; }
  // Advances the iteration counter and drops records older than the maximum tenure.
  std::uint64_t advance_iteration();
  // Records an applied move: ring entry, tenure jitter, counts, ring trim.
  void record_move(const SelectionMask& mask, std::size_t added, std::size_t removed,
                   const ProblemInstance& instance);

  // 0.004*cluster + 0.005*candidate + 0.003*pair counts over the selection.
  double memory_penalty(const SelectionMask& mask, const ProblemInstance& instance) const;

 private:
  std::deque<TabuRecord> ring_;
  std::vector<std::uint64_t> candidate_counts_;
  std::unordered_map<std::uint64_t, std::uint64_t> pair_counts_;  // key (smaller << 32 | larger)
  std::unordered_map<std::int32_t, std::uint64_t> cluster_counts_;
  std::uint64_t max_tenure_;
  std::uint64_t base_tenure_;
  std::uint64_t current_tenure_;
  std::uint64_t iteration_ = 0;
  float similarity_threshold_;
};

}  // namespace quarnel
