#pragma once
// Late-interaction (MaxSim) scores on quantised token codes.
#include <vector>

#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"

namespace quarnel {

// Row-major (queries.items() x documents.items()) scores: for each pair, the
// sum over query tokens of the best token-pair estimate over document tokens.
// The estimate is w - 2 * Hamming distance for 1-bit codes and, for 4- and
// 8-bit codes, the affine expansion
//   (qa*da)*I + ((qa*db)*sum_q + ((qb*da)*sum_d + (qb*w)*db))
// over the integer product I of the codes, w = padded_dim. The first
// queries.code_bytes() bytes of each document code are read; a shorter
// document code is an InternalError naming its length and the first missing
// index. Rows are computed in parallel over queries.
std::vector<float> max_sim_quantized(const QuantizedTokenLists& queries, const QuantizedTokenLists& documents,
                                     const QuantizerParams& params);

}  // namespace quarnel
