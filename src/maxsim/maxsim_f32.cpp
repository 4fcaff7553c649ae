#include "maxsim/maxsim_f32.hpp"

#include <algorithm>
#include <string>

#include "core/panic.hpp"
#include "maxsim/maxsim_kernels.hpp"
#include "maxsim/query_blocks.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {
namespace {

// The kernels read token rows as contiguous runs; a strided last axis would
// be read wrongly, so it is refused. Rows of 0 or 1 values have no stride.
void require_contiguous_rows(const TokenTensor<float>& tensor, const char* side) {
  if (!tensor.rows_contiguous()) {
    throw_internal(std::string(side) + " token rows are not contiguous along the last axis (stride " +
                   std::to_string(tensor.value_stride) + " bytes)");
  }
}

std::vector<TokenRows> item_rows(const TokenTensor<float>& tensor) {
  std::vector<TokenRows> rows(tensor.items);
  for (std::size_t i = 0; i < tensor.items; ++i) rows[i] = tensor.item(i);
  return rows;
}

std::size_t total_tokens(std::span<const TokenRows> items) {
  std::size_t total = 0;
  for (const TokenRows& item : items) total += item.count;
  return total;
}

}  // namespace

void max_sim_f32_items(std::span<const TokenRows> queries, std::span<const TokenRows> documents, std::size_t dim,
                       float* scores, SimdPath path, const SlabCheck& between_slabs) {
  const std::size_t q_count = queries.size();
  const std::size_t n = documents.size();
  if (q_count == 0 || n == 0) return;
  const F32MaxSimKernels& kernels = f32_maxsim_kernels(path);

  const std::size_t longest_query = most_tokens(queries);
  const std::size_t query_bytes = std::max<std::size_t>(1, longest_query * dim * sizeof(float));
  const std::size_t block = std::clamp<std::size_t>(kQueryBlockBytes / query_bytes, 1, q_count);
  const std::size_t blocks = (q_count + block - 1) / block;
  // Units run document by document, each document meeting one block of
  // queries, so neighbouring units share the document in cache.
  const std::size_t units = allocation_size(blocks, n, "the MaxSim work list");
  const double unit_work = static_cast<double>(block) * static_cast<double>(total_tokens(queries) / q_count + 1) *
                           static_cast<double>(total_tokens(documents) / n + 1) * static_cast<double>(dim + 1);

  run_in_slabs(units, units_per_slab(unit_work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest_query, 1));
    for (std::size_t unit = begin; unit < end; ++unit) {
      const std::size_t j = unit / blocks;
      const std::size_t first = (unit % blocks) * block;
      const std::size_t count = std::min(block, q_count - first);
      kernels.f32_document(queries.data() + first, count, documents[j], dim, scores + first * n + j,
                           static_cast<std::ptrdiff_t>(n), scratch.data());
    }
  });
}

void max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents, float* scores,
                 SimdPath path, const SlabCheck& between_slabs) {
  require(queries.width == documents.width, "max_sim_f32: query and document token widths differ");
  require_contiguous_rows(queries, "query");
  require_contiguous_rows(documents, "document");
  const std::vector<TokenRows> query_rows = item_rows(queries);
  const std::vector<TokenRows> document_rows = item_rows(documents);
  max_sim_f32_items(query_rows, document_rows, queries.width, scores, path, between_slabs);
}

std::vector<float> max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents,
                               SimdPath path) {
  std::vector<float> scores(allocation_size(queries.items, documents.items, "the score matrix"));
  max_sim_f32(queries, documents, scores.data(), path);
  return scores;
}

}  // namespace quarnel
