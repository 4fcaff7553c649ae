// AVX2 quantised MaxSim kernels: one eight-lane register per block of eight
// document tokens, one lane per token. Every function here carries the AVX2
// target (see backend/simd.hpp).
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx2 {
namespace {

constexpr std::size_t kLanes = 8;

// Byte sums of bit counts stay below 256 for this many steps (8 per step).
constexpr std::size_t kBitStepsPerFlush = 31;
// A step adds at most 2 * 15 * 15 = 450 to a 16-bit lane of nibble products,
// so the lanes stay below 2^15 for this many steps.
constexpr std::size_t kNibbleStepsPerFlush = 64;

QUARNEL_TARGET_AVX2 inline __m256i load8(const std::uint32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QUARNEL_TARGET_AVX2 inline __m256i broadcast(std::uint32_t word) { return _mm256_set1_epi32(static_cast<int>(word)); }

// Per-byte bit counts by table lookup on each nibble.
QUARNEL_TARGET_AVX2 inline __m256i popcount_bytes(__m256i v) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                                         2, 2, 3, 2, 3, 3, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i low = _mm256_shuffle_epi8(table, _mm256_and_si256(v, nibble));
  const __m256i high = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_add_epi8(low, high);
}

// The four bytes of each 32-bit lane summed into the lane.
QUARNEL_TARGET_AVX2 inline __m256i sum_lane_bytes(__m256i bytes) {
  return _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// u32 lanes to f32, rounded once like a scalar conversion (cvtdq2ps alone
// would read lanes of 2^31 and above as negative).
QUARNEL_TARGET_AVX2 inline __m256 u32_to_f32(__m256i v) {
  const __m256 high = _mm256_cvtepi32_ps(_mm256_srli_epi32(v, 16));
  const __m256 low = _mm256_cvtepi32_ps(_mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)));
  return _mm256_add_ps(_mm256_mul_ps(high, _mm256_set1_ps(65536.0f)), low);
}

// Query tokens scored together against one block of document tokens: the
// block's words are loaded once for all of them.
constexpr std::size_t kQueryRows = 4;

// Bit differences of four query tokens against the eight tokens of a block.
struct BitDifferences {
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&query)[kQueryRows], const std::uint32_t* block,
                                     std::size_t steps, __m256i (&total)[kQueryRows]) {
    for (auto& t : total) t = _mm256_setzero_si256();
    std::size_t k = 0;
    while (k < steps) {
      const std::size_t stop = std::min(steps, k + kBitStepsPerFlush);
      __m256i counts[kQueryRows];
      for (auto& c : counts) c = _mm256_setzero_si256();
      for (; k < stop; ++k) {
        const __m256i d = load8(block + k * kLanes);
        for (std::size_t r = 0; r < kQueryRows; ++r)
          counts[r] = _mm256_add_epi8(counts[r], popcount_bytes(_mm256_xor_si256(broadcast(query[r][k]), d)));
      }
      for (std::size_t r = 0; r < kQueryRows; ++r) total[r] = _mm256_add_epi32(total[r], sum_lane_bytes(counts[r]));
    }
  }
};

// Integer products of 16-bit component pairs (exact: each madd lane is at
// most 2 * 255 * 255); the 32-bit sums wrap like u32.
struct PairProducts {
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&query)[kQueryRows], const std::uint32_t* block,
                                     std::size_t steps, __m256i (&total)[kQueryRows]) {
    // Named accumulators: GCC keeps them in registers without copies.
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    const std::uint32_t *q0 = query[0], *q1 = query[1], *q2 = query[2], *q3 = query[3];
    for (std::size_t k = 0; k < steps; ++k) {
      const __m256i d = load8(block + k * kLanes);
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(broadcast(q0[k]), d));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(broadcast(q1[k]), d));
      a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(broadcast(q2[k]), d));
      a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(broadcast(q3[k]), d));
    }
    total[0] = a0;
    total[1] = a1;
    total[2] = a2;
    total[3] = a3;
  }
};

// Integer products of 8-bit nibble quads: maddubs sums two products of at
// most 15 * 15 into 16 bits, exactly; the 16-bit sums are widened in time.
struct QuadProducts {
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&query)[kQueryRows], const std::uint32_t* block,
                                     std::size_t steps, __m256i (&total)[kQueryRows]) {
    for (auto& t : total) t = _mm256_setzero_si256();
    std::size_t k = 0;
    while (k < steps) {
      const std::size_t stop = std::min(steps, k + kNibbleStepsPerFlush);
      __m256i sums[kQueryRows];
      for (auto& c : sums) c = _mm256_setzero_si256();
      for (; k < stop; ++k) {
        const __m256i d = load8(block + k * kLanes);
        for (std::size_t r = 0; r < kQueryRows; ++r)
          sums[r] = _mm256_add_epi16(sums[r], _mm256_maddubs_epi16(d, broadcast(query[r][k])));
      }
      for (std::size_t r = 0; r < kQueryRows; ++r)
        total[r] = _mm256_add_epi32(total[r], _mm256_madd_epi16(sums[r], _mm256_set1_epi16(1)));
    }
  }
};

