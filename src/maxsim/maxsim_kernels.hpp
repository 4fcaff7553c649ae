#pragma once
// The MaxSim scoring kernels that exist once per instruction set (see
// backend/simd.hpp). A kernel scores one document against several queries,
// each item with its own token count, so uniform batches, ragged batches and
// per-query candidate lists all run through the same code.
#include <cstddef>

#include "backend/simd.hpp"
#include "maxsim/token_tensor.hpp"

namespace quarnel {

// Floats of scratch a kernel needs per query token.
inline constexpr std::size_t kScratchPerQueryToken = 8;

struct F32MaxSimKernels {
  // For q < query_count: out[q * out_stride] = the sum over the tokens of
  // queries[q], ascending, of the best dot8(query token, document token)
  // over the document's tokens (a NaN never becomes the best; no document
  // token gives -inf); 0.0 for a query without tokens. Rows hold `dim`
  // values. scratch holds kScratchPerQueryToken floats per token of the
  // longest query.
  void (*f32_document)(const TokenRows* queries, std::size_t query_count, const TokenRows& document,
                       std::size_t dim, float* out, std::ptrdiff_t out_stride, float* scratch);
};

namespace sse2 {
extern const F32MaxSimKernels kF32MaxSimKernels;
}
namespace avx2 {
extern const F32MaxSimKernels kF32MaxSimKernels;
}

// The kernels of a path; a path the CPU cannot run falls back to SSE2.
const F32MaxSimKernels& f32_maxsim_kernels(SimdPath path = active_simd_path());

}  // namespace quarnel
