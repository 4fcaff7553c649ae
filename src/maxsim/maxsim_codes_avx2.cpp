// AVX2 quantised MaxSim kernels: one eight-lane register per block of eight
// document tokens, one lane per token, and register tiles of four query
// tokens against several blocks, so each loaded word serves several products.
// Every function here carries the AVX2 target (see backend/simd.hpp).
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx2 {
namespace {

constexpr std::size_t kLanes = 8;
// Query tokens of a register tile; a partial last group repeats its last
// token, which only scores that token again.
constexpr std::size_t kQueryRows = 4;

// 1-bit codes come split into nibbles, one per byte (CodeLayout::NibbleQuads8),
// so a table lookup counts the differing bits of a byte's nibble directly;
// the byte sums (at most 4 per step) stay below 256 for this many steps.
constexpr std::size_t kBitStepsPerFlush = 63;
// A step adds at most 2 * 15 * 15 = 450 to a 16-bit lane of nibble products,
// so the lanes stay below 2^15 for this many steps.
constexpr std::size_t kNibbleStepsPerFlush = 64;

QUARNEL_TARGET_AVX2 inline __m256i load8(const std::uint32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The query word, broadcast and held in a register: GCC would otherwise fold
// the broadcast into each of its uses as a separate load.
QUARNEL_TARGET_AVX2 inline __m256i broadcast(std::uint32_t word) {
  __m256i v = _mm256_set1_epi32(static_cast<int>(word));
  __asm__("" : "+x"(v));
  return v;
}

// Accumulator updates in place. Written as plain intrinsics, GCC adds into a
// fresh register and copies the sum back, a wasted dispatch slot per product.
QUARNEL_TARGET_AVX2 inline void add_epi8_to(__m256i& sum, __m256i v) {
  __m256i s = sum;
  __asm__("vpaddb %1, %0, %0" : "+x"(s) : "x"(v));
  sum = s;
}
QUARNEL_TARGET_AVX2 inline void add_epi16_to(__m256i& sum, __m256i v) {
  __m256i s = sum;
  __asm__("vpaddw %1, %0, %0" : "+x"(s) : "x"(v));
  sum = s;
}
QUARNEL_TARGET_AVX2 inline void add_epi32_to(__m256i& sum, __m256i v) {
  __m256i s = sum;
  __asm__("vpaddd %1, %0, %0" : "+x"(s) : "x"(v));
  sum = s;
}

// The four bytes of each 32-bit lane summed into the lane.
QUARNEL_TARGET_AVX2 inline __m256i sum_lane_bytes(__m256i bytes) {
  return _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// Register tiles: for r < kQueryRows and b < Blocks, total[r * Blocks + b]
// receives the integer result of query token rows[r] against the eight
// tokens of block b, which starts b * block_words words after `block`.

// Differing bits of 1-bit codes, split into nibbles.
struct BitDifferences {
  static constexpr std::size_t kMaxBlocks = 2;

  template <std::size_t Blocks>
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&rows)[kQueryRows], const std::uint32_t* block,
                                     std::size_t block_words, std::size_t steps,
                                     __m256i (&total)[kQueryRows * Blocks]) {
    const __m256i bit_count = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3,
                                               1, 2, 2, 3, 2, 3, 3, 4);
    for (auto& t : total) t = _mm256_setzero_si256();
    std::size_t k = 0;
    while (k < steps) {
      const std::size_t stop = std::min(steps, k + kBitStepsPerFlush);
      __m256i counts[kQueryRows * Blocks];
      for (auto& c : counts) c = _mm256_setzero_si256();
      for (; k < stop; ++k) {
        __m256i d[Blocks];
        for (std::size_t b = 0; b < Blocks; ++b) d[b] = load8(block + b * block_words + k * kLanes);
        for (std::size_t r = 0; r < kQueryRows; ++r) {
          const __m256i q = broadcast(rows[r][k]);
          for (std::size_t b = 0; b < Blocks; ++b)
            add_epi8_to(counts[r * Blocks + b], _mm256_shuffle_epi8(bit_count, _mm256_xor_si256(q, d[b])));
        }
      }
      for (std::size_t p = 0; p < kQueryRows * Blocks; ++p) add_epi32_to(total[p], sum_lane_bytes(counts[p]));
    }
  }
};

// Integer products of 16-bit component pairs (exact: each madd lane is at
// most 2 * 255 * 255); the 32-bit sums wrap like u32.
struct PairProducts {
  static constexpr std::size_t kMaxBlocks = 2;

  template <std::size_t Blocks>
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&rows)[kQueryRows], const std::uint32_t* block,
                                     std::size_t block_words, std::size_t steps,
                                     __m256i (&total)[kQueryRows * Blocks]) {
    __m256i acc[kQueryRows * Blocks];
    for (auto& a : acc) a = _mm256_setzero_si256();
    for (std::size_t k = 0; k < steps; ++k) {
      __m256i d[Blocks];
      for (std::size_t b = 0; b < Blocks; ++b) d[b] = load8(block + b * block_words + k * kLanes);
      for (std::size_t r = 0; r < kQueryRows; ++r) {
        const __m256i q = broadcast(rows[r][k]);
        for (std::size_t b = 0; b < Blocks; ++b)
          add_epi32_to(acc[r * Blocks + b], _mm256_madd_epi16(q, d[b]));
      }
    }
    for (std::size_t p = 0; p < kQueryRows * Blocks; ++p) total[p] = acc[p];
  }
};

