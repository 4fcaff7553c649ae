// AVX2 float32 kernels: eight dot products per micro-kernel call. Every
// function here carries the AVX2 target (see simd.hpp).
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/dot_block_avx2.hpp"
#include "backend/f32_kernels.hpp"

namespace quarnel::avx2 {
namespace {

constexpr float kMinNorm = 1e-6f;

// dot8(a, b) of one pair: its two four-lane halves as one register.
QUARNEL_TARGET_AVX2 float dot8_single(const float* a, const float* b, std::size_t n) {
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  alignas(32) float lane[8];
  _mm256_store_ps(lane, acc);
  float s = (((lane[0] + lane[1]) + lane[2]) + lane[3]) + (((lane[4] + lane[5]) + lane[6]) + lane[7]);
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

QUARNEL_TARGET_AVX2 void normalize_rows(const float* x, std::size_t rows, std::size_t dim, float* u,
                                        std::size_t u_stride) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = x + r * dim;
    float* out = u + r * u_stride;
    const float squared_norm = dot8_single(row, row, dim);
    const float factor = squared_norm > kMinNorm ? 1.0f / std::sqrt(squared_norm) : 0.0f;
    const __m256 f = _mm256_set1_ps(factor);
    std::size_t k = 0;
    for (; k + 8 <= dim; k += 8) _mm256_storeu_ps(out + k, _mm256_mul_ps(_mm256_loadu_ps(row + k), f));
    for (; k < dim; ++k) out[k] = row[k] * factor;
  }
}

QUARNEL_TARGET_AVX2 void dot_rows(const float* matrix, std::size_t rows, std::size_t dim, const float* query,
                                  float* out) {
  std::size_t e = 0;
  for (; e + kDotBlock <= rows; e += kDotBlock) {
    const float* block[kDotBlock];
    for (std::size_t p = 0; p < kDotBlock; ++p) block[p] = matrix + (e + p) * dim;
    _mm256_storeu_ps(out + e, dot8_block<false>(query, block, dim));
  }
  for (; e < rows; ++e) out[e] = dot8_single(matrix + e * dim, query, dim);
}

// Similarity micro-tiles: six rows against two columns, twelve accumulators
// (with the two column vectors, a row and a product: all sixteen registers).
constexpr std::size_t kGridRows = 6, kGridColumns = 2;

// Writes a full micro-tile, values[c * kGridRows + r] = dot8(u_{i+r}, u_{j+c}),
// to rows i.. (two values each) and, mirrored, to rows j and j + 1 (six each).
QUARNEL_TARGET_AVX2 void store_full_tile(const float* values, float* m, std::size_t n, std::size_t i, std::size_t j) {
  const __m128 first_low = _mm_loadu_ps(values), second_low = _mm_loadu_ps(values + kGridRows);
  const __m128 first_high = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + 4)));
  const __m128 second_high = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + kGridRows + 4)));
  float* first_column = m + j * n + i;
  float* second_column = first_column + n;
  _mm_storeu_ps(first_column, first_low);
  _mm_storel_pi(reinterpret_cast<__m64*>(first_column + 4), first_high);
  _mm_storeu_ps(second_column, second_low);
  _mm_storel_pi(reinterpret_cast<__m64*>(second_column + 4), second_high);
  // Row r takes (first[r], second[r]).
  const __m128 rows01 = _mm_unpacklo_ps(first_low, second_low), rows23 = _mm_unpackhi_ps(first_low, second_low);
  const __m128 rows45 = _mm_unpacklo_ps(first_high, second_high);
  float* row = m + i * n + j;
  _mm_storel_pi(reinterpret_cast<__m64*>(row), rows01);
  _mm_storeh_pi(reinterpret_cast<__m64*>(row + n), rows01);
  _mm_storel_pi(reinterpret_cast<__m64*>(row + 2 * n), rows23);
  _mm_storeh_pi(reinterpret_cast<__m64*>(row + 3 * n), rows23);
  _mm_storel_pi(reinterpret_cast<__m64*>(row + 4 * n), rows45);
  _mm_storeh_pi(reinterpret_cast<__m64*>(row + 5 * n), rows45);
}

QUARNEL_TARGET_AVX2 void similarity_tile(const float* u, std::size_t stride, std::size_t dim, std::size_t row_begin,
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
      alignas(32) float values[kGridRows * kGridColumns];
      dot8_grid<kGridRows, kGridColumns>(rows, columns, dim, values);
      if (height == kGridRows && width == kGridColumns) {
        store_full_tile(values, m, n, i, j);
        continue;
      }
      for (std::size_t c = 0; c < width; ++c) {
        for (std::size_t r = 0; r < height; ++r) {
          m[(i + r) * n + j + c] = values[c * kGridRows + r];
          m[(j + c) * n + i + r] = values[c * kGridRows + r];
        }
      }
    }
  }
}

}  // namespace

const F32Kernels kF32Kernels = {normalize_rows, dot_rows, similarity_tile};

}  // namespace quarnel::avx2
