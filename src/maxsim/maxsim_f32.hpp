#pragma once
// Late-interaction (MaxSim) scores of float32 query token vectors against
// float32 document token vectors.
#include <cstddef>
#include <span>
#include <vector>

#include "backend/simd.hpp"
#include "maxsim/token_tensor.hpp"
#include "maxsim/work_slabs.hpp"

namespace quarnel {

// Writes the row-major (queries x documents) scores to `scores`: for each
// pair, the sum over query tokens (ascending) of the best dot8 with any
// document token; a NaN dot product never becomes the best, a document
// without tokens gives -inf and a query without tokens 0.0. Every row holds
// `dim` contiguous values. Work runs in slabs on the worker pool; the result
// depends neither on the path nor on the thread count.
void max_sim_f32_items(std::span<const TokenRows> queries, std::span<const TokenRows> documents, std::size_t dim,
                       float* scores, SimdPath path = active_simd_path(), const SlabCheck& between_slabs = {});

// The same for uniform batches. Both widths must match, and a token row of
// two or more values must be contiguous; otherwise InternalError.
void max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents, float* scores,
                 SimdPath path = active_simd_path(), const SlabCheck& between_slabs = {});
std::vector<float> max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents,
                               SimdPath path = active_simd_path());

}  // namespace quarnel
