#pragma once
// Counts that saturate at the largest uint64 instead of wrapping: limits
// derived from user-sized inputs stay at "no limit" when they overflow.
#include <cstdint>
#include <limits>

namespace quarnel {

inline constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kMaxU64 : product;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMaxU64 - b ? kMaxU64 : a + b; }

}  // namespace quarnel
