// AVX-512 similarity tiles: six rows (three registers of two rows) against
// eight columns, 24 accumulators of the 32 registers. Every function here
// carries the AVX-512 target (see simd.hpp); normalising rows and batch dot
// products stay on the AVX2 kernels (see f32_kernels.cpp).
#include <algorithm>

#include "backend/dot_block_avx512.hpp"
#include "backend/f32_kernels.hpp"

namespace quarnel::avx512 {
namespace {

constexpr std::size_t kPairs = 3;
constexpr std::size_t kGridRows = 2 * kPairs, kGridColumns = 8;

// values[r][c] = dot8(rows[r], columns[c]) (mul(row, column) in every product).
QUARNEL_TARGET_AVX512 void grid(const float* const (&rows)[kGridRows], const float* const (&columns)[kGridColumns],
                                std::size_t dim, float (&values)[kGridRows][kGridColumns]) {
  __m512 acc[kPairs][kGridColumns];
  for (auto& pair : acc)
    for (auto& a : pair) a = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= dim; i += 8) {
    __m512 pair[kPairs];
    for (std::size_t p = 0; p < kPairs; ++p) pair[p] = load_pair(rows[2 * p] + i, rows[2 * p + 1] + i);
    for (std::size_t c = 0; c < kGridColumns; ++c) {
      const __m512 column = load_twice(columns[c] + i);
      for (std::size_t p = 0; p < kPairs; ++p) acc[p][c] = _mm512_add_ps(acc[p][c], _mm512_mul_ps(pair[p], column));
    }
  }
  for (std::size_t p = 0; p < kPairs; ++p) {
    // [a x c0..c3, b x c0..c3, a x c4..c7, b x c4..c7] for rows a = 2p, b = 2p + 1.
    alignas(64) float lane[16];
    _mm512_store_ps(lane, reduce_eight(acc[p]));
    for (std::size_t e = 0; e < 16; ++e) values[2 * p + (e / 4) % 2][e % 4 + 4 * (e / 8)] = lane[e];
  }
  if (i == dim) return;
  // dot8 appends the last dim % 8 products one by one.
  for (std::size_t r = 0; r < kGridRows; ++r) {
    for (std::size_t c = 0; c < kGridColumns; ++c) {
      float s = values[r][c];
      for (std::size_t k = i; k < dim; ++k) s += load_float(rows[r] + k) * load_float(columns[c] + k);
      values[r][c] = s;
    }
  }
}

QUARNEL_TARGET_AVX512 void similarity_tile(const float* u, std::size_t stride, std::size_t dim, std::size_t row_begin,
                                           std::size_t row_end, std::size_t col_begin, std::size_t col_end, float* m,
                                           std::size_t n) {
  for (std::size_t i = row_begin; i < row_end; i += kGridRows) {
    const std::size_t height = std::min(kGridRows, row_end - i);
    const float* rows[kGridRows];
    for (std::size_t r = 0; r < kGridRows; ++r) rows[r] = u + (i + std::min(r, height - 1)) * stride;
    // Columns before the block's first row only repeat pairs mirrored from above the diagonal.
    for (std::size_t j = std::max(col_begin, i); j < col_end; j += kGridColumns) {
      const std::size_t width = std::min(kGridColumns, col_end - j);
      const float* columns[kGridColumns];
      for (std::size_t c = 0; c < kGridColumns; ++c) columns[c] = u + (j + std::min(c, width - 1)) * stride;
      alignas(64) float values[kGridRows][kGridColumns];
      grid(rows, columns, dim, values);
      for (std::size_t r = 0; r < height; ++r) {
        if (width == kGridColumns) {
          _mm256_storeu_ps(m + (i + r) * n + j, _mm256_load_ps(values[r]));
        } else {
          for (std::size_t c = 0; c < width; ++c) m[(i + r) * n + j + c] = values[r][c];
        }
      }
      for (std::size_t c = 0; c < width; ++c)
        for (std::size_t r = 0; r < height; ++r) m[(j + c) * n + i + r] = values[r][c];
    }
  }
}

}  // namespace

const SimilarityTile kSimilarityTile = similarity_tile;

}  // namespace quarnel::avx512
