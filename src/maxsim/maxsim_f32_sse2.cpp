// Baseline (SSE2) f32 MaxSim kernel: document tokens in blocks of four.
#include <emmintrin.h>

#include <algorithm>
#include <limits>

#include "backend/dot_block_sse2.hpp"
#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::sse2 {
namespace {

// The best of the four lanes. Lane bests only differ from the sequential
// rule ("a larger value replaces best") in which of +0.0 and -0.0 is kept
// when both tie for the maximum, and a score, which starts at +0.0, is the
// same sum either way.
float best_of_lanes(__m128 v) {
  alignas(16) float lane[4];
  _mm_store_ps(lane, v);
  return std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
}

// Each block of four document tokens stays in L1 while every query token
// meets it. The last block repeats its final token to fill the lanes, which
// cannot change a maximum.
void f32_document(const TokenRows* queries, std::size_t query_count, const TokenRows& document, std::size_t dim,
                  float* out, std::ptrdiff_t out_stride, float* scratch) {
  const __m128 minus_infinity = _mm_set1_ps(-std::numeric_limits<float>::infinity());
  for (std::size_t q = 0; q < query_count; ++q) {
    const TokenRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm_storeu_ps(scratch + 4 * t, minus_infinity);
    for (std::size_t s = 0; s < document.count; s += kDotBlock) {
      const float* rows[kDotBlock];
      for (std::size_t p = 0; p < kDotBlock; ++p) rows[p] = document.row(std::min(s + p, document.count - 1));
      for (std::size_t t = 0; t < query.count; ++t) {
        const __m128 values = dot8_block<true>(query.row(t), rows, dim);
        // maxps keeps its second operand unless the first is larger, so a NaN never wins.
        _mm_storeu_ps(scratch + 4 * t, _mm_max_ps(values, _mm_loadu_ps(scratch + 4 * t)));
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(_mm_loadu_ps(scratch + 4 * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

const F32MaxSimKernels kF32MaxSimKernels = {f32_document};

}  // namespace quarnel::sse2
