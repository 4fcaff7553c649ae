#pragma once
// Counts keyed by a pair of candidate indices: an open-addressing table with
// linear probing, so that the search's many look-ups per iteration cost a
// multiply and a probe or two instead of a node-based hash map's chase.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarnel {

class PairCounts {
 public:
  // `key` is any value but the all-ones word (pair keys pack two 32-bit indices
  // of which the second is larger, so they never are).
  std::uint64_t get(std::uint64_t key) const {
    if (size_ == 0) return 0;
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      if (keys_[i] == key) return counts_[i];
      if (keys_[i] == kEmpty) return 0;
    }
  }
  void increment(std::uint64_t key) {
    if (2 * (size_ + 1) > keys_.size()) grow();
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      if (keys_[i] == key) {
        ++counts_[i];
        return;
      }
      if (keys_[i] == kEmpty) {
        keys_[i] = key, counts_[i] = 1, ++size_;
        return;
      }
    }
  }
  void clear() {
    if (size_ == 0) return;
    std::fill(keys_.begin(), keys_.end(), kEmpty);
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }
  void grow() {
    std::vector<std::uint64_t> old_keys = std::move(keys_), old_counts = std::move(counts_);
    const std::size_t capacity = old_keys.empty() ? 1024 : 2 * old_keys.size();
    keys_.assign(capacity, kEmpty);
    counts_.assign(capacity, 0);
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    size_ = 0;
    for (std::size_t i = 0; i < old_keys.size(); ++i) {
      if (old_keys[i] == kEmpty) continue;
      std::size_t j = slot_of(old_keys[i]);
      while (keys_[j] != kEmpty) j = (j + 1) & mask_;
      keys_[j] = old_keys[i], counts_[j] = old_counts[i], ++size_;
    }
  }

  std::vector<std::uint64_t> keys_, counts_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace quarnel
