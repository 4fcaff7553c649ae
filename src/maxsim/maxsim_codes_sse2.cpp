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

// Query tokens scored together against one block: the block's words are
// loaded once for all of them. A partial last group repeats its last token,
// which only scores that token again.
constexpr std::size_t kQueryRows = 4;

// Accumulator updates in place: written as plain intrinsics, GCC adds the
// accumulator into the new value and copies the sum back.
inline void add_epi8_to(__m128i& sum, __m128i v) {
  __m128i s = sum;
  __asm__("paddb %1, %0" : "+x"(s) : "x"(v));
  sum = s;
}
inline void add_epi32_to(__m128i& sum, __m128i v) {
  __m128i s = sum;
  __asm__("paddd %1, %0" : "+x"(s) : "x"(v));
  sum = s;
}

// A query word in all four lanes, held in a register (GCC would otherwise
// rebuild it for each of its uses).
inline __m128i broadcast(std::uint32_t word) {
  __m128i v = _mm_set1_epi32(static_cast<int>(word));
  __asm__("" : "+x"(v));
  return v;
}

// The integer results of query tokens rows[r] against the eight tokens of a
// block: lanes 0..3 in low[r], 4..7 in high[r].
struct BlockSums {
  __m128i low[kQueryRows], high[kQueryRows];
};

// Bit differences.
inline BlockSums hamming_block(const std::uint32_t* const (&rows)[kQueryRows], const std::uint32_t* block,
                               std::size_t steps) {
  BlockSums total;
  for (std::size_t r = 0; r < kQueryRows; ++r) total.low[r] = total.high[r] = _mm_setzero_si128();
  std::size_t k = 0;
  while (k < steps) {
    const std::size_t stop = std::min(steps, k + kBitStepsPerFlush);
    __m128i low[kQueryRows], high[kQueryRows];
    for (std::size_t r = 0; r < kQueryRows; ++r) low[r] = high[r] = _mm_setzero_si128();
    for (; k < stop; ++k) {
      const __m128i d_low = load4(block + k * kLanes), d_high = load4(block + k * kLanes + 4);
      for (std::size_t r = 0; r < kQueryRows; ++r) {
        const __m128i q = broadcast(rows[r][k]);
        add_epi8_to(low[r], popcount_bytes(_mm_xor_si128(q, d_low)));
        add_epi8_to(high[r], popcount_bytes(_mm_xor_si128(q, d_high)));
      }
    }
    for (std::size_t r = 0; r < kQueryRows; ++r) {
      add_epi32_to(total.low[r], sum_lane_bytes(low[r]));
      add_epi32_to(total.high[r], sum_lane_bytes(high[r]));
    }
  }
  return total;
}

// Integer products of 16-bit component pairs; 32-bit sums wrap like u32.
inline BlockSums pair_products(const std::uint32_t* const (&rows)[kQueryRows], const std::uint32_t* block,
                               std::size_t steps) {
  BlockSums total;
  for (std::size_t r = 0; r < kQueryRows; ++r) total.low[r] = total.high[r] = _mm_setzero_si128();
  for (std::size_t k = 0; k < steps; ++k) {
    const __m128i d_low = load4(block + k * kLanes), d_high = load4(block + k * kLanes + 4);
    for (std::size_t r = 0; r < kQueryRows; ++r) {
      const __m128i q = broadcast(rows[r][k]);
      add_epi32_to(total.low[r], _mm_madd_epi16(q, d_low));
      add_epi32_to(total.high[r], _mm_madd_epi16(q, d_high));
    }
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
      for (std::size_t t = 0; t < query.count; t += kQueryRows) {
        const std::uint32_t* rows[kQueryRows];
        std::size_t tokens[kQueryRows];
        for (std::size_t r = 0; r < kQueryRows; ++r) {
          tokens[r] = std::min(t + r, query.count - 1);
          rows[r] = query.words + tokens[r] * steps;
        }
        const BlockSums sums = Bits ? hamming_block(rows, block, steps) : pair_products(rows, block, steps);
        for (std::size_t r = 0; r < kQueryRows; ++r) {
          const std::size_t token = tokens[r];
          __m128 low, high;
          if constexpr (Bits) {
            const __m128 weight = _mm_set1_ps(w), two = _mm_set1_ps(2.0f);
            low = _mm_sub_ps(weight, _mm_mul_ps(two, u32_to_f32(sums.low[r])));
            high = _mm_sub_ps(weight, _mm_mul_ps(two, u32_to_f32(sums.high[r])));
          } else {
            const float qa = query.scale[token], qb = query.offset[token], q_sum = query.code_sum[token];
            const float qb_w = qb * w;
            low = affine_estimate(qa, qb, q_sum, qb_w, da, db, d_sum, u32_to_f32(sums.low[r]));
            high = affine_estimate(qa, qb, q_sum, qb_w, da + 4, db + 4, d_sum + 4, u32_to_f32(sums.high[r]));
          }
          // maxps keeps its second operand unless the first is larger, so a NaN never wins.
          float* best = scratch + kLanes * token;
          _mm_storeu_ps(best, _mm_max_ps(low, _mm_loadu_ps(best)));
          _mm_storeu_ps(best + 4, _mm_max_ps(high, _mm_loadu_ps(best + 4)));
        }
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(scratch + kLanes * t);
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

// Without SSSE3 byte products, 4-bit codes use the 16-bit pairs of 8-bit codes.
const CodeMaxSimKernels kCodeMaxSimKernels = {CodeLayout::Bits, kDocumentLanes, score_document<true>, CodeLayout::NibblePairs16,
                                              score_document<false>, CodeLayout::BytePairs16,
                                              score_document<false>, kDocumentLanes};

}  // namespace quarnel::sse2
