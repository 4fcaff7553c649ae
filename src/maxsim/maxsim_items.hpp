#pragma once
// MaxSim on items of their own lengths, in the two shapes callers need: every
// query against every document (a row-major Q x N matrix), or chosen
// (query, document) pairs, such as each query's own candidate list.
// Every score has the bits of the uniform scorers on the same trimmed item.
#include <cstddef>
#include <cstdint>
#include <span>

#include "backend/simd.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/token_tensor.hpp"
#include "maxsim/work_slabs.hpp"

namespace quarnel {

// Pair p is query query[p] against document document[p]; indices in range.
struct ScorePairs {
  std::span<const std::size_t> query;
  std::span<const std::size_t> document;
};

void max_sim_f32_pairs(std::span<const TokenRows> queries, std::span<const TokenRows> documents, std::size_t dim,
                       const ScorePairs& pairs, float* out, SimdPath path = active_simd_path(),
                       const SlabCheck& between_slabs = {});

void max_sim_code_pairs(const CodeSide& queries, const CodeSide& documents, std::uint64_t num_bits, float w,
                        const ScorePairs& pairs, float* out, SimdPath path = active_simd_path(),
                        const SlabCheck& between_slabs = {});

// Float32 query tokens against 1-bit document tokens. Document token bits
// are read like numpy.packbits writes them: component k is bit 7 - k % 8 of
// byte k / 8, and stands for +1.0 when set and -1.0 when clear; `rows` of a
// document are its tokens' code rows (at least dim / 8 rounded up bytes). The
// pair value is dot8(query token, that +-1 vector), so each product is the
// query value or its negation and the sums run in dot8's order; the best
// over document tokens and the sum over query tokens follow the f32 scorer.
void max_sim_binary_documents(std::span<const TokenRows> queries, std::span<const TokenRows> documents,
                              std::size_t dim, float* scores, SimdPath path = active_simd_path(),
                              const SlabCheck& between_slabs = {});
void max_sim_binary_document_pairs(std::span<const TokenRows> queries, std::span<const TokenRows> documents,
                                   std::size_t dim, const ScorePairs& pairs, float* out,
                                   SimdPath path = active_simd_path(), const SlabCheck& between_slabs = {});

}  // namespace quarnel
