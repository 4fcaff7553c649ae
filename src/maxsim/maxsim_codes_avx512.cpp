// AVX-512 quantised MaxSim kernels: 8-bit and 4-bit codes multiplied by
// VPDPBUSD (VNNI), 1-bit codes counted by VPOPCNTD (VPOPCNTDQ) sixteen
// document tokens at a time. A CPU may
// have either extension without the other, so the inner products carry their
// own extension's target and are called, never inlined, from tile drivers
// that need AVX-512 F/BW/VL only (see backend/simd.hpp).
//
// Documents come in blocks of sixteen tokens, one lane of a 512-bit
// register per token; for 8/4-bit codes the 32 vector registers hold tiles
// of four query tokens against four blocks. Every integer result is exact, so the
// scores have the bits of every other path.
// GCC 12's AVX-512 headers start some intrinsics from an "undefined"
// register that is initialised from itself, which its own flow analysis
// reports as uninitialised.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "maxsim/maxsim_kernels.hpp"

namespace quarnel::avx512 {
namespace {

// Document tokens to a block of 8/4-bit codes: one 512-bit register a word.
constexpr std::size_t kLanes = 16;
// Query tokens of a register tile; a partial last group repeats its last
// token, which only scores that token again.
constexpr std::size_t kQueryRows = 4;
constexpr std::size_t kMaxBlocks = 4;

using Rows = const std::uint32_t* const (&)[kQueryRows];

QUARNEL_TARGET_AVX512 inline __m512i load16(const std::uint32_t* p) { return _mm512_loadu_si512(p); }

// Accumulator updates in place. Written as plain intrinsics, GCC copies
// every accumulator into a fresh register and back on each step.
// sum += the four products of unsigned q bytes and signed d bytes, per lane.
QUARNEL_TARGET_AVX512_VNNI inline void add_quad_products_to(__m512i& sum, __m512i q, __m512i d) {
  __m512i s = sum;
  __asm__("vpdpbusd %2, %1, %0" : "+v"(s) : "v"(q), "v"(d));
  sum = s;
}

// Register tiles: for r < kQueryRows and b < Blocks, total[r * Blocks + b]
// receives the integer result of query token rows[r] against the sixteen
// tokens of block b, which starts b * block_words words after `block`.

// Integer products of 8-bit components, four to a word. VPDPBUSD multiplies
// unsigned bytes by signed ones: the document bytes d are read as d - 128
// (their top bit flipped), and 128 times the query's byte sum is added back.
// The u32 sums wrap like those of every other path.
template <std::size_t Blocks, bool SignedDocument>
QUARNEL_TARGET_AVX512_VNNI void quad_products(Rows rows, const std::uint32_t* block, std::size_t block_words,
                                              std::size_t steps, __m512i (&total)[kQueryRows * Blocks]) {
  __m512i acc[kQueryRows * Blocks];
  for (auto& a : acc) a = _mm512_setzero_si512();
  const __m512i top_bits = _mm512_set1_epi8(static_cast<char>(0x80));
  for (std::size_t k = 0; k < steps; ++k) {
    __m512i d[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) {
      d[b] = load16(block + b * block_words + k * kLanes);
      if constexpr (SignedDocument) d[b] = _mm512_xor_si512(d[b], top_bits);
    }
    for (std::size_t r = 0; r < kQueryRows; ++r) {
      const __m512i q = _mm512_set1_epi32(static_cast<int>(rows[r][k]));
      for (std::size_t b = 0; b < Blocks; ++b) add_quad_products_to(acc[r * Blocks + b], q, d[b]);
    }
  }
  for (std::size_t r = 0; r < kQueryRows; ++r) {
    __m512i correction = _mm512_setzero_si512();
    if constexpr (SignedDocument) {
      // The query row's byte sum, sixteen words at a time.
      __m512i sums = _mm512_setzero_si512();
      for (std::size_t k = 0; k < steps; k += 16) {
        const __mmask16 words = steps - k >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (steps - k)) - 1);
        sums = _mm512_add_epi64(sums, _mm512_sad_epu8(_mm512_maskz_loadu_epi32(words, rows[r] + k),
                                                      _mm512_setzero_si512()));
      }
      const auto byte_sum = static_cast<std::uint32_t>(_mm512_reduce_add_epi64(sums));
      correction = _mm512_set1_epi32(static_cast<int>(byte_sum << 7));
    }
    for (std::size_t b = 0; b < Blocks; ++b)
      total[r * Blocks + b] = _mm512_add_epi32(acc[r * Blocks + b], correction);
  }
}

