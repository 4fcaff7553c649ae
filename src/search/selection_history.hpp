#pragma once
// Which recorded selections held each candidate, one bit per record: the
// number of records that held two candidates is the popcount of their bits'
// AND. Recording a selection of m chunks costs O(m) instead of the O(m^2)
// increments a table of pair counts needs, which dominates a search over
// selections of thousands of chunks.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quarnel {

class SelectionHistory {
 public:
  explicit SelectionHistory(std::size_t n) : bits_(n) {}

  // Adds a record holding `selected` (distinct indices below n).
  void record(std::span<const std::size_t> selected) {
    const std::size_t word = records_ / 64;
    const std::uint64_t bit = std::uint64_t{1} << (records_ % 64);
    for (std::size_t i : selected) {
      std::vector<std::uint64_t>& words = bits_[i];
      if (words.size() <= word) words.resize(word + 1, 0);
      words[word] |= bit;
    }
    ++records_;
  }

  // The number of records that held both `a` and `b`.
  std::uint64_t together(std::size_t a, std::size_t b) const {
    if (records_ == 0) return 0;
    const std::vector<std::uint64_t>& x = bits_[a];
    const std::vector<std::uint64_t>& y = bits_[b];
    std::uint64_t count = 0;
    for (std::size_t w = 0, end = std::min(x.size(), y.size()); w < end; ++w)
      count += static_cast<std::uint64_t>(std::popcount(x[w] & y[w]));
    return count;
  }

  void clear() {
    if (records_ == 0) return;
    for (auto& words : bits_) words.clear();
    records_ = 0;
  }

 private:
  std::vector<std::vector<std::uint64_t>> bits_;  // per candidate
  std::size_t records_ = 0;
};

}  // namespace quarnel
