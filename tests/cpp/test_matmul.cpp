#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "backend/kernels.hpp"
#include "core/panic.hpp"
#include "literal_kernels.hpp"

namespace quarnel {
namespace {

using testing::same_bits;
using testing::spread_values;

// The order matmul promises: each entry summed over ascending p from +0.0.
std::vector<float> triple_loop(const std::vector<float>& a, std::size_t m, std::size_t k, const std::vector<float>& b,
                               std::size_t n) {
  std::vector<float> c(m * n);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      float s = 0.0f;
      for (std::size_t p = 0; p < k; ++p) s = s + a[i * k + p] * b[p * n + j];
      c[i * n + j] = s;
    }
  return c;
}

void expect_same_as_triple_loop(std::size_t m, std::size_t k, std::size_t n, std::size_t specials_every = 0) {
  const auto a = spread_values(m * k, static_cast<std::uint32_t>(m * 131 + k), specials_every);
  const auto b = spread_values(k * n, static_cast<std::uint32_t>(n * 17 + k + 1), specials_every);
  const auto expected = triple_loop(a, m, k, b, n);
  const auto c = matmul(a, m, k, b, n);
  ASSERT_EQ(c.size(), expected.size());
  for (std::size_t e = 0; e < c.size(); ++e)
    ASSERT_TRUE(same_bits(c[e], expected[e])) << m << "x" << k << "x" << n << " entry " << e << ": " << c[e]
                                              << " != " << expected[e];
}

TEST(Matmul, BitsOfThePlainLoopOnEveryShape) {
  // Single rows and columns, row and column tails around the 4 x 8 tiles,
  // and inner and column lengths past one cache block (128 and 256).
  const std::size_t shapes[][3] = {{1, 1, 1},  {1, 37, 1},  {1, 9, 19},   {7, 5, 1},    {4, 8, 8},
                                   {5, 3, 9},  {3, 129, 7}, {9, 300, 17}, {6, 130, 270}, {13, 257, 33}};
  for (const auto& s : shapes) expect_same_as_triple_loop(s[0], s[1], s[2]);
  // NaN, infinities and signed zeros travel through the same sums.
  expect_same_as_triple_loop(6, 40, 21, 5);
}

TEST(Matmul, EmptyInnerDimensionGivesPositiveZeros) {
  const auto c = matmul({}, 3, 0, {}, 9);
  ASSERT_EQ(c.size(), 27u);
  for (float x : c) EXPECT_FALSE(std::signbit(x) || x != 0.0f);
  // A lone -0 product still sums to +0 from the +0 start.
  EXPECT_FALSE(std::signbit(matmul(std::vector<float>{-0.0f}, 1, 1, std::vector<float>{1.0f}, 1)[0]));
}

TEST(Matmul, OverflowingShapesAreInternalErrors) {
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
  EXPECT_THROW(matmul({}, huge, 2, {}, 0), InternalError);
  EXPECT_THROW(matmul({}, 0, huge, {}, 2), InternalError);
  EXPECT_THROW(matmul({}, huge, 0, {}, 2), InternalError);
}

}  // namespace
}  // namespace quarnel
