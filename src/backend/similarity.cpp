// The similarity matrix and batch_dot: the driving loops around the
// dispatched float32 kernels.
#include <algorithm>
#include <utility>
#include <vector>

#include "backend/f32_kernels.hpp"
#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

// Rows per side of a tile: a tile's two row ranges stay in L2 while eight of
// its columns at a time pass through L1.
constexpr std::size_t kTileRows = 64;

std::size_t checked_product(std::size_t a, std::size_t b, const char* what) {
  std::size_t product = 0;
  require(!__builtin_mul_overflow(a, b, &product), what);
  return product;
}

// The tiles on and above the diagonal, as (row tile, column tile).
std::vector<std::pair<std::size_t, std::size_t>> upper_tiles(std::size_t per_side) {
  std::vector<std::pair<std::size_t, std::size_t>> tiles;
  tiles.reserve(per_side * (per_side + 1) / 2);
  for (std::size_t a = 0; a < per_side; ++a)
    for (std::size_t b = a; b < per_side; ++b) tiles.emplace_back(a, b);
  return tiles;
}

}  // namespace

std::vector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                     SimdPath path) {
  require(n > 0, "similarity_matrix: no rows");
  require(dim > 0, "similarity_matrix: zero embedding dimension");
  check_length(embeddings.size(), checked_product(n, dim, "similarity_matrix: n * dim overflows"),
               "similarity_matrix: embeddings");
  const std::size_t cells = checked_product(n, n, "similarity_matrix: n * n overflows");
  const F32Kernels& kernels = f32_kernels(path);

  // Only the first n rows are ever read, so only they are normalised.
  std::vector<float> unit(n * dim);
  const float* x = embeddings.data();
  float* u = unit.data();
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    kernels.normalize_rows(x + begin * dim, u + begin * dim, end - begin, dim);
  });

  std::vector<float> matrix(cells);
  float* m = matrix.data();
  const auto tiles = upper_tiles((n + kTileRows - 1) / kTileRows);
  parallel_for(tiles.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t t = begin; t < end; ++t) {
      const std::size_t rows = tiles[t].first * kTileRows, columns = tiles[t].second * kTileRows;
      kernels.similarity_tile(u, n, dim, rows, std::min(n, rows + kTileRows), columns,
                              std::min(n, columns + kTileRows), m);
    }
  });
  return matrix;
}

std::vector<float> batch_dot(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                             std::span<const float> query, SimdPath path) {
  check_length(matrix.size(), checked_product(rows, dim, "batch_dot: rows * dim overflows"), "batch_dot: matrix");
  check_length(query.size(), dim, "batch_dot: query");
  const F32Kernels& kernels = f32_kernels(path);
  std::vector<float> result(rows);
  const float* base = matrix.data();
  parallel_for(rows, [&](std::size_t begin, std::size_t end) {
    kernels.dot_rows(base + begin * dim, end - begin, dim, query.data(), result.data() + begin);
  });
  return result;
}

}  // namespace quarnel
