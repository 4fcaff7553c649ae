#pragma once
// Late-interaction (MaxSim) scores on quantised token codes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "backend/simd.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"
#include "maxsim/work_slabs.hpp"

namespace quarnel {

// Writes the row-major (queries x documents) scores to `scores`: for each
// pair, the sum over query tokens of the best token-pair estimate over
// document tokens. The estimate is w - 2 * Hamming distance for 1-bit codes
// and, for 4- and 8-bit codes, the affine expansion
//   (qa*da)*I + ((qa*db)*sum_q + ((qb*da)*sum_d + (qb*w)*db))
// over the integer product I of the codes, w = padded_dim. The first
// q_codes.width bytes of each document code are read; a shorter document
// code is an InternalError naming its length and the first missing index,
// raised after both metadata arrays were checked. Conversion and scoring run
// on the worker pool; the result depends neither on the path nor on the
// thread count.
void max_sim_quantized(const TokenTensor<std::uint8_t>& q_codes, const TokenTensor<float>& q_meta,
                       const TokenTensor<std::uint8_t>& d_codes, const TokenTensor<float>& d_meta,
                       const QuantizerParams& params, float* scores, SimdPath path = active_simd_path(),
                       const SlabCheck& between_slabs = {});
std::vector<float> max_sim_quantized(const TokenTensor<std::uint8_t>& q_codes, const TokenTensor<float>& q_meta,
                                     const TokenTensor<std::uint8_t>& d_codes, const TokenTensor<float>& d_meta,
                                     const QuantizerParams& params, SimdPath path = active_simd_path());

// The scoring step alone, on prepared sides (queries with one lane,
// documents with the lanes `code_document_lanes` gives, both in the layout
// `code_layout` gives).
void max_sim_code_items(const CodeSide& queries, const CodeSide& documents, std::uint64_t num_bits, float w,
                        float* scores, SimdPath path = active_simd_path(), const SlabCheck& between_slabs = {});

// The layout the scoring kernels of a path read for num_bits (1, 4 or 8).
CodeLayout code_layout(std::uint64_t num_bits, SimdPath path = active_simd_path());
// The document tokens to a block that the same kernels read.
std::size_t code_document_lanes(std::uint64_t num_bits, SimdPath path = active_simd_path());

}  // namespace quarnel
