#pragma once
// Per-call parameters of quantised scoring, derived from the caller's
// bits per component and vector dimension.
#include <cstdint>

namespace quarnel {

struct QuantizerParams {
  std::uint64_t num_bits = 0;    // 1, 4 or 8
  std::uint64_t dim = 0;         // dimension of the unquantised vectors
  std::uint64_t block_size = 0;  // smallest power of two >= dim (1 for dim 0 or 1)
  std::uint64_t padded_dim = 0;  // components a code stands for: block_size, or 0 for dim 0

  // padded_dim as the f32 weight w of the scoring formula.
  float component_count() const { return static_cast<float>(padded_dim); }
};

// Throws InternalError "Only 1, 4, or 8-bit supported" for other bit counts,
// and for a dim above 2^63 (no 64-bit power of two reaches it).
QuantizerParams make_quantizer_params(std::uint64_t num_bits, std::uint64_t dim);

}  // namespace quarnel
