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

QUARNEL_TARGET_AVX2 void normalize_rows(const float* x, float* u, std::size_t rows, std::size_t dim) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = x + r * dim;
    float* out = u + r * dim;
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

QUARNEL_TARGET_AVX2 void similarity_tile(const float* u, std::size_t n, std::size_t dim, std::size_t row_begin,
                                         std::size_t row_end, std::size_t col_begin, std::size_t col_end,
                                         float* m) {
  const bool diagonal = row_begin == col_begin && row_end == col_end;
  for (std::size_t j = col_begin; j < col_end; j += kDotBlock) {
    const std::size_t width = std::min(kDotBlock, col_end - j);
    const float* columns[kDotBlock];
    for (std::size_t p = 0; p < kDotBlock; ++p) columns[p] = u + (j + std::min(p, width - 1)) * dim;
    const std::size_t last_row = diagonal ? std::min(row_end, j + width) : row_end;
    for (std::size_t i = row_begin; i < last_row; ++i) {
      alignas(32) float values[kDotBlock];
      _mm256_store_ps(values, dot8_block<true>(u + i * dim, columns, dim));
      for (std::size_t p = 0; p < width; ++p) {
        m[i * n + j + p] = values[p];
        m[(j + p) * n + i] = values[p];
      }
    }
  }
}

}  // namespace

const F32Kernels kF32Kernels = {normalize_rows, dot_rows, similarity_tile};

}  // namespace quarnel::avx2