// Integer products of 8-bit nibble quads: maddubs sums two products of at
// most 15 * 15 into 16 bits, exactly; the 16-bit sums are widened in time.
struct QuadProducts {
  static constexpr std::size_t kMaxBlocks = 2;

  template <std::size_t Blocks>
  QUARNEL_TARGET_AVX2 static void of(const std::uint32_t* const (&rows)[kQueryRows], const std::uint32_t* block,
                                     std::size_t block_words, std::size_t steps,
                                     __m256i (&total)[kQueryRows * Blocks]) {
    for (auto& t : total) t = _mm256_setzero_si256();
    std::size_t k = 0;
    while (k < steps) {
      const std::size_t stop = std::min(steps, k + kNibbleStepsPerFlush);
      __m256i sums[kQueryRows * Blocks];
      for (auto& s : sums) s = _mm256_setzero_si256();
      for (; k < stop; ++k) {
        __m256i d[Blocks];
        for (std::size_t b = 0; b < Blocks; ++b) d[b] = load8(block + b * block_words + k * kLanes);
        for (std::size_t r = 0; r < kQueryRows; ++r) {
          const __m256i q = broadcast(rows[r][k]);
          for (std::size_t b = 0; b < Blocks; ++b)
            add_epi16_to(sums[r * Blocks + b], _mm256_maddubs_epi16(d[b], q));
        }
      }
      for (std::size_t p = 0; p < kQueryRows * Blocks; ++p)
        total[p] = _mm256_add_epi32(total[p], _mm256_madd_epi16(sums[p], _mm256_set1_epi16(1)));
    }
  }
};

// A register tile: query tokens `tokens` (their word rows in `rows`; past
// the query's last token the last one repeats, which only scores it again)
// against Blocks blocks from block `first_block` on.
struct QueryGroup {
  const std::uint32_t* rows[kQueryRows];
  std::size_t tokens[kQueryRows];

  QUARNEL_TARGET_AVX2 QueryGroup(const CodeRows& query, std::size_t t, std::size_t steps) {
    for (std::size_t r = 0; r < kQueryRows; ++r) {
      tokens[r] = std::min(t + r, query.count - 1);
      rows[r] = query.words + tokens[r] * steps;
    }
  }
};

// Document words that fit beside a query in L1 (half of a 32 KB L1).
constexpr std::size_t kL1DocumentBytes = std::size_t{16} << 10;

// Calls tile.template operator()<Blocks>(group, first_block) for every group
// of query tokens and every tile of MaxBlocks blocks (then single blocks).
// A document that fits in L1 meets each group whole; a larger one is walked
// tile by tile, each tile staying in L1 while all the groups meet it.
template <std::size_t MaxBlocks, typename Tile>
QUARNEL_TARGET_AVX2 inline void for_each_tile(const CodeRows& query, const CodeRows& document, std::size_t steps,
                                              const Tile& tile) {
  const std::size_t blocks = (document.count + kLanes - 1) / kLanes;
  const auto tiles = [&](const QueryGroup& group) QUARNEL_TARGET_AVX2 {
    std::size_t g = 0;
    for (; g + MaxBlocks <= blocks; g += MaxBlocks) tile.template operator()<MaxBlocks>(group, g);
    for (; g < blocks; ++g) tile.template operator()<1>(group, g);
  };
  if (blocks * steps * kLanes * sizeof(std::uint32_t) <= kL1DocumentBytes) {
    for (std::size_t t = 0; t < query.count; t += kQueryRows) tiles(QueryGroup(query, t, steps));
    return;
  }
  std::size_t g = 0;
  for (; g + MaxBlocks <= blocks; g += MaxBlocks)
    for (std::size_t t = 0; t < query.count; t += kQueryRows) tile.template operator()<MaxBlocks>(QueryGroup(query, t, steps), g);
  for (; g < blocks; ++g)
    for (std::size_t t = 0; t < query.count; t += kQueryRows) tile.template operator()<1>(QueryGroup(query, t, steps), g);
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
  const std::size_t block_words = steps * kLanes;
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_si256(fewest + t, _mm256_set1_epi32(-1));
    for_each_tile<BitDifferences::kMaxBlocks>(query, document, steps,
                                              [&]<std::size_t Blocks>(const QueryGroup& group, std::size_t g)
                                                  QUARNEL_TARGET_AVX2 {
      __m256i h[kQueryRows * Blocks];
      BitDifferences::of<Blocks>(group.rows, document.words + g * block_words, block_words, steps, h);
      for (std::size_t r = 0; r < kQueryRows; ++r) {
        __m256i least = _mm256_loadu_si256(fewest + group.tokens[r]);
        for (std::size_t b = 0; b < Blocks; ++b) least = _mm256_min_epu32(h[r * Blocks + b], least);
        _mm256_storeu_si256(fewest + group.tokens[r], least);
      }
    });
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) {
      const float best = document.count == 0 ? -std::numeric_limits<float>::infinity()
                                             : w - 2.0f * static_cast<float>(least_of_lanes(_mm256_loadu_si256(fewest + t)));
      score = score + best;
    }
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

