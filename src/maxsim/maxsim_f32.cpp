#include "maxsim/maxsim_f32.hpp"

#include <limits>

#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/dot8_four.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {
namespace {

// The kernels read token rows as contiguous runs; a strided last axis would
// be read wrongly, so it is refused. Rows of 0 or 1 values have no stride.
void require_contiguous_rows(const TokenTensor<float>& tensor, const char* side) {
  if (tensor.has_rows() && tensor.width >= 2 && tensor.value_stride != 1) {
    throw_internal(std::string(side) + " token rows are not contiguous along the last axis (stride " +
                   std::to_string(tensor.value_stride) + " elements)");
  }
}

inline void keep_best(float& best, float value) {
  if (value > best) best = value;  // a NaN value never wins
}

// Scores query i against every document into row[0..documents.items).
// Document tokens are visited in blocks of four against all query tokens, so
// the block stays in cache; every best[t] still sees the document tokens in
// ascending order, and the query tokens are summed in ascending order.
void score_query_row(const TokenTensor<float>& queries, const TokenTensor<float>& documents, std::size_t i,
                     std::vector<float>& best, float* row) {
  const std::size_t dim = queries.width;
  const std::size_t query_tokens = queries.tokens;
  const std::size_t document_tokens = documents.tokens;
  for (std::size_t j = 0; j < documents.items; ++j) {
    best.assign(query_tokens, -std::numeric_limits<float>::infinity());
    std::size_t s = 0;
    for (; s + 4 <= document_tokens; s += 4) {
      const float* block[4] = {documents.row(j, s), documents.row(j, s + 1), documents.row(j, s + 2),
                               documents.row(j, s + 3)};
      for (std::size_t t = 0; t < query_tokens; ++t) {
        float values[4];
        dot8_four(queries.row(i, t), block, dim, values);
        for (float value : values) keep_best(best[t], value);
      }
    }
    for (; s < document_tokens; ++s) {
      const float* document_row = documents.row(j, s);
      for (std::size_t t = 0; t < query_tokens; ++t) keep_best(best[t], dot8(queries.row(i, t), document_row, dim));
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query_tokens; ++t) score = score + best[t];
    row[j] = score;
  }
}

}  // namespace

std::vector<float> max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents) {
  require(queries.width == documents.width, "max_sim_f32: query and document token widths differ");
  require_contiguous_rows(queries, "query");
  require_contiguous_rows(documents, "document");

  const std::size_t n = documents.items;
  std::vector<float> scores(checked_product(queries.items, n, "the score matrix"));
  parallel_for(queries.items, [&](std::size_t begin, std::size_t end) {
    std::vector<float> best;
    best.reserve(queries.tokens);
    for (std::size_t i = begin; i < end; ++i) score_query_row(queries, documents, i, best, scores.data() + i * n);
  });
  return scores;
}

}  // namespace quarnel