// What a tile computes: its integer results for Blocks blocks.
template <std::size_t Blocks>
using TileProducts = void (*)(Rows, const std::uint32_t*, std::size_t, std::size_t, __m512i (&)[kQueryRows * Blocks]);

// The inner products for each tile width of one kind of code.
struct Products {
  TileProducts<kMaxBlocks> wide;
  TileProducts<1> single;
};

constexpr Products kByteProducts = {quad_products<kMaxBlocks, true>, quad_products<1, true>};
constexpr Products kNibbleProducts = {quad_products<kMaxBlocks, false>, quad_products<1, false>};

// A register tile's query tokens `tokens`, their word rows in `rows`.
struct QueryGroup {
  const std::uint32_t* rows[kQueryRows];
  std::size_t tokens[kQueryRows];

  QUARNEL_TARGET_AVX512 QueryGroup(const CodeRows& query, std::size_t t, std::size_t steps) {
    for (std::size_t r = 0; r < kQueryRows; ++r) {
      tokens[r] = std::min(t + r, query.count - 1);
      rows[r] = query.words + tokens[r] * steps;
    }
  }
};

// Document words that fit beside a query in L1 (half of a 32 KB L1).
constexpr std::size_t kL1DocumentBytes = std::size_t{16} << 10;

// Calls finish(group, first_block, results, Blocks) for every group of query
// tokens and every tile of kMaxBlocks blocks (then single blocks), with the
// tile's integer results. A document that fits in L1 meets each group whole;
// a larger one is walked tile by tile, each tile staying in L1 while all the
// groups meet it.
template <typename Finish>
QUARNEL_TARGET_AVX512 inline void for_each_tile(const Products& products, const CodeRows& query,
                                                const CodeRows& document, std::size_t steps, const Finish& finish) {
  const std::size_t blocks = (document.count + kLanes - 1) / kLanes;
  const std::size_t block_words = steps * kLanes;
  const auto wide = [&](const QueryGroup& group, std::size_t g) QUARNEL_TARGET_AVX512 {
    __m512i results[kQueryRows * kMaxBlocks];
    products.wide(group.rows, document.words + g * block_words, block_words, steps, results);
    finish(group, g, results, kMaxBlocks);
  };
  const auto single = [&](const QueryGroup& group, std::size_t g) QUARNEL_TARGET_AVX512 {
    __m512i results[kQueryRows];
    products.single(group.rows, document.words + g * block_words, block_words, steps, results);
    finish(group, g, results, 1);
  };
  const std::size_t wide_end = blocks / kMaxBlocks * kMaxBlocks;
  if (blocks * block_words * sizeof(std::uint32_t) <= kL1DocumentBytes) {
    for (std::size_t t = 0; t < query.count; t += kQueryRows) {
      const QueryGroup group(query, t, steps);
      for (std::size_t g = 0; g < wide_end; g += kMaxBlocks) wide(group, g);
      for (std::size_t g = wide_end; g < blocks; ++g) single(group, g);
    }
    return;
  }
  for (std::size_t g = 0; g < wide_end; g += kMaxBlocks)
    for (std::size_t t = 0; t < query.count; t += kQueryRows) wide(QueryGroup(query, t, steps), g);
  for (std::size_t g = wide_end; g < blocks; ++g)
    for (std::size_t t = 0; t < query.count; t += kQueryRows) single(QueryGroup(query, t, steps), g);
}

