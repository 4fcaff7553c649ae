#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "literal_kernels.hpp"
#include "maxsim/maxsim_kernels.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"

namespace quarnel {
namespace {

using testing::runnable_paths;
using testing::same_bits;

constexpr float kInf = std::numeric_limits<float>::infinity();

// C-order codes (items x tokens x bytes) and metadata (items x tokens x 4).
struct Side {
  std::vector<std::uint8_t> codes;
  std::vector<float> meta;
  TokenTensor<std::uint8_t> code_view;
  TokenTensor<float> meta_view;

  Side(std::size_t items, std::size_t tokens, std::size_t bytes, std::uint32_t seed, std::size_t specials_every = 0)
      : codes(items * tokens * bytes), meta(items * tokens * 4) {
    std::mt19937 rng(seed);
    for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
    const auto values = testing::spread_values(items * tokens * 4, seed, specials_every);
    for (std::size_t k = 0; k < meta.size(); ++k) meta[k] = k % 4 == 2 ? std::fabs(values[k]) * 3000 : values[k];
    const auto b = static_cast<std::ptrdiff_t>(bytes);
    code_view = {codes.data(), items, tokens, bytes, b * static_cast<std::ptrdiff_t>(tokens), b, 1};
    meta_view = {reinterpret_cast<const unsigned char*>(meta.data()), items, tokens, 4,
                 16 * static_cast<std::ptrdiff_t>(tokens), 16, 4};
  }
};

std::uint32_t literal_product(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, std::uint64_t bits) {
  std::uint32_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (bits == 1) {
      for (int bit = 0; bit < 8; ++bit) total += ((a[k] ^ b[k]) >> bit) & 1u;
    } else if (bits == 4) {
      total += static_cast<std::uint32_t>(a[k] & 15) * (b[k] & 15);
      total += static_cast<std::uint32_t>(a[k] >> 4) * (b[k] >> 4);
    } else {
      total += static_cast<std::uint32_t>(a[k]) * b[k];
    }
  }
  return total;
}

// The pair estimate and the maximum written out one operation at a time.
std::vector<float> literal_scores(const Side& q, const Side& d, std::uint64_t bits, float w) {
  const auto& qc = q.code_view;
  const auto& dc = d.code_view;
  std::vector<float> out;
  for (std::size_t i = 0; i < qc.items; ++i) {
    for (std::size_t j = 0; j < dc.items; ++j) {
      float score = 0.0f;
      for (std::size_t t = 0; t < qc.tokens; ++t) {
        float best = -kInf;
        const float* qm = &q.meta[(i * qc.tokens + t) * 4];
        for (std::size_t s = 0; s < dc.tokens; ++s) {
          const float* dm = &d.meta[(j * dc.tokens + s) * 4];
          const std::uint32_t integer = literal_product(qc.row_bytes(i, t), dc.row_bytes(j, s), qc.width, bits);
          float p;
          if (bits == 1) {
            p = w - 2.0f * static_cast<float>(integer);
          } else {
            const float q_sum = static_cast<float>(code_sum_from_f32(qm[2]));
            const float d_sum = static_cast<float>(code_sum_from_f32(dm[2]));
            const float t1 = (qm[0] * dm[0]) * static_cast<float>(integer);
            const float t2 = (qm[0] * dm[1]) * q_sum;
            const float t3 = (qm[1] * dm[0]) * d_sum;
            const float t4 = (qm[1] * w) * dm[1];
            p = t1 + (t2 + (t3 + t4));
          }
          if (p > best) best = p;
        }
        score = score + best;
      }
      out.push_back(score);
    }
  }
  return out;
}

void expect_scores(const Side& q, const Side& d, std::uint64_t bits, std::uint64_t dim, const char* what) {
  const QuantizerParams params = make_quantizer_params(bits, dim);
  const auto expected = literal_scores(q, d, bits, params.component_count());
  for (SimdPath path : runnable_paths()) {
    const auto actual = max_sim_quantized(q.code_view, q.meta_view, d.code_view, d.meta_view, params, path);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k)
      ASSERT_TRUE(same_bits(actual[k], expected[k]))
          << what << " bits " << bits << " path " << simd_path_name(path) << " entry " << k << ": " << actual[k]
          << " vs " << expected[k];
  }
}

