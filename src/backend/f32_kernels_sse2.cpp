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

void normalize_rows(const float* x, std::size_t rows, std::size_t dim, float* u, std::size_t u_stride) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = x + r * dim;
    float* out = u + r * u_stride;
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

// Similarity micro-tiles: four rows against one column, eight accumulators.
constexpr std::size_t kGridRows = 4;

void similarity_tile(const float* u, std::size_t stride, std::size_t dim, std::size_t row_begin, std::size_t row_end,
                     std::size_t col_begin, std::size_t col_end, float* m, std::size_t n) {
  for (std::size_t i = row_begin; i < row_end; i += kGridRows) {
    const std::size_t height = std::min(kGridRows, row_end - i);
    const float* rows[kGridRows];
    for (std::size_t r = 0; r < kGridRows; ++r) rows[r] = u + (i + std::min(r, height - 1)) * stride;
    // Columns before the block's first row only repeat pairs mirrored from above the diagonal.
    for (std::size_t j = std::max(col_begin, i); j < col_end; ++j) {
      const float* column = u + j * stride;
      alignas(16) float values[kGridRows];
      dot8_grid<kGridRows, 1>(rows, &column, dim, values);
      if (height == kGridRows) {
        _mm_storeu_ps(m + j * n + i, _mm_load_ps(values));
      } else {
        for (std::size_t r = 0; r < height; ++r) m[j * n + i + r] = values[r];
      }
      for (std::size_t r = 0; r < height; ++r) m[(i + r) * n + j] = values[r];
    }
  }
}

}  // namespace

const F32Kernels kF32Kernels = {normalize_rows, dot_rows, similarity_tile};

}  // namespace quarnel::sse2
