#pragma once
// How many queries the scorers take together against one document.
#include <algorithm>
#include <cstddef>
#include <span>

#include "maxsim/token_tensor.hpp"

namespace quarnel {

// Queries scored together against one document: their rows stay in L2
// while the document's tokens pass through L1 once per query.
inline constexpr std::size_t kQueryBlockBytes = std::size_t{256} << 10;

inline std::size_t most_tokens(std::span<const TokenRows> items) {
  std::size_t most = 0;
  for (const TokenRows& item : items) most = std::max(most, item.count);
  return most;
}

}  // namespace quarnel