std::string internal_error_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "<no InternalError>";
}

// Every code length 0..70 crosses each layout's word and flush boundaries;
// document codes longer than the query's are read only as far as the query's.
TEST(MaxSimQuantized, EveryPathMatchesTheLiteralLoopForEveryCodeLength) {
  for (std::uint64_t bits : {1u, 4u, 8u}) {
    for (std::size_t bytes = 0; bytes <= 70; ++bytes) {
      const auto seed = static_cast<std::uint32_t>(bits * 100 + bytes);
      expect_scores(Side(2, 3, bytes, seed), Side(3, bytes % 2 ? 5 : 11, bytes + bytes % 3, seed + 1), bits, 64, "length");
    }
  }
}

TEST(MaxSimQuantized, TokenCountsEmptyBatchesAndSpecialValues) {
  for (std::uint64_t bits : {1u, 4u, 8u}) {
    for (std::size_t doc_tokens : {0u, 1u, 7u, 8u, 9u, 17u})
      for (std::size_t query_items : {0u, 1u, 3u})
        expect_scores(Side(query_items, query_items == 3 ? 0 : 4, 20, 5), Side(query_items == 1 ? 0 : 2, doc_tokens, 20, 6),
                      bits, 160, "tokens");
    // NaN, infinities and signed zeros among scales and offsets; NaN estimates never win.
    expect_scores(Side(3, 5, 24, 7, 5), Side(4, 13, 24, 8, 7), bits, 192, "specials");
  }
}

// 67 document tokens of 256-byte codes (18 KB of words or more in every
// layout) are walked tile by tile rather than whole, with single blocks left
// over after the tiles and a partial group of query tokens.
TEST(MaxSimQuantized, DocumentsLargerThanL1AreWalkedTileByTile) {
  for (std::uint64_t bits : {1u, 4u, 8u})
    expect_scores(Side(2, 7, 256, 3), Side(2, 67, 256, 4), bits, 2048 / bits, "large documents");
}

// Long 8-bit codes of 255s: the integer sum wraps at 2^32 like a u32, and
// sums above 2^31 convert to f32 as unsigned values; 33024 bytes are the
// longest codes whose sums stay below 2^31.
TEST(MaxSimQuantized, LargeIntegerSumsWrapAndConvertAsUnsigned) {
  for (std::size_t bytes : {33024u, 33026u, 40000u, 70000u}) {
    Side q(1, 1, bytes, 1), d(1, 2, bytes, 2);
    std::fill(q.codes.begin(), q.codes.end(), 255);
    std::fill(d.codes.begin(), d.codes.end(), 255);
    q.meta = {1, 0, 0, 0};
    d.meta = {1, 0, 0, 0, 0.5f, 0, 0, 0};
    expect_scores(q, d, 8, 65536, "wrap");
  }
}

// Extreme codes at lengths around the kernels' partial-sum flushes: all bits
// differing for 1-bit codes, the largest nibble products for 4-bit codes.
TEST(MaxSimQuantized, PartialSumsAreWidenedBeforeTheyOverflow) {
  for (std::size_t bytes : {123u, 124u, 125u, 128u, 129u, 300u}) {
    Side q(1, 2, bytes, 1), d(2, 9, bytes, 2);
    std::fill(q.codes.begin(), q.codes.end(), 0xFF);
    for (std::size_t k = 0; k < d.codes.size(); ++k) d.codes[k] = k < d.codes.size() / 2 ? 0x00 : 0xFF;
    expect_scores(q, d, 1, 4096, "bits");
    expect_scores(q, d, 4, 1024, "nibbles");
  }
}

