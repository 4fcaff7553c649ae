// AVX-512 f32 MaxSim kernel: register tiles of four query tokens against
// eight document tokens. Every function here carries the AVX-512 target (see
// backend/simd.hpp). Two query tokens share a register (see
// backend/dot_block_avx512.hpp).
#include <algorithm>
#include <limits>

#include "backend/dot_block_avx512.hpp"
#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx512 {
namespace {

// Query tokens of a tile (two registers of two tokens) and document tokens
// of a full tile. A partial last group repeats the last token, which only
// scores it again.
constexpr std::size_t kTileTokens = 4;
constexpr std::size_t kTileDocuments = 8;
// Query rows held in L1 while document tiles pass by (half of a 32 KB L1).
constexpr std::size_t kL1QueryBytes = std::size_t{16} << 10;

// One tile: dot8(query row q[r], document row d[c]) for r < 4, c < 8, each
// query token's eight values folded by max into its eight best lanes.
QUARNEL_TARGET_AVX512 void tile(const float* const (&q)[kTileTokens], const float* const (&d)[kTileDocuments],
                                std::size_t dim, float* const (&best)[kTileTokens]) {
  __m512 acc[2][kTileDocuments];
  for (auto& row : acc)
    for (auto& a : row) a = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= dim; i += 8) {
    const __m512 pair0 = load_pair(q[0] + i, q[1] + i);
    const __m512 pair1 = load_pair(q[2] + i, q[3] + i);
    for (std::size_t c = 0; c < kTileDocuments; ++c) {
      const __m512 doc = load_twice(d[c] + i);
      acc[0][c] = _mm512_add_ps(acc[0][c], _mm512_mul_ps(pair0, doc));
      acc[1][c] = _mm512_add_ps(acc[1][c], _mm512_mul_ps(pair1, doc));
    }
  }
  // values[p]: tokens 2p and 2p + 1, laid out as reduce_eight says.
  __m512 values[2] = {reduce_eight(acc[0]), reduce_eight(acc[1])};
  if (i < dim) {
    // dot8 appends the last dim % 8 products one by one.
    alignas(64) float lane[2][16];
    for (std::size_t p = 0; p < 2; ++p) {
      _mm512_store_ps(lane[p], values[p]);
      for (std::size_t e = 0; e < 16; ++e) {
        const float* query = q[2 * p + (e / 4) % 2];
        const float* doc = d[e % 4 + 4 * (e / 8)];
        float s = lane[p][e];
        for (std::size_t k = i; k < dim; ++k) s += load_float(query + k) * load_float(doc + k);
        lane[p][e] = s;
      }
      values[p] = _mm512_load_ps(lane[p]);
    }
  }
  for (std::size_t p = 0; p < 2; ++p) {
    // 128-bit lanes 0 and 2 belong to token 2p, lanes 1 and 3 to token 2p + 1.
    const __m512d split = _mm512_castps_pd(_mm512_shuffle_f32x4(values[p], values[p], _MM_SHUFFLE(3, 1, 2, 0)));
    const __m256 halves[2] = {_mm256_castpd_ps(_mm512_castpd512_pd256(split)),
                              _mm256_castpd_ps(_mm512_extractf64x4_pd(split, 1))};
    for (std::size_t h = 0; h < 2; ++h) {
      float* lanes = best[2 * p + h];
      // maxps keeps its second operand unless the first is larger, so a NaN never wins.
      _mm256_storeu_ps(lanes, _mm256_max_ps(halves[h], _mm256_loadu_ps(lanes)));
    }
  }
}

// The best of the eight lanes; see the baseline kernel for why the order of
// this reduction cannot change a score.
QUARNEL_TARGET_AVX512 inline float best_of_lanes(__m256 v) {
  const __m128 four = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 two = _mm_max_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_max_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// Query tokens [first, last) against the whole document, tile by tile: each
// tile of document rows stays in L1 while every group of query tokens meets it.
QUARNEL_TARGET_AVX512 void score_tokens(const TokenRows& query, std::size_t first, std::size_t last,
                                        const TokenRows& document, std::size_t dim, float* scratch) {
  for (std::size_t s = 0; s < document.count; s += kTileDocuments) {
    const float* d[kTileDocuments];
    for (std::size_t c = 0; c < kTileDocuments; ++c) d[c] = document.row(std::min(s + c, document.count - 1));
    // The next tile's rows are fetched while this one is scored: a short
    // query meets each tile only a few times, too few to hide a miss.
    if (s + kTileDocuments < document.count) {
      const std::size_t next_rows = std::min(kTileDocuments, document.count - s - kTileDocuments);
      for (std::size_t c = 0; c < next_rows; ++c) {
        const auto* row = reinterpret_cast<const char*>(document.row(s + kTileDocuments + c));
        for (std::size_t byte = 0; byte < dim * sizeof(float); byte += 64) _mm_prefetch(row + byte, _MM_HINT_T0);
      }
    }
    for (std::size_t t = first; t < last; t += kTileTokens) {
      const float* q[kTileTokens];
      float* best[kTileTokens];
      for (std::size_t r = 0; r < kTileTokens; ++r) {
        const std::size_t token = std::min(t + r, last - 1);
        q[r] = query.row(token);
        best[r] = scratch + kScratchPerQueryToken * token;
      }
      tile(q, d, dim, best);
    }
  }
}

QUARNEL_TARGET_AVX512 void f32_document(const TokenRows* queries, std::size_t query_count,
                                        const TokenRows& document, std::size_t dim, float* out,
                                        std::ptrdiff_t out_stride, float* scratch) {
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

}  // namespace quarnel::avx512
