// Baseline (SSE2) float32 kernels: four dot products per micro-kernel call.
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/dot_block_sse2.hpp"
#include "backend/f32_kernels.hpp"
#include "backend/kernels.hpp"

namespace quarnel::sse2 {
namespace {

// Norms at or below this count as zero (the f32 nearest to 1e-6).
constexpr float kMinNorm = 1e-6f;

void normalize_rows(const float* x, float* u, std::size_t rows, std::size_t dim) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = x + r * dim;
    float* out = u + r * dim;
    const float squared_norm = dot8(row, row, dim);
    // A true division by the square root: reciprocal estimates would change bits.
    const float factor = squared_norm > kMinNorm ? 1.0f / std::sqrt(squared_norm) : 0.0f;
    for (std::size_t k = 0; k < dim; ++k) out[k] = row[k] * factor;
  }
}

void dot_rows(const float* matrix, std::size_t rows, std::size_t dim, const float* query, float* out) {
  std::size_t e = 0;
  for (; e + kDotBlock <= rows; e += kDotBlock) {
    const float* block[kDotBlock] = {matrix + e * dim, matrix + (e + 1) * dim, matrix + (e + 2) * dim,
                                     matrix + (e + 3) * dim};
    _mm_storeu_ps(out + e, dot8_block<false>(query, block, dim));
  }
  for (; e < rows; ++e) out[e] = dot8(matrix + e * dim, query, dim);
}

void similarity_tile(const float* u, std::size_t n, std::size_t dim, std::size_t row_begin, std::size_t row_end,
                     std::size_t col_begin, std::size_t col_end, float* m) {
  // On a tile of the diagonal, a row past the block's last column only
  // repeats pairs that the block's own rows give, mirrored.
  const bool diagonal = row_begin == col_begin && row_end == col_end;
  for (std::size_t j = col_begin; j < col_end; j += kDotBlock) {
    const std::size_t width = std::min(kDotBlock, col_end - j);
    const float* columns[kDotBlock];
    for (std::size_t p = 0; p < kDotBlock; ++p) columns[p] = u + (j + std::min(p, width - 1)) * dim;
    const std::size_t last_row = diagonal ? std::min(row_end, j + width) : row_end;
    for (std::size_t i = row_begin; i < last_row; ++i) {
      alignas(16) float values[kDotBlock];
      _mm_store_ps(values, dot8_block<true>(u + i * dim, columns, dim));
      for (std::size_t p = 0; p < width; ++p) {
        m[i * n + j + p] = values[p];
        m[(j + p) * n + i] = values[p];
      }
    }
  }
}

}  // namespace

const F32Kernels kF32Kernels = {normalize_rows, dot_rows, similarity_tile};

}  // namespace quarnel::sse2