// The AVX-512 path with each extension present or missing (the AVX2 kernel
// in its place), each kernel run directly on sides in its own layout.
TEST(MaxSimQuantized, Avx512KernelsWithAndWithoutEachExtension) {
  if (!cpu_supports_avx512()) GTEST_SKIP() << "this CPU lacks AVX-512 F/BW/VL";
  const Side q(2, 6, 40, 11), d(3, 37, 40, 12);
  for (bool vnni : {false, true}) {
    for (bool vpopcntdq : {false, true}) {
      if ((vnni && !cpu_has_avx512_vnni()) || (vpopcntdq && !cpu_has_avx512_vpopcntdq())) continue;
      const CodeMaxSimKernels kernels = avx512_code_kernels(vnni, vpopcntdq);
      for (std::uint64_t bits : {1u, 4u, 8u}) {
        const QuantizerParams params = make_quantizer_params(bits, 320 / bits);
        const CodeLayout layout = bits == 1 ? kernels.bit_layout : bits == 4 ? kernels.nibble_layout : kernels.byte_layout;
        const std::size_t lanes = bits == 1 ? kernels.bit_lanes : kernels.affine_lanes;
        const CodeKernel kernel = bits == 1 ? kernels.hamming : bits == 4 ? kernels.nibbles : kernels.bytes;
        const CodeSide queries = make_code_side(uniform_source(q.code_view, q.meta_view), layout, 1, 40);
        const CodeSide documents = make_code_side(uniform_source(d.code_view, d.meta_view), layout, lanes, 40);
        const auto expected = literal_scores(q, d, bits, params.component_count());
        std::vector<float> scratch(kScratchPerQueryToken * 6);
        for (std::size_t i = 0; i < 2; ++i) {
          for (std::size_t j = 0; j < 3; ++j) {
            const CodeRows query = queries.item(i);
            float score = 0.0f;
            kernel(&query, 1, documents.item(j), queries.steps(), params.component_count(), &score, 1, scratch.data());
            ASSERT_TRUE(same_bits(score, expected[i * 3 + j])) << "vnni " << vnni << " vpopcntdq " << vpopcntdq
                                                                << " bits " << bits << " pair " << i << "," << j;
          }
        }
      }
    }
  }
}

TEST(MaxSimQuantized, ThreadsAndSlabChecksDoNotChangeScores) {
  const Side q(5, 6, 16, 9), d(30, 10, 16, 10);
  for (std::uint64_t bits : {1u, 4u, 8u}) {
    const QuantizerParams params = make_quantizer_params(bits, 128 / bits);
    const auto expected = literal_scores(q, d, bits, params.component_count());
    for (SimdPath path : runnable_paths()) {
      for (std::size_t threads : {1u, 2u, 3u}) {
        std::vector<float> scores(5 * 30);
        with_pool_size_for_testing(threads, [&] {
          max_sim_quantized(q.code_view, q.meta_view, d.code_view, d.meta_view, params, scores.data(), path);
        });
        for (std::size_t k = 0; k < scores.size(); ++k) ASSERT_TRUE(same_bits(scores[k], expected[k])) << bits;
      }
    }
  }
}

TEST(MaxSimQuantized, ShortDocumentCodesAndSmallMetadataAreRefused) {
  const Side q(2, 2, 32, 1), d(2, 2, 16, 2);
  const QuantizerParams params = make_quantizer_params(1, 256);
  EXPECT_EQ(internal_error_message([&] { max_sim_quantized(q.code_view, q.meta_view, d.code_view, d.meta_view, params); }),
            "index out of bounds: document token code: the index is 16 but the length is 16");
  // No pair is scored without query tokens, so the short codes are never read.
  TokenTensor<std::uint8_t> no_tokens = q.code_view;
  no_tokens.tokens = 0;
  EXPECT_EQ(max_sim_quantized(no_tokens, q.meta_view, d.code_view, d.meta_view, params), std::vector<float>(4, 0.0f));
  // Metadata problems of either side come before the code length.
  TokenTensor<float> narrow = d.meta_view;
  narrow.width = 3;
  EXPECT_THROW(max_sim_quantized(q.code_view, q.meta_view, d.code_view, narrow, params), InternalError);
  EXPECT_NE(internal_error_message([&] { max_sim_quantized(q.code_view, q.meta_view, d.code_view, narrow, params); })
                .find("metadata"),
            std::string::npos);
}

TEST(QuantizerParams, BlockSizeAndPaddedDim) {
  const std::uint64_t cases[][3] = {{0, 1, 0}, {1, 1, 1}, {5, 8, 8}, {8, 8, 8}, {9, 16, 16}, {128, 128, 128},
                                    {std::uint64_t{1} << 63, std::uint64_t{1} << 63, std::uint64_t{1} << 63}};
  for (const auto& c : cases) {
    const QuantizerParams p = make_quantizer_params(4, c[0]);
    EXPECT_EQ(p.block_size, c[1]) << c[0];
    EXPECT_EQ(p.padded_dim, c[2]) << c[0];
  }
  EXPECT_THROW(make_quantizer_params(8, (std::uint64_t{1} << 63) + 1), InternalError);
  EXPECT_THROW(make_quantizer_params(8, std::numeric_limits<std::uint64_t>::max()), InternalError);
  for (std::uint64_t bits : {0u, 2u, 3u, 16u}) {
    EXPECT_EQ(internal_error_message([&] { make_quantizer_params(bits, 128); }), "Only 1, 4, or 8-bit supported");
  }
}

