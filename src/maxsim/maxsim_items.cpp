#include "maxsim/maxsim_items.hpp"

#include <algorithm>
#include <vector>

#include "core/panic.hpp"
#include "maxsim/maxsim_kernels.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/query_blocks.hpp"

namespace quarnel {
namespace {

// Work per pair, for the slab size: the average token counts times dim.
double pair_work(std::size_t query_tokens, std::size_t queries, std::size_t document_tokens, std::size_t documents,
                 std::size_t dim) {
  return (static_cast<double>(query_tokens) / static_cast<double>(std::max<std::size_t>(queries, 1)) + 1) *
         (static_cast<double>(document_tokens) / static_cast<double>(std::max<std::size_t>(documents, 1)) + 1) *
         static_cast<double>(dim + 1);
}

template <typename Items>
std::size_t total_tokens(const Items& items) {
  std::size_t total = 0;
  for (const TokenRows& item : items) total += item.count;
  return total;
}

void require_pairs(const ScorePairs& pairs, std::size_t queries, std::size_t documents) {
  require(pairs.query.size() == pairs.document.size(), "score pairs: query and document lists differ in length");
  for (std::size_t p = 0; p < pairs.query.size(); ++p) {
    check_index(pairs.query[p], queries, "score pairs: query");
    check_index(pairs.document[p], documents, "score pairs: document");
  }
}

// A 1-bit document's tokens as +-1.0 rows of dim values, into `rows`.
TokenRows expand_bits(const TokenRows& document, std::size_t dim, std::vector<float>& rows) {
  rows.resize(std::max<std::size_t>(document.count * dim, 1));
  for (std::size_t s = 0; s < document.count; ++s) {
    const unsigned char* bits = reinterpret_cast<const unsigned char*>(document.row(s));
    float* out = rows.data() + s * dim;
    for (std::size_t k = 0; k < dim; ++k) out[k] = (bits[k / 8] >> (7 - k % 8)) & 1u ? 1.0f : -1.0f;
  }
  return {reinterpret_cast<const unsigned char*>(rows.data()), document.count,
          static_cast<std::ptrdiff_t>(dim * sizeof(float))};
}

}  // namespace

void max_sim_f32_pairs(std::span<const TokenRows> queries, std::span<const TokenRows> documents, std::size_t dim,
                       const ScorePairs& pairs, float* out, SimdPath path, const SlabCheck& between_slabs) {
  require_pairs(pairs, queries.size(), documents.size());
  const F32MaxSimKernels& kernels = f32_maxsim_kernels(path);
  const std::size_t longest = most_tokens(queries);
  const double work = pair_work(total_tokens(queries), queries.size(), total_tokens(documents), documents.size(), dim);
  run_in_slabs(pairs.query.size(), units_per_slab(work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest, 1));
    for (std::size_t p = begin; p < end; ++p)
      kernels.f32_document(&queries[pairs.query[p]], 1, documents[pairs.document[p]], dim, out + p, 1, scratch.data());
  });
}

void max_sim_code_pairs(const CodeSide& queries, const CodeSide& documents, std::uint64_t num_bits, float w,
                        const ScorePairs& pairs, float* out, SimdPath path, const SlabCheck& between_slabs) {
  require_pairs(pairs, queries.items(), documents.items());
  const CodeMaxSimKernels& kernels = code_maxsim_kernels(path);
  const CodeKernel kernel = num_bits == 1 ? kernels.hamming : num_bits == 4 ? kernels.nibbles : kernels.bytes;
  require(num_bits == 1 || num_bits == 4 || num_bits == 8, "Only 1, 4, or 8-bit supported");
  std::size_t longest = 0, query_tokens = 0, document_tokens = 0;
  for (std::size_t i = 0; i < queries.items(); ++i) {
    longest = std::max(longest, queries.item(i).count);
    query_tokens += queries.item(i).count;
  }
  for (std::size_t j = 0; j < documents.items(); ++j) document_tokens += documents.item(j).count;
  const double work = pair_work(query_tokens, queries.items(), document_tokens, documents.items(), queries.steps());
  run_in_slabs(pairs.query.size(), units_per_slab(work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest, 1));
    for (std::size_t p = begin; p < end; ++p) {
      const CodeRows query = queries.item(pairs.query[p]);
      kernel(&query, 1, documents.item(pairs.document[p]), queries.steps(), w, out + p, 1, scratch.data());
    }
  });
}

void max_sim_binary_documents(std::span<const TokenRows> queries, std::span<const TokenRows> documents,
                              std::size_t dim, float* scores, SimdPath path, const SlabCheck& between_slabs) {
  const std::size_t q_count = queries.size(), n = documents.size();
  if (q_count == 0 || n == 0) return;
  const F32MaxSimKernels& kernels = f32_maxsim_kernels(path);
  const std::size_t longest = most_tokens(queries);
  // One unit is one document against every query, so each document is
  // expanded once.
  const double work = pair_work(total_tokens(queries), q_count, total_tokens(documents), n, dim) *
                      static_cast<double>(q_count);
  run_in_slabs(n, units_per_slab(work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest, 1));
    std::vector<float> rows;
    for (std::size_t j = begin; j < end; ++j) {
      const TokenRows document = expand_bits(documents[j], dim, rows);
      kernels.f32_document(queries.data(), q_count, document, dim, scores + j, static_cast<std::ptrdiff_t>(n),
                           scratch.data());
    }
  });
}

void max_sim_binary_document_pairs(std::span<const TokenRows> queries, std::span<const TokenRows> documents,
                                   std::size_t dim, const ScorePairs& pairs, float* out, SimdPath path,
                                   const SlabCheck& between_slabs) {
  require_pairs(pairs, queries.size(), documents.size());
  const F32MaxSimKernels& kernels = f32_maxsim_kernels(path);
  const std::size_t longest = most_tokens(queries);
  const double work = pair_work(total_tokens(queries), queries.size(), total_tokens(documents), documents.size(), dim);
  run_in_slabs(pairs.query.size(), units_per_slab(work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest, 1));
    std::vector<float> rows;
    for (std::size_t p = begin; p < end; ++p) {
      const TokenRows document = expand_bits(documents[pairs.document[p]], dim, rows);
      kernels.f32_document(&queries[pairs.query[p]], 1, document, dim, out + p, 1, scratch.data());
    }
  });
}

}  // namespace quarnel
