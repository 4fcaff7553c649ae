#pragma once
// Single-precision similarity kernels with a fixed summation order, so that
// results are reproducible bit for bit and independent of the thread count.
// Every product is rounded to f32 before it is added (no fused multiply-add).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "backend/uninitialized.hpp"

#include "backend/simd.hpp"
#include "core/problem_view.hpp"

namespace quarnel {

// Dot product of a[0..n) and b[0..n): blocks of eight in two four-lane
// accumulators, reduced lane by lane, then the tail added in order.
float dot8(const float* a, const float* b, std::size_t n);
// Checked form: b must hold at least a.size() values.
float dot8(std::span<const float> a, std::span<const float> b);

float cosine_similarity(std::span<const float> a, std::span<const float> b);

// n x n cosine matrix of the rows of embeddings (n rows of dim values): each
// row is normalised once, and entry (i, j) is dot8(u_i, u_j). Each pair is
// computed once and mirrored, in cache-sized tiles on the worker pool; the
// bits are those of computing every entry on its own, on any path.
UninitializedVector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                             SimdPath path = active_simd_path());

// The same tiles over rows taken as they are: entry (i, j) is dot8(r_i, r_j).
UninitializedVector<float> gram_matrix(std::span<const float> rows, std::size_t n, std::size_t dim,
                                       SimdPath path = active_simd_path());

// dot8(matrix row e, query) for each of the rows, in parallel.
std::vector<float> batch_dot(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                             std::span<const float> query, SimdPath path = active_simd_path());

// Sum of values[i] where mask[i] != 0, ascending, starting from -0.0.
float masked_sum(std::span<const float> values, std::span<const std::uint8_t> mask);

// a (m x k) times b (k x n), row-major, in the caller's thread. Entry (i, j)
// is the sum of a[i][p] * b[p][j] over ascending p, starting from +0.0.
std::vector<float> matmul(std::span<const float> a, std::size_t m, std::size_t k, std::span<const float> b,
                          std::size_t n);

std::vector<float> evaluate_masks(std::span<const std::uint8_t> masks, std::size_t count, const ProblemView& view);

std::vector<float> evaluate_swaps(std::span<const std::uint8_t> current, std::span<const std::size_t> added,
                                  std::span<const std::size_t> removed, const ProblemView& view);

}  // namespace quarnel
