// a (m x k) times b (k x n) with our own blocked kernel. Every entry is the
// plain sum c = ((0 + a0 b0) + a1 b1) + ... over the inner index in ascending
// order; the blocking only decides which entries are in registers together,
// so the bits are the same on every CPU, path and thread count.
#include <emmintrin.h>

#include <algorithm>

#include "backend/kernels.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

constexpr std::size_t kTileRows = 4;
constexpr std::size_t kTileCols = 8;
// Inner-index and column spans whose panel of b (128 KiB) stays in L2
// while every row of a passes over it.
constexpr std::size_t kDepthBlock = 128;
constexpr std::size_t kColBlock = 256;

// Adds a[i][p] * b[p][j] for p in [p0, p1) to a tile of rows x 8 entries of
// c, four columns per register; each lane is one entry's running sum.
template <std::size_t Rows>
void add_tile(const float* a, std::size_t k, const float* b, std::size_t n, float* c, std::size_t p0, std::size_t p1) {
  __m128 lo[Rows], hi[Rows];
  for (std::size_t r = 0; r < Rows; ++r) {
    lo[r] = _mm_loadu_ps(c + r * n);
    hi[r] = _mm_loadu_ps(c + r * n + 4);
  }
  for (std::size_t p = p0; p < p1; ++p) {
    const __m128 b_lo = _mm_loadu_ps(b + p * n), b_hi = _mm_loadu_ps(b + p * n + 4);
    for (std::size_t r = 0; r < Rows; ++r) {
      const __m128 x = _mm_set1_ps(a[r * k + p]);
      lo[r] = _mm_add_ps(lo[r], _mm_mul_ps(x, b_lo));
      hi[r] = _mm_add_ps(hi[r], _mm_mul_ps(x, b_hi));
    }
  }
  for (std::size_t r = 0; r < Rows; ++r) {
    _mm_storeu_ps(c + r * n, lo[r]);
    _mm_storeu_ps(c + r * n + 4, hi[r]);
  }
}

// The same sums for columns [j0, j1) of one row, one entry at a time.
void add_row_tail(const float* a_row, const float* b, std::size_t n, float* c_row, std::size_t j0, std::size_t j1,
                  std::size_t p0, std::size_t p1) {
  for (std::size_t j = j0; j < j1; ++j) {
    float s = c_row[j];
    for (std::size_t p = p0; p < p1; ++p) s += a_row[p] * b[p * n + j];
    c_row[j] = s;
  }
}

}  // namespace

std::vector<float> matmul(std::span<const float> a, std::size_t m, std::size_t k, std::span<const float> b,
                          std::size_t n) {
  check_length(a.size(), checked_product(m, k, "matmul: m * k overflows"), "matmul: left matrix");
  check_length(b.size(), checked_product(k, n, "matmul: k * n overflows"), "matmul: right matrix");
  std::vector<float> c(checked_product(m, n, "matmul: m * n overflows"), 0.0f);
  const float* pa = a.data();
  const float* pb = b.data();
  float* pc = c.data();
  // Depth blocks go in ascending order, each continuing the sums in c.
  for (std::size_t p0 = 0; p0 < k; p0 += kDepthBlock) {
    const std::size_t p1 = std::min(k, p0 + kDepthBlock);
    for (std::size_t j0 = 0; j0 < n; j0 += kColBlock) {
      const std::size_t j1 = std::min(n, j0 + kColBlock);
      const std::size_t tiled_end = j0 + (j1 - j0) / kTileCols * kTileCols;
      std::size_t i = 0;
      for (; i + kTileRows <= m; i += kTileRows) {
        for (std::size_t j = j0; j < tiled_end; j += kTileCols)
          add_tile<kTileRows>(pa + i * k, k, pb + j, n, pc + i * n + j, p0, p1);
        for (std::size_t r = i; r < i + kTileRows; ++r)
          add_row_tail(pa + r * k, pb, n, pc + r * n, tiled_end, j1, p0, p1);
      }
      for (; i < m; ++i) {
        for (std::size_t j = j0; j < tiled_end; j += kTileCols)
          add_tile<1>(pa + i * k, k, pb + j, n, pc + i * n + j, p0, p1);
        add_row_tail(pa + i * k, pb, n, pc + i * n, tiled_end, j1, p0, p1);
      }
    }
  }
  return c;
}

}  // namespace quarnel
