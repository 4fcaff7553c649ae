#pragma once
// Late-interaction (MaxSim) scores of float32 query token vectors against
// float32 document token vectors.
#include <vector>

#include "maxsim/token_tensor.hpp"

namespace quarnel {

// Row-major (queries.items x documents.items) scores: for each pair, the sum
// over query tokens (ascending) of the best dot8 with any document token;
// a NaN dot product never becomes the best. Rows are computed in parallel
// over queries. Both widths must match, and a token row of two or more
// values must be contiguous; otherwise InternalError.
std::vector<float> max_sim_f32(const TokenTensor<float>& queries, const TokenTensor<float>& documents);

}  // namespace quarnel