// Component c of a code of n bytes in a layout, read the plain way (bits of
// a 1-bit code count as components 0 or 1; past the code's end, zero).
std::uint32_t literal_component(CodeLayout layout, const std::uint8_t* code, std::size_t n, std::size_t c) {
  if (layout == CodeLayout::Bits) return c / 8 < n ? (code[c / 8] >> (c % 8)) & 1u : 0u;
  if (layout == CodeLayout::BytePairs16) return c < n ? code[c] : 0u;
  return c / 2 < n ? (c % 2 ? code[c / 2] >> 4 : code[c / 2] & 15u) : 0u;  // nibbles, low first
}

// Every layout on both sides (one lane and eight), at lengths around the
// sixteen-byte packing runs and the four-word transposes, with token counts
// that leave the last block part filled: each slot holds its token's
// components (the last token repeated in the padding) and its metadata.
TEST(QuantizedTokens, CodeSidesHoldEachTokenInItsSlot) {
  const CodeLayout layouts[] = {CodeLayout::Bits, CodeLayout::BytePairs16, CodeLayout::NibblePairs16,
                                CodeLayout::NibbleQuads8};
  for (CodeLayout layout : layouts) {
    const std::size_t bits_per_component = layout == CodeLayout::Bits ? 1 : 32 / (layout == CodeLayout::NibbleQuads8 ? 4 : 2);
    for (std::size_t bytes : {1u, 15u, 16u, 17u, 33u, 70u}) {
      for (std::size_t lanes : {1u, 8u}) {
        const Side side(2, lanes == 1 ? 3 : 11, bytes, static_cast<std::uint32_t>(bytes + lanes));
        const CodeSide codes = make_code_side(uniform_source(side.code_view, side.meta_view), layout, lanes, bytes);
        const std::size_t steps = codes.steps();
        const std::size_t per_word = 32 / bits_per_component;
        for (std::size_t i = 0; i < 2; ++i) {
          const CodeRows rows = codes.item(i);
          const std::size_t slots = (rows.count + lanes - 1) / lanes * lanes;
          for (std::size_t slot = 0; slot < slots; ++slot) {
            const std::size_t token = std::min(slot, rows.count - 1);
            const std::uint8_t* code = side.code_view.row_bytes(i, token);
            for (std::size_t k = 0; k < steps; ++k) {
              std::uint32_t expected = 0;
              for (std::size_t c = 0; c < per_word; ++c)
                expected |= literal_component(layout, code, bytes, k * per_word + c) << (c * bits_per_component);
              ASSERT_EQ(rows.words[(slot / lanes * steps + k) * lanes + slot % lanes], expected)
                  << "layout " << static_cast<int>(layout) << " bytes " << bytes << " lanes " << lanes << " slot "
                  << slot << " word " << k;
            }
            const float* meta = &side.meta[(i * side.code_view.tokens + token) * 4];
            EXPECT_TRUE(same_bits(rows.scale[slot], meta[0]) && same_bits(rows.offset[slot], meta[1]));
            EXPECT_EQ(rows.code_sum[slot], static_cast<float>(code_sum_from_f32(meta[2])));
          }
        }
      }
    }
  }
}

TEST(QuantizedTokens, CodeSumConversion) {
  EXPECT_EQ(code_sum_from_f32(-3.5f), 0u);
  EXPECT_EQ(code_sum_from_f32(7.9f), 7u);
  EXPECT_EQ(code_sum_from_f32(5e9f), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(std::numeric_limits<float>::quiet_NaN()), 0u);
  EXPECT_EQ(code_sum_from_f32(kInf), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(-kInf), 0u);
  EXPECT_EQ(code_sum_from_f32(4294967040.0f), 4294967040u);  // largest f32 below 2^32
}

}  // namespace
}  // namespace quarnel