// The word rows of query tokens t..t+3; past the last token the last one
// repeats, so a partial group only scores that token again.
QUARNEL_TARGET_AVX2 inline void query_group(const CodeRows& query, std::size_t t, std::size_t steps,
                        const std::uint32_t* (&rows)[kQueryRows], std::size_t (&tokens)[kQueryRows]) {
  for (std::size_t r = 0; r < kQueryRows; ++r) {
    tokens[r] = std::min(t + r, query.count - 1);
    rows[r] = query.words + tokens[r] * steps;
  }
}

// The best of the eight lanes. Lane bests only differ from the sequential
// rule ("a larger value replaces best") in which of +0.0 and -0.0 is kept
// when both tie for the maximum, and a score, which starts at +0.0, is the
// same sum either way.
QUARNEL_TARGET_AVX2 inline float best_of_lanes(__m256 v) {
  const __m128 four = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 two = _mm_max_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_max_ss(two, _mm_shuffle_ps(two, two, 1)));
}

QUARNEL_TARGET_AVX2 inline std::uint32_t least_of_lanes(__m256i v) {
  __m128i four = _mm_min_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  four = _mm_min_epu32(four, _mm_shuffle_epi32(four, 0x4E));
  four = _mm_min_epu32(four, _mm_shuffle_epi32(four, 0xB1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(four));
}

// 1-bit codes. w - 2 * h falls as h grows (every step rounds monotonically),
// so the best estimate is the one of the fewest differing bits: the kernel
// keeps per-lane minimum counts and converts once per query token.
QUARNEL_TARGET_AVX2 void hamming_document(const CodeRows* queries, std::size_t query_count, const CodeRows& document,
                                          std::size_t steps, float w, float* out, std::ptrdiff_t out_stride,
                                          float* scratch) {
  __m256i* fewest = reinterpret_cast<__m256i*>(scratch);
  const std::size_t blocks = (document.count + kLanes - 1) / kLanes;
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_si256(fewest + t, _mm256_set1_epi32(-1));
    for (std::size_t g = 0; g < blocks; ++g) {
      const std::uint32_t* block = document.words + g * steps * kLanes;
      for (std::size_t t = 0; t < query.count; t += kQueryRows) {
        const std::uint32_t* rows[kQueryRows];
        std::size_t tokens[kQueryRows];
        query_group(query, t, steps, rows, tokens);
        __m256i h[kQueryRows];
        BitDifferences::of(rows, block, steps, h);
        for (std::size_t r = 0; r < kQueryRows; ++r)
          _mm256_storeu_si256(fewest + tokens[r], _mm256_min_epu32(h[r], _mm256_loadu_si256(fewest + tokens[r])));
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) {
      const float best = document.count == 0 ? -std::numeric_limits<float>::infinity()
                                             : w - 2.0f * static_cast<float>(least_of_lanes(_mm256_loadu_si256(fewest + t)));
      score = score + best;
    }
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

// 4- and 8-bit codes: the four correction terms in their fixed order,
// eight document tokens at a time.
template <typename Products>
QUARNEL_TARGET_AVX2 void affine_document(const CodeRows* queries, std::size_t query_count, const CodeRows& document,
                                         std::size_t steps, float w, float* out, std::ptrdiff_t out_stride,
                                         float* scratch) {
  const __m256 minus_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  const std::size_t blocks = (document.count + kLanes - 1) / kLanes;
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_ps(scratch + kLanes * t, minus_infinity);
    for (std::size_t g = 0; g < blocks; ++g) {
      const std::uint32_t* block = document.words + g * steps * kLanes;
      const __m256 da = _mm256_loadu_ps(document.scale + g * kLanes);
      const __m256 db = _mm256_loadu_ps(document.offset + g * kLanes);
      const __m256 d_sum = _mm256_loadu_ps(document.code_sum + g * kLanes);
      for (std::size_t t = 0; t < query.count; t += kQueryRows) {
        const std::uint32_t* rows[kQueryRows];
        std::size_t tokens[kQueryRows];
        query_group(query, t, steps, rows, tokens);
        __m256i products[kQueryRows];
        Products::of(rows, block, steps, products);
        for (std::size_t r = 0; r < kQueryRows; ++r) {
          const std::size_t token = tokens[r];
          const __m256 integer = u32_to_f32(products[r]);
          const __m256 qa = _mm256_set1_ps(query.scale[token]), qb = _mm256_set1_ps(query.offset[token]);
          const __m256 t1 = _mm256_mul_ps(_mm256_mul_ps(qa, da), integer);
          const __m256 t2 = _mm256_mul_ps(_mm256_mul_ps(qa, db), _mm256_set1_ps(query.code_sum[token]));
          const __m256 t3 = _mm256_mul_ps(_mm256_mul_ps(qb, da), d_sum);
          const __m256 t4 = _mm256_mul_ps(_mm256_set1_ps(query.offset[token] * w), db);
          const __m256 estimate = _mm256_add_ps(t1, _mm256_add_ps(t2, _mm256_add_ps(t3, t4)));
          // maxps keeps its second operand unless the first is larger, so a NaN never wins.
          float* best = scratch + kLanes * token;
          _mm256_storeu_ps(best, _mm256_max_ps(estimate, _mm256_loadu_ps(best)));
        }
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(_mm256_loadu_ps(scratch + kLanes * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

const CodeMaxSimKernels kCodeMaxSimKernels = {hamming_document, CodeLayout::NibbleQuads8,
                                              affine_document<QuadProducts>, affine_document<PairProducts>};

}  // namespace quarnel::avx2
