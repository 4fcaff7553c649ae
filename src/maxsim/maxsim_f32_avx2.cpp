// AVX2 f32 MaxSim kernel: register tiles of two query tokens against four
// document tokens, each pair with one accumulator in dot8's order (see
// backend/dot_block_avx2.hpp). Every function here carries the AVX2
// target (see backend/simd.hpp).
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "backend/dot_block_avx2.hpp"
#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx2 {
namespace {

// Query and document tokens of a tile; a partial group repeats its last
// token, which only scores that pair again.
constexpr std::size_t kTileTokens = 2;  // the loop below names its two rows
constexpr std::size_t kTileDocuments = 4;
// Query rows held in L1 while document tiles pass by (half of a 32 KB L1).
constexpr std::size_t kL1QueryBytes = std::size_t{16} << 10;

// values[c * kTileTokens + r] = dot8(q[r], d[c]): each of the six rows is
// loaded once per block of eight, and held in a register (GCC would
// otherwise fold a document row's load into both of its products).
QUARNEL_TARGET_AVX2 void tile(const float* const (&q)[kTileTokens], const float* const (&d)[kTileDocuments],
                              std::size_t dim, float* values) {
  __m256 acc[kTileDocuments * kTileTokens];
  for (auto& a : acc) a = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= dim; i += 8) {
    __m256 row0 = _mm256_loadu_ps(q[0] + i), row1 = _mm256_loadu_ps(q[1] + i);
    __asm__("" : "+x"(row0), "+x"(row1));
    for (std::size_t c = 0; c < kTileDocuments; ++c) {
      __m256 column = _mm256_loadu_ps(d[c] + i);
      __asm__("" : "+x"(column));
      acc[2 * c] = _mm256_add_ps(acc[2 * c], _mm256_mul_ps(row0, column));
      acc[2 * c + 1] = _mm256_add_ps(acc[2 * c + 1], _mm256_mul_ps(row1, column));
    }
  }
  _mm256_storeu_ps(values, reduce_eight(acc));
  if (i == dim) return;
  for (std::size_t c = 0; c < kTileDocuments; ++c) {
    for (std::size_t r = 0; r < kTileTokens; ++r) {
      float s = values[c * kTileTokens + r];
      for (std::size_t k = i; k < dim; ++k) s += load_float(q[r] + k) * load_float(d[c] + k);
      values[c * kTileTokens + r] = s;
    }
  }
}

// The best of the eight lanes; see the baseline kernel for why the order of
// this reduction cannot change a score.
QUARNEL_TARGET_AVX2 float best_of_lanes(__m256 v) {
  const __m128 four = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 two = _mm_max_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_max_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// Query tokens [first, last) against the whole document, tile by tile: each
// tile of document rows stays in L1 while every group of query tokens meets
// it; each token's four values of a tile fold into its first four best lanes.
QUARNEL_TARGET_AVX2 void score_tokens(const TokenRows& query, std::size_t first, std::size_t last,
                                      const TokenRows& document, std::size_t dim, float* scratch) {
  for (std::size_t s = 0; s < document.count; s += kTileDocuments) {
    const float* d[kTileDocuments];
    for (std::size_t c = 0; c < kTileDocuments; ++c) d[c] = document.row(std::min(s + c, document.count - 1));
    for (std::size_t t = first; t < last; t += kTileTokens) {
      const float* q[kTileTokens];
      std::size_t token[kTileTokens];
      for (std::size_t r = 0; r < kTileTokens; ++r) {
        token[r] = std::min(t + r, last - 1);
        q[r] = query.row(token[r]);
      }
      alignas(32) float values[kTileTokens * kTileDocuments];  // values[c * kTileTokens + r]
      tile(q, d, dim, values);
      for (std::size_t r = 0; r < kTileTokens; ++r) {
        float* lanes = scratch + kScratchPerQueryToken * token[r];
        const __m128 v = _mm_setr_ps(values[r], values[kTileTokens + r], values[2 * kTileTokens + r],
                                     values[3 * kTileTokens + r]);
        // maxps keeps its second operand unless the first is larger, so a NaN never wins.
        _mm_storeu_ps(lanes, _mm_max_ps(v, _mm_loadu_ps(lanes)));
      }
    }
  }
}

QUARNEL_TARGET_AVX2 void f32_document(const TokenRows* queries, std::size_t query_count, const TokenRows& document,
                                      std::size_t dim, float* out, std::ptrdiff_t out_stride, float* scratch) {
  const __m256 minus_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  const std::size_t chunk = std::max(kTileTokens, kL1QueryBytes / std::max<std::size_t>(1, dim * sizeof(float)) /
                                                      kTileTokens * kTileTokens);
  for (std::size_t q = 0; q < query_count; ++q) {
    const TokenRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_ps(scratch + kScratchPerQueryToken * t, minus_infinity);
    for (std::size_t t = 0; t < query.count; t += chunk)
      score_tokens(query, t, std::min(query.count, t + chunk), document, dim, scratch);
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t)
      score = score + best_of_lanes(_mm256_loadu_ps(scratch + kScratchPerQueryToken * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

const F32MaxSimKernels kF32MaxSimKernels = {f32_document};

}  // namespace quarnel::avx2
