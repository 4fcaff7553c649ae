#include "maxsim/quantizer_params.hpp"

#include <string>

#include "core/panic.hpp"

namespace quarnel {

QuantizerParams make_quantizer_params(std::uint64_t num_bits, std::uint64_t dim) {
  constexpr std::uint64_t largest_power = std::uint64_t{1} << 63;
  if (dim > largest_power) {
    throw_internal("dim " + std::to_string(dim) + " is too large: no 64-bit power of two is at least that large");
  }
  std::uint64_t block_size = 1;
  while (block_size < dim) block_size *= 2;
  if (num_bits != 1 && num_bits != 4 && num_bits != 8) throw_internal("Only 1, 4, or 8-bit supported");

  QuantizerParams params;
  params.num_bits = num_bits;
  params.dim = dim;
  params.block_size = block_size;
  // Cannot overflow: dim and block_size are both at most 2^63.
  params.padded_dim = (dim + block_size - 1) / block_size * block_size;
  return params;
}

}  // namespace quarnel
