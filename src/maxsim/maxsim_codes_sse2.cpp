// Baseline (SSE2) quantised MaxSim kernels. Documents come in blocks of
// eight tokens, read as two halves of four lanes; each lane is one token.
#include <emmintrin.h>

#include <algorithm>
#include <limits>

#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::sse2 {
namespace {

constexpr std::size_t kLanes = 8;

// Byte sums of bit counts stay below 256 for this many steps (8 per step).
constexpr std::size_t kBitStepsPerFlush = 31;

inline __m128i load4(const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Per-byte bit counts (0..8), without the SSSE3 table lookup.
inline __m128i popcount_bytes(__m128i v) {
  const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
  v = _mm_sub_epi8(v, _mm_and_si128(_mm_srli_epi16(v, 1), m1));
  v = _mm_add_epi8(_mm_and_si128(v, m2), _mm_and_si128(_mm_srli_epi16(v, 2), m2));
  return _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), m4);
}

// The four bytes of each 32-bit lane summed into the lane.
inline __m128i sum_lane_bytes(__m128i bytes) {
  const __m128i pairs = _mm_add_epi16(_mm_and_si128(bytes, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(bytes, 8));
  return _mm_madd_epi16(pairs, _mm_set1_epi16(1));
}

// u32 lanes to f32, rounded once like a scalar conversion (cvtdq2ps alone
// would read lanes of 2^31 and above as negative).
inline __m128 u32_to_f32(__m128i v) {
  const __m128 high = _mm_cvtepi32_ps(_mm_srli_epi32(v, 16));
  const __m128 low = _mm_cvtepi32_ps(_mm_and_si128(v, _mm_set1_epi32(0xFFFF)));
  return _mm_add_ps(_mm_mul_ps(high, _mm_set1_ps(65536.0f)), low);
}

// Lane bests only differ from the sequential rule ("a larger value replaces
// best") in which of +0.0 and -0.0 is kept when both tie for the maximum, and
// a score, which starts at +0.0, is the same sum either way.
inline float best_of_lanes(const float* lanes) {
  float best = lanes[0];
  for (std::size_t p = 1; p < kLanes; ++p) best = std::max(best, lanes[p]);
  return best;
}

struct Halves {
  __m128i low, high;
};

// Bit differences of one query token against the eight tokens of a block.
inline Halves hamming_block(const std::uint32_t* query, const std::uint32_t* block, std::size_t steps) {
  const __m128i zero = _mm_setzero_si128();
  Halves total{zero, zero};
  std::size_t k = 0;
  while (k < steps) {
    const std::size_t stop = std::min(steps, k + kBitStepsPerFlush);
    __m128i low = zero, high = zero;
    for (; k < stop; ++k) {
      const __m128i q = _mm_set1_epi32(static_cast<int>(query[k]));
      low = _mm_add_epi8(low, popcount_bytes(_mm_xor_si128(q, load4(block + k * kLanes))));
      high = _mm_add_epi8(high, popcount_bytes(_mm_xor_si128(q, load4(block + k * kLanes + 4))));
    }
    total.low = _mm_add_epi32(total.low, sum_lane_bytes(low));
    total.high = _mm_add_epi32(total.high, sum_lane_bytes(high));
  }
  return total;
}

// Integer products of 16-bit component pairs; 32-bit sums wrap like u32.
inline Halves pair_products(const std::uint32_t* query, const std::uint32_t* block, std::size_t steps) {
  Halves total{_mm_setzero_si128(), _mm_setzero_si128()};
  for (std::size_t k = 0; k < steps; ++k) {
    const __m128i q = _mm_set1_epi32(static_cast<int>(query[k]));
    total.low = _mm_add_epi32(total.low, _mm_madd_epi16(q, load4(block + k * kLanes)));
    total.high = _mm_add_epi32(total.high, _mm_madd_epi16(q, load4(block + k * kLanes + 4)));
  }
  return total;
}

// The four correction terms in their fixed order for lanes d of a block.
inline __m128 affine_estimate(float qa, float qb, float q_sum, float qb_w, const float* da, const float* db,
                              const float* d_sum, __m128 integer) {
  const __m128 a = _mm_set1_ps(qa), b = _mm_set1_ps(qb);
  const __m128 scale = _mm_loadu_ps(da), offset = _mm_loadu_ps(db);
  const __m128 t1 = _mm_mul_ps(_mm_mul_ps(a, scale), integer);
  const __m128 t2 = _mm_mul_ps(_mm_mul_ps(a, offset), _mm_set1_ps(q_sum));
  const __m128 t3 = _mm_mul_ps(_mm_mul_ps(b, scale), _mm_loadu_ps(d_sum));
  const __m128 t4 = _mm_mul_ps(_mm_set1_ps(qb_w), offset);
  return _mm_add_ps(t1, _mm_add_ps(t2, _mm_add_ps(t3, t4)));
}

template <bool Bits>
void score_document(const CodeRows* queries, std::size_t query_count, const CodeRows& document, std::size_t steps,
                    float w, float* out, std::ptrdiff_t out_stride, float* scratch) {
  const __m128 minus_infinity = _mm_set1_ps(-std::numeric_limits<float>::infinity());
  const std::size_t blocks = (document.count + kLanes - 1) / kLanes;
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) {
      _mm_storeu_ps(scratch + kLanes * t, minus_infinity);
      _mm_storeu_ps(scratch + kLanes * t + 4, minus_infinity);
    }
    for (std::size_t g = 0; g < blocks; ++g) {
      const std::uint32_t* block = document.words + g * steps * kLanes;
      const float* da = document.scale + g * kLanes;
      const float* db = document.offset + g * kLanes;
      const float* d_sum = document.code_sum + g * kLanes;
      for (std::size_t t = 0; t < query.count; ++t) {
        const std::uint32_t* words = query.words + t * steps;
        __m128 low, high;
        if constexpr (Bits) {
          const Halves h = hamming_block(words, block, steps);
          const __m128 weight = _mm_set1_ps(w), two = _mm_set1_ps(2.0f);
          low = _mm_sub_ps(weight, _mm_mul_ps(two, u32_to_f32(h.low)));
          high = _mm_sub_ps(weight, _mm_mul_ps(two, u32_to_f32(h.high)));
        } else {
          const Halves integer = pair_products(words, block, steps);
          const float qa = query.scale[t], qb = query.offset[t], q_sum = query.code_sum[t], qb_w = qb * w;
          low = affine_estimate(qa, qb, q_sum, qb_w, da, db, d_sum, u32_to_f32(integer.low));
          high = affine_estimate(qa, qb, q_sum, qb_w, da + 4, db + 4, d_sum + 4, u32_to_f32(integer.high));
        }
        // maxps keeps its second operand unless the first is larger, so a NaN never wins.
        float* best = scratch + kLanes * t;
        _mm_storeu_ps(best, _mm_max_ps(low, _mm_loadu_ps(best)));
        _mm_storeu_ps(best + 4, _mm_max_ps(high, _mm_loadu_ps(best + 4)));
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(scratch + kLanes * t);
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

// Without SSSE3 byte products, 4-bit codes use the 16-bit pairs of 8-bit codes.
const CodeMaxSimKernels kCodeMaxSimKernels = {CodeLayout::Bits, score_document<true>, CodeLayout::NibblePairs16,
                                              score_document<false>, score_document<false>};

}  // namespace quarnel::sse2
