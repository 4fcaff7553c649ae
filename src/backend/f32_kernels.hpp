#pragma once
// The float32 kernels that exist once per instruction set (see simd.hpp).
// Every entry gives the same bits on every path: each dot product is dot8's
// exact sequence of operations, whatever the register width.
#include <cstddef>

#include "backend/simd.hpp"

namespace quarnel {

struct F32Kernels {
  // Writes x[r] * f to u + r * u_stride for r < rows, with f = 1 / sqrt(dot8(x[r], x[r]))
  // (a true division) when that squared norm exceeds 1e-6, else f = 0; x rows are dim apart.
  void (*normalize_rows)(const float* x, std::size_t rows, std::size_t dim, float* u, std::size_t u_stride);
  // out[e] = dot8(matrix row e, query) for e < rows.
  void (*dot_rows)(const float* matrix, std::size_t rows, std::size_t dim, const float* query, float* out);
  // For i in [row_begin, row_end) and j in [col_begin, col_end), both below
  // n, with i <= j: writes dot8(u_i, u_j) to m[i * n + j] and to m[j * n + i],
  // where u_i = u + i * stride holds dim values. Pairs below the diagonal
  // may be written too (with the same bits, mirrored).
  using SimilarityTile = void (*)(const float* u, std::size_t stride, std::size_t dim, std::size_t row_begin,
                                  std::size_t row_end, std::size_t col_begin, std::size_t col_end, float* m,
                                  std::size_t n);
  SimilarityTile similarity_tile;
};

using SimilarityTile = F32Kernels::SimilarityTile;

namespace sse2 {
extern const F32Kernels kF32Kernels;
}
namespace avx2 {
extern const F32Kernels kF32Kernels;
}
namespace avx512 {
extern const SimilarityTile kSimilarityTile;
}

// The kernels of a path; a path the CPU cannot run falls back to SSE2.
const F32Kernels& f32_kernels(SimdPath path = active_simd_path());

}  // namespace quarnel