// The best of the eight lanes. Lane bests only differ from the sequential
// rule ("a larger value replaces best") in which of +0.0 and -0.0 is kept
// when both tie for the maximum, and a score, which starts at +0.0, is the
// same sum either way.
QUARNEL_TARGET_AVX512 inline float best_of_lanes(__m256 v) {
  const __m128 four = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 two = _mm_max_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_max_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// 1-bit codes come in blocks of sixteen document tokens (kBitLanes), one
// 512-bit register a word; the counts of differing bits are u32 lanes that
// cannot wrap (a code has far fewer than 2^32 bits).
constexpr std::size_t kBitLanes = 16;

// fewest[r] becomes the least count of differing bits between query token
// rows[r] and the tokens of `blocks` blocks from `first` on; the running
// minima stay in registers from block to block.
QUARNEL_TARGET_AVX512_POPCNT void fewest_differences(Rows rows, const std::uint32_t* first, std::size_t blocks,
                                                     std::size_t steps, std::uint32_t (&fewest)[kQueryRows]) {
  __m512i least[kQueryRows];
  for (auto& l : least) l = _mm512_set1_epi32(-1);
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::uint32_t* block = first + b * steps * kBitLanes;
    __m512i count[kQueryRows];
    for (auto& c : count) c = _mm512_setzero_si512();
    for (std::size_t k = 0; k < steps; ++k) {
      const __m512i d = _mm512_loadu_si512(block + k * kBitLanes);
      for (std::size_t r = 0; r < kQueryRows; ++r) {
        const __m512i differing = _mm512_xor_si512(_mm512_set1_epi32(static_cast<int>(rows[r][k])), d);
        count[r] = _mm512_add_epi32(count[r], _mm512_popcnt_epi32(differing));
      }
    }
    for (std::size_t r = 0; r < kQueryRows; ++r) least[r] = _mm512_min_epu32(count[r], least[r]);
  }
  for (std::size_t r = 0; r < kQueryRows; ++r)
    fewest[r] = std::min(fewest[r], static_cast<std::uint32_t>(_mm512_reduce_min_epu32(least[r])));
}

