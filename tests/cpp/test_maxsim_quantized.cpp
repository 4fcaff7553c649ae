#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "maxsim/code_products.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"

namespace quarnel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t plain_product(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, std::uint64_t bits) {
  std::uint32_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (bits == 1) {
      for (int bit = 0; bit < 8; ++bit) total += ((a[k] ^ b[k]) >> bit) & 1u;
    } else if (bits == 4) {
      total += static_cast<std::uint32_t>(a[k] & 15) * (b[k] & 15);
      total += static_cast<std::uint32_t>(a[k] >> 4) * (b[k] >> 4);
    } else {
      total += static_cast<std::uint32_t>(a[k]) * b[k];
    }
  }
  return total;
}

std::string internal_error_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "<no InternalError>";
}

TEST(CodeProducts, VectorPathsEqualPlainLoops) {
  std::mt19937 rng(3);
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<std::uint8_t> a(n), b(n);
    for (auto& v : a) v = static_cast<std::uint8_t>(rng());
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    if (n > 3) a[1] = b[1] = 255;  // the largest byte product must not turn negative
    EXPECT_EQ(code_hamming_distance(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 1)) << n;
    EXPECT_EQ(code_dot_u4(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 4)) << n;
    EXPECT_EQ(code_dot_u8(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 8)) << n;
  }
  const std::uint8_t x = 0x21;
  EXPECT_EQ(code_dot_u4(&x, &x, 1), 5u);  // 1*1 + 2*2
}

TEST(CodeProducts, ByteSumsWrapAtThirtyTwoBits) {
  const std::vector<std::uint8_t> ones(70000, 255);
  const std::uint32_t expected = static_cast<std::uint32_t>(70000ull * 255 * 255);  // above 2^32, wrapped
  EXPECT_EQ(code_dot_u8(ones.data(), ones.data(), ones.size()), expected);
}

TEST(QuantizerParams, BlockSizeAndPaddedDim) {
  const std::uint64_t cases[][3] = {{0, 1, 0}, {1, 1, 1}, {5, 8, 8}, {8, 8, 8}, {9, 16, 16}, {128, 128, 128},
                                    {std::uint64_t{1} << 63, std::uint64_t{1} << 63, std::uint64_t{1} << 63}};
  for (const auto& c : cases) {
    const QuantizerParams p = make_quantizer_params(4, c[0]);
    EXPECT_EQ(p.block_size, c[1]) << c[0];
    EXPECT_EQ(p.padded_dim, c[2]) << c[0];
  }
  EXPECT_THROW(make_quantizer_params(8, (std::uint64_t{1} << 63) + 1), InternalError);
  EXPECT_THROW(make_quantizer_params(8, std::numeric_limits<std::uint64_t>::max()), InternalError);
  for (std::uint64_t bits : {0u, 2u, 3u, 16u}) {
    EXPECT_EQ(internal_error_message([&] { make_quantizer_params(bits, 128); }), "Only 1, 4, or 8-bit supported");
  }
}

TEST(QuantizedTokens, CodeSumConversion) {
  EXPECT_EQ(code_sum_from_f32(-3.5f), 0u);
  EXPECT_EQ(code_sum_from_f32(7.9f), 7u);
  EXPECT_EQ(code_sum_from_f32(5e9f), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(std::numeric_limits<float>::quiet_NaN()), 0u);
  EXPECT_EQ(code_sum_from_f32(kInf), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(-kInf), 0u);
  EXPECT_EQ(code_sum_from_f32(4294967040.0f), 4294967040u);  // largest f32 below 2^32
}

}  // namespace
}  // namespace quarnel
