// AVX2 f32 MaxSim kernel: document tokens in blocks of eight. Every function
// here carries the AVX2 target (see backend/simd.hpp).
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "backend/dot_block_avx2.hpp"
#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx2 {
namespace {

// The best of the eight lanes; see the baseline kernel for why the order of
// this reduction cannot change a score.
QUARNEL_TARGET_AVX2 float best_of_lanes(__m256 v) {
  const __m128 four = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 two = _mm_max_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_max_ss(two, _mm_shuffle_ps(two, two, 1)));
}

QUARNEL_TARGET_AVX2 void f32_document(const TokenRows* queries, std::size_t query_count, const TokenRows& document,
                                      std::size_t dim, float* out, std::ptrdiff_t out_stride, float* scratch) {
  const __m256 minus_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  for (std::size_t q = 0; q < query_count; ++q) {
    const TokenRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_ps(scratch + 8 * t, minus_infinity);
    for (std::size_t s = 0; s < document.count; s += kDotBlock) {
      const float* rows[kDotBlock];
      for (std::size_t p = 0; p < kDotBlock; ++p) rows[p] = document.row(std::min(s + p, document.count - 1));
      for (std::size_t t = 0; t < query.count; ++t) {
        const __m256 values = dot8_block<true>(query.row(t), rows, dim);
        _mm256_storeu_ps(scratch + 8 * t, _mm256_max_ps(values, _mm256_loadu_ps(scratch + 8 * t)));
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(_mm256_loadu_ps(scratch + 8 * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

const F32MaxSimKernels kF32MaxSimKernels = {f32_document};

}  // namespace quarnel::avx2