// w - 2 * h falls as h grows (every step rounds monotonically), so the best
// estimate is the one of the fewest differing bits: the kernel keeps each
// query token's least count (one u32 of its scratch) and converts it once.
// A document that fits in L1 meets each group of query tokens whole; a
// larger one is walked in runs of blocks that do.
QUARNEL_TARGET_AVX512 void hamming_document(const CodeRows* queries, std::size_t query_count,
                                            const CodeRows& document, std::size_t steps, float w, float* out,
                                            std::ptrdiff_t out_stride, float* scratch) {
  // The scratch is float storage; its first u32 per token is read and written through a may_alias type.
  using Count = std::uint32_t __attribute__((may_alias));
  auto* fewest = reinterpret_cast<Count*>(scratch);
  const std::size_t block_words = steps * kBitLanes;
  const std::size_t blocks = (document.count + kBitLanes - 1) / kBitLanes;
  const std::size_t run = std::max<std::size_t>(1, kL1DocumentBytes / std::max<std::size_t>(1, block_words * 4));
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) fewest[kScratchPerQueryToken * t] = 0xFFFFFFFFu;
    for (std::size_t g = 0; g < blocks; g += run) {
      for (std::size_t t = 0; t < query.count; t += kQueryRows) {
        const QueryGroup group(query, t, steps);
        std::uint32_t least[kQueryRows];
        for (std::size_t r = 0; r < kQueryRows; ++r) least[r] = fewest[kScratchPerQueryToken * group.tokens[r]];
        fewest_differences(group.rows, document.words + g * block_words, std::min(run, blocks - g), steps, least);
        for (std::size_t r = 0; r < kQueryRows; ++r) fewest[kScratchPerQueryToken * group.tokens[r]] = least[r];
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t) {
      const float best = document.count == 0 ? -std::numeric_limits<float>::infinity()
                                             : w - 2.0f * static_cast<float>(fewest[kScratchPerQueryToken * t]);
      score = score + best;
    }
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

// u32 lanes to f32, rounded once like a scalar conversion.
QUARNEL_TARGET_AVX512 inline __m512 u32_to_f32(__m512i v) { return _mm512_cvtepu32_ps(v); }

// 4- and 8-bit codes: the four correction terms in their fixed order,
// sixteen document tokens at a time. A query token keeps eight best lanes;
// each half of an estimate is folded in as the first operand of maxps, which
// keeps its second operand unless the first is larger, so a NaN never wins.
QUARNEL_TARGET_AVX512 void affine_document(const Products& products, const CodeRows* queries,
                                           std::size_t query_count, const CodeRows& document, std::size_t steps,
                                           float w, float* out, std::ptrdiff_t out_stride, float* scratch) {
  const __m256 minus_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
  for (std::size_t q = 0; q < query_count; ++q) {
    const CodeRows& query = queries[q];
    for (std::size_t t = 0; t < query.count; ++t) _mm256_storeu_ps(scratch + kScratchPerQueryToken * t, minus_infinity);
    for_each_tile(products, query, document, steps,
                  [&](const QueryGroup& group, std::size_t g, const __m512i* products_of, std::size_t blocks)
                      QUARNEL_TARGET_AVX512 {
                    for (std::size_t r = 0; r < kQueryRows; ++r) {
                      const std::size_t token = group.tokens[r];
                      const __m512 qa = _mm512_set1_ps(query.scale[token]), qb = _mm512_set1_ps(query.offset[token]);
                      const __m512 q_sum = _mm512_set1_ps(query.code_sum[token]);
                      const __m512 qb_w = _mm512_set1_ps(query.offset[token] * w);
                      float* best_lanes = scratch + kScratchPerQueryToken * token;
                      __m256 best = _mm256_loadu_ps(best_lanes);
                      for (std::size_t b = 0; b < blocks; ++b) {
                        const std::size_t lane = (g + b) * kLanes;
                        const __m512 da = _mm512_loadu_ps(document.scale + lane);
                        const __m512 db = _mm512_loadu_ps(document.offset + lane);
                        const __m512 integer = u32_to_f32(products_of[r * blocks + b]);
                        const __m512 t1 = _mm512_mul_ps(_mm512_mul_ps(qa, da), integer);
                        const __m512 t2 = _mm512_mul_ps(_mm512_mul_ps(qa, db), q_sum);
                        const __m512 t3 = _mm512_mul_ps(_mm512_mul_ps(qb, da), _mm512_loadu_ps(document.code_sum + lane));
                        const __m512 t4 = _mm512_mul_ps(qb_w, db);
                        const __m512d estimate =
                            _mm512_castps_pd(_mm512_add_ps(t1, _mm512_add_ps(t2, _mm512_add_ps(t3, t4))));
                        best = _mm256_max_ps(_mm256_castpd_ps(_mm512_castpd512_pd256(estimate)), best);
                        best = _mm256_max_ps(_mm256_castpd_ps(_mm512_extractf64x4_pd(estimate, 1)), best);
                      }
                      _mm256_storeu_ps(best_lanes, best);
                    }
                  });
    float score = 0.0f;
    for (std::size_t t = 0; t < query.count; ++t)
      score = score + best_of_lanes(_mm256_loadu_ps(scratch + kScratchPerQueryToken * t));
    out[static_cast<std::ptrdiff_t>(q) * out_stride] = score;
  }
}

QUARNEL_TARGET_AVX512 void bytes_document(const CodeRows* queries, std::size_t query_count, const CodeRows& document,
                                          std::size_t steps, float w, float* out, std::ptrdiff_t out_stride,
                                          float* scratch) {
  affine_document(kByteProducts, queries, query_count, document, steps, w, out, out_stride, scratch);
}

QUARNEL_TARGET_AVX512 void nibbles_document(const CodeRows* queries, std::size_t query_count,
                                            const CodeRows& document, std::size_t steps, float w, float* out,
                                            std::ptrdiff_t out_stride, float* scratch) {
  affine_document(kNibbleProducts, queries, query_count, document, steps, w, out, out_stride, scratch);
}

}  // namespace

const CodeKernel kHammingByPopcount = hamming_document;
const CodeKernel kNibblesByVnni = nibbles_document;
const CodeKernel kBytesByVnni = bytes_document;

}  // namespace quarnel::avx512
