// The similarity matrix and batch_dot: the driving loops around the
// dispatched float32 kernels.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "backend/f32_kernels.hpp"
#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

// A tile is a panel of rows against a chunk of columns. The chunk's unit
// rows stay in L2 (half of it, for the code and the output) while each
// micro-tile of the panel's rows streams through them.
constexpr std::size_t kPanelRows = 48;
constexpr std::size_t kChunkBytes = std::size_t{384} << 10;
// Groups of tiles handed to the pool per thread: enough to even out the
// last ones.
constexpr std::size_t kGroupsPerThread = 8;

constexpr std::size_t kLineFloats = 64 / sizeof(float);

std::size_t round_up(std::size_t value, std::size_t step) { return (value + step - 1) / step * step; }

float* line_aligned(float* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return p + (round_up(address, 64) - address) / sizeof(float);
}

struct Tile {
  std::size_t row_begin, row_end, col_begin, col_end;

  // Pairs on and above the diagonal, the tile's share of the work.
  double pairs() const {
    double total = 0;
    for (std::size_t i = row_begin; i < row_end; ++i) total += static_cast<double>(col_end - std::max(col_begin, i));
    return total;
  }
};

// Tiles covering the pairs i <= j, panel by panel.
std::vector<Tile> upper_tiles(std::size_t n, std::size_t chunk_columns) {
  std::vector<Tile> tiles;
  for (std::size_t i = 0; i < n; i += kPanelRows)
    for (std::size_t j = i; j < n; j += chunk_columns)
      tiles.push_back({i, std::min(n, i + kPanelRows), j, std::min(n, j + chunk_columns)});
  return tiles;
}

// Splits the tiles into `groups` runs of about equal work (as starts, then
// the end): tiles near the diagonal hold half the pairs of the others.
std::vector<std::size_t> balanced_runs(const std::vector<Tile>& tiles, std::size_t groups) {
  double total = 0;
  for (const Tile& tile : tiles) total += tile.pairs();
  std::vector<std::size_t> starts = {0};
  double done = 0;
  for (std::size_t t = 0; t < tiles.size(); ++t) {
    done += tiles[t].pairs();
    if (done >= total * static_cast<double>(starts.size()) / static_cast<double>(groups) && t + 1 < tiles.size())
      starts.push_back(t + 1);
  }
  starts.push_back(tiles.size());
  return starts;
}

// The (n x n) matrix of dot8(u_i, u_j) over rows `stride` floats apart, each
// starting on a cache line.
UninitializedVector<float> symmetric_dots(const float* u, std::size_t stride, std::size_t n, std::size_t dim,
                                          const F32Kernels& kernels) {
  // Every cell is written below, each block by the thread that computes it,
  // which is also where its pages are first touched.
  UninitializedVector<float> matrix(checked_product(n, n, "similarity_matrix: n * n overflows"));
  float* m = matrix.data();
  const std::size_t chunk_columns = std::max<std::size_t>(kPanelRows, kChunkBytes / (stride * sizeof(float)));
  const auto tiles = upper_tiles(n, chunk_columns);
  const auto runs = balanced_runs(tiles, kGroupsPerThread * pool_thread_count());
  parallel_for_each(runs.size() - 1, [&](std::size_t run) {
    for (std::size_t t = runs[run]; t < runs[run + 1]; ++t) {
      const Tile& tile = tiles[t];
      kernels.similarity_tile(u, stride, dim, tile.row_begin, tile.row_end, tile.col_begin, tile.col_end, m, n);
    }
  });
  return matrix;
}

}  // namespace

UninitializedVector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                             SimdPath path) {
  require(n > 0, "similarity_matrix: no rows");
  require(dim > 0, "similarity_matrix: zero embedding dimension");
  check_length(embeddings.size(), checked_product(n, dim, "similarity_matrix: n * dim overflows"),
               "similarity_matrix: embeddings");
  checked_product(n, n, "similarity_matrix: n * n overflows");
  const F32Kernels& kernels = f32_kernels(path);

  // Only the first n rows are ever read, so only they are normalised. Each
  // unit row starts on a cache line: unaligned vector loads that straddle
  // lines cost the micro-kernels a fifth of their speed.
  const std::size_t stride = round_up(dim, kLineFloats);
  std::vector<float> storage(checked_product(n, stride, "similarity_matrix: n * dim overflows") + kLineFloats);
  float* u = line_aligned(storage.data());
  const float* x = embeddings.data();
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    kernels.normalize_rows(x + begin * dim, end - begin, dim, u + begin * stride, stride);
  });

  return symmetric_dots(u, stride, n, dim, kernels);
}

UninitializedVector<float> gram_matrix(std::span<const float> rows, std::size_t n, std::size_t dim, SimdPath path) {
  require(n > 0, "gram_matrix: no rows");
  require(dim > 0, "gram_matrix: zero dimension");
  check_length(rows.size(), checked_product(n, dim, "gram_matrix: n * dim overflows"), "gram_matrix: rows");
  checked_product(n, n, "gram_matrix: n * n overflows");
  const std::size_t stride = round_up(dim, kLineFloats);
  std::vector<float> storage(checked_product(n, stride, "gram_matrix: n * dim overflows") + kLineFloats);
  float* u = line_aligned(storage.data());
  for (std::size_t i = 0; i < n; ++i) std::copy_n(rows.data() + i * dim, dim, u + i * stride);
  return symmetric_dots(u, stride, n, dim, f32_kernels(path));
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