// u32 lanes to f32, rounded once like a scalar conversion (cvtdq2ps alone
// would read lanes of 2^31 and above as negative).
QUARNEL_TARGET_AVX2 inline __m256 u32_to_f32(__m256i v) {
  const __m256 high = _mm256_cvtepi32_ps(_mm256_srli_epi32(v, 16));
  const __m256 low = _mm256_cvtepi32_ps(_mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)));
  return _mm256_add_ps(_mm256_mul_ps(high, _mm256_set1_ps(65536.0f)), low);
}

// Integer products reach 2^31 only past this many steps (each adds at most
// 2 * 255 * 255 to a lane); below it they convert as signed lanes, which
// rounds them exactly as u32_to_f32 does.
constexpr std::size_t kSignedSafeSteps = 2147483647u / (2 * 255 * 255);

// 4- and 8-bit codes: the four correction terms in their fixed order,
// eight document tokens at a time.
template <typename Products>
QUARNEL_TARGET_AVX2 void affine_document(const CodeRows* queries, std::size_t query_count, const CodeRows& document,
                                         std::size_t steps, float w, float* out, std::ptrdiff_t out_stride,
                                         float* scratch) {
  const __m256 minus_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  const std::size_t block_words = steps * kLanes;
  const bool signed_safe = steps <= kSignedSafeSteps;
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_ps(scratch + kLanes * t, minus_infinity);
    for_each_tile<Products::kMaxBlocks>(query, document, steps,
                                        [&]<std::size_t Blocks>(const QueryGroup& group, std::size_t g)
                                            QUARNEL_TARGET_AVX2 {
      __m256i products[kQueryRows * Blocks];
      Products::template of<Blocks>(group.rows, document.words + g * block_words, block_words, steps, products);
      for (std::size_t r = 0; r < kQueryRows; ++r) {
        const std::size_t token = group.tokens[r];
        const __m256 qa = _mm256_set1_ps(query.scale[token]), qb = _mm256_set1_ps(query.offset[token]);
        const __m256 q_sum = _mm256_set1_ps(query.code_sum[token]), qb_w = _mm256_set1_ps(query.offset[token] * w);
        float* best_lanes = scratch + kLanes * token;
        __m256 best = _mm256_loadu_ps(best_lanes);
        for (std::size_t b = 0; b < Blocks; ++b) {
          const std::size_t lane = (g + b) * kLanes;
          const __m256 da = _mm256_loadu_ps(document.scale + lane), db = _mm256_loadu_ps(document.offset + lane);
          const __m256i product = products[r * Blocks + b];
          const __m256 integer = signed_safe ? _mm256_cvtepi32_ps(product) : u32_to_f32(product);
          const __m256 t1 = _mm256_mul_ps(_mm256_mul_ps(qa, da), integer);
          const __m256 t2 = _mm256_mul_ps(_mm256_mul_ps(qa, db), q_sum);
          const __m256 t3 = _mm256_mul_ps(_mm256_mul_ps(qb, da), _mm256_loadu_ps(document.code_sum + lane));
          const __m256 t4 = _mm256_mul_ps(qb_w, db);
          const __m256 estimate = _mm256_add_ps(t1, _mm256_add_ps(t2, _mm256_add_ps(t3, t4)));
          // maxps keeps its second operand unless the first is larger, so a NaN never wins.
          best = _mm256_max_ps(estimate, best);
        }
        _mm256_storeu_ps(best_lanes, best);
      }
    });
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) score = score + best_of_lanes(_mm256_loadu_ps(scratch + kLanes * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

}  // namespace

const CodeMaxSimKernels kCodeMaxSimKernels = {CodeLayout::NibbleQuads8, kLanes, hamming_document, CodeLayout::NibbleQuads8,
                                              affine_document<QuadProducts>, CodeLayout::BytePairs16,
                                              affine_document<PairProducts>, kLanes};

}  // namespace quarnel::avx2
