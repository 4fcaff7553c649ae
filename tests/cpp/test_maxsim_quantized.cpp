#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/code_products.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"

namespace quarnel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

template <typename T>
struct Array3 {
  std::vector<T> values;
  std::size_t items, tokens, width;

  TokenTensor<T> view() const {
    return {values.data(), items, tokens, width, static_cast<std::ptrdiff_t>(tokens * width),
            static_cast<std::ptrdiff_t>(width), 1};
  }
};

Array3<std::uint8_t> random_codes(std::size_t items, std::size_t tokens, std::size_t bytes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Array3<std::uint8_t> a{std::vector<std::uint8_t>(items * tokens * bytes), items, tokens, bytes};
  for (auto& v : a.values) v = static_cast<std::uint8_t>(rng());
  return a;
}

Array3<float> random_meta(std::size_t items, std::size_t tokens, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> scale(0.001f, 0.05f), offset(-1.0f, 1.0f), sum(0.0f, 4000.0f);
  Array3<float> a{std::vector<float>(items * tokens * 4), items, tokens, 4};
  for (std::size_t k = 0; k < items * tokens; ++k) {
    a.values[k * 4 + 0] = scale(rng);
    a.values[k * 4 + 1] = offset(rng);
    a.values[k * 4 + 2] = sum(rng);
    a.values[k * 4 + 3] = 0.5f;
  }
  return a;
}

std::uint32_t plain_product(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, std::uint64_t bits) {
  std::uint32_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (bits == 1) {
      for (int bit = 0; bit < 8; ++bit) total += ((a[k] ^ b[k]) >> bit) & 1u;
    } else if (bits == 4) {
      total += static_cast<std::uint32_t>(a[k] & 15) * (b[k] & 15) + static_cast<std::uint32_t>(a[k] >> 4) * (b[k] >> 4);
    } else {
      total += static_cast<std::uint32_t>(a[k]) * b[k];
    }
  }
  return total;
}

// The scores written straight from the pair formula, from the raw arrays.
std::vector<float> literal_scores(const Array3<std::uint8_t>& qc, const Array3<float>& qm,
                                  const Array3<std::uint8_t>& dc, const Array3<float>& dm, std::uint64_t bits,
                                  float w) {
  std::vector<float> out;
  for (std::size_t i = 0; i < qc.items; ++i) {
    for (std::size_t j = 0; j < dc.items; ++j) {
      float score = 0.0f;
      for (std::size_t t = 0; t < qc.tokens; ++t) {
        const std::uint8_t* a = &qc.values[(i * qc.tokens + t) * qc.width];
        const float* q = &qm.values[(i * qm.tokens + t) * qm.width];
        float best = -kInf;
        for (std::size_t s = 0; s < dc.tokens; ++s) {
          const std::uint8_t* b = &dc.values[(j * dc.tokens + s) * dc.width];
          const float* d = &dm.values[(j * dm.tokens + s) * dm.width];
          const std::uint32_t integer = plain_product(a, b, qc.width, bits);
          float p;
          if (bits == 1) {
            p = w - 2.0f * static_cast<float>(integer);
          } else {
            const float t1 = (q[0] * d[0]) * static_cast<float>(integer);
            const float t2 = (q[0] * d[1]) * static_cast<float>(static_cast<std::uint32_t>(q[2]));
            const float t3 = (q[1] * d[0]) * static_cast<float>(static_cast<std::uint32_t>(d[2]));
            const float t4 = (q[1] * w) * d[1];
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

std::vector<float> score(const Array3<std::uint8_t>& qc, const Array3<float>& qm, const Array3<std::uint8_t>& dc,
                         const Array3<float>& dm, std::uint64_t bits, std::uint64_t dim) {
  const QuantizerParams params = make_quantizer_params(bits, dim);
  return max_sim_quantized(make_token_lists(qc.view(), qm.view()), make_token_lists(dc.view(), dm.view()), params);
}

std::string internal_error_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "<no InternalError>";
}

TEST(CodeProducts, VectorPathsEqualPlainLoops) {
  std::mt19937 rng(3);
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<std::uint8_t> a(n), b(n);
    for (auto& v : a) v = static_cast<std::uint8_t>(rng());
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    if (n > 3) a[1] = b[1] = 255;  // the largest byte product must not turn negative
    EXPECT_EQ(code_hamming_distance(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 1)) << n;
    EXPECT_EQ(code_dot_u4(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 4)) << n;
    EXPECT_EQ(code_dot_u8(a.data(), b.data(), n), plain_product(a.data(), b.data(), n, 8)) << n;
  }
  const std::uint8_t x = 0x21;
  EXPECT_EQ(code_dot_u4(&x, &x, 1), 5u);  // 1*1 + 2*2
}

TEST(CodeProducts, ByteSumsWrapAtThirtyTwoBits) {
  const std::vector<std::uint8_t> ones(70000, 255);
  const std::uint32_t expected = static_cast<std::uint32_t>(70000ull * 255 * 255);  // above 2^32, wrapped
  EXPECT_EQ(code_dot_u8(ones.data(), ones.data(), ones.size()), expected);
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

TEST(QuantizedTokens, CodeSumConversion) {
  EXPECT_EQ(code_sum_from_f32(-3.5f), 0u);
  EXPECT_EQ(code_sum_from_f32(7.9f), 7u);
  EXPECT_EQ(code_sum_from_f32(5e9f), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(std::numeric_limits<float>::quiet_NaN()), 0u);
  EXPECT_EQ(code_sum_from_f32(kInf), 4294967295u);
  EXPECT_EQ(code_sum_from_f32(-kInf), 0u);
  EXPECT_EQ(code_sum_from_f32(4294967040.0f), 4294967040u);  // largest f32 below 2^32
}

TEST(QuantizedTokens, MetadataMustCoverTheCodes) {
  const auto codes = random_codes(2, 3, 4, 1);
  Array3<float> wide{std::vector<float>(2 * 3 * 5, 9.0f), 2, 3, 5};
  wide.values[2] = 6.0f;  // item 0, token 0: code sum
  const QuantizedTokenLists lists = make_token_lists(codes.view(), wide.view());
  EXPECT_EQ(lists.token(0, 0).code_sum, 6u);
  EXPECT_EQ(lists.token(1, 2).spare, 9.0f);
  EXPECT_EQ(lists.codes(1, 2)[3], codes.values[(1 * 3 + 2) * 4 + 3]);

  const Array3<float> narrow{std::vector<float>(2 * 3 * 3), 2, 3, 3};
  const Array3<float> few_items{std::vector<float>(1 * 3 * 4), 1, 3, 4};
  const Array3<float> few_tokens{std::vector<float>(2 * 2 * 4), 2, 2, 4};
  EXPECT_THROW(make_token_lists(codes.view(), narrow.view()), InternalError);
  EXPECT_THROW(make_token_lists(codes.view(), few_items.view()), InternalError);
  EXPECT_THROW(make_token_lists(codes.view(), few_tokens.view()), InternalError);
  // Nothing is read when there are no tokens.
  EXPECT_NO_THROW(make_token_lists(random_codes(2, 0, 4, 1).view(), narrow.view()));
}

TEST(MaxSimQuantized, OneBitWorkedValues) {
  // dim 16: w = 16, two code bytes per token.
  Array3<std::uint8_t> q{{0xA5, 0x3C}, 1, 1, 2};
  Array3<std::uint8_t> d{{0xA5, 0x3C, 0x5A, 0xC3, 0xA5, 0x3D}, 3, 1, 2};
  const Array3<float> qm{std::vector<float>(4), 1, 1, 4};
  const Array3<float> dm{std::vector<float>(12), 3, 1, 4};
  const std::vector<float> scores = score(q, qm, d, dm, 1, 16);
  EXPECT_EQ(scores, (std::vector<float>{16.0f, -16.0f, 14.0f}));

  // No code bytes: every pair is w.
  Array3<std::uint8_t> empty{{}, 1, 2, 0};
  EXPECT_EQ(score(empty, Array3<float>{std::vector<float>(8), 1, 2, 4}, empty,
                  Array3<float>{std::vector<float>(8), 1, 2, 4}, 1, 16),
            (std::vector<float>{32.0f}));
}

TEST(MaxSimQuantized, EightBitWorkedValue) {
  const Array3<std::uint8_t> codes{{1, 2, 3, 0}, 1, 1, 4};
  const Array3<float> meta{{1.0f, 0.0f, 6.0f, 0.0f}, 1, 1, 4};
  EXPECT_EQ(score(codes, meta, codes, meta, 8, 3), (std::vector<float>{14.0f}));
}

TEST(MaxSimQuantized, MatchesLiteralFormulaBitForBit) {
  for (std::uint64_t bits : {1u, 4u, 8u}) {
    for (std::size_t bytes : {3u, 16u, 19u, 64u}) {
      const auto qc = random_codes(3, 5, bytes, static_cast<std::uint32_t>(bits * 100 + bytes));
      const auto dc = random_codes(4, 6, bytes + 2, static_cast<std::uint32_t>(bits * 200 + bytes));
      const auto qm = random_meta(3, 5, 7);
      const auto dm = random_meta(4, 6, 8);
      const std::uint64_t dim = 100;  // w = 128
      const std::vector<float> actual = score(qc, qm, dc, dm, bits, dim);
      const std::vector<float> expected = literal_scores(qc, qm, dc, dm, bits, 128.0f);
      ASSERT_EQ(actual.size(), expected.size());
      for (std::size_t k = 0; k < actual.size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(actual[k]), std::bit_cast<std::uint32_t>(expected[k]))
            << "bits " << bits << " bytes " << bytes << " entry " << k;
      }
    }
  }
}

TEST(MaxSimQuantized, EmptyAxesAndNaN) {
  const auto qc = random_codes(2, 3, 4, 1);
  const auto qm = random_meta(2, 3, 2);
  const auto dc = random_codes(3, 2, 4, 3);
  const auto dm = random_meta(3, 2, 4);
  for (float v : score(random_codes(2, 0, 4, 1), Array3<float>{{}, 2, 0, 4}, dc, dm, 8, 8)) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(v), 0u);
  }
  for (float v : score(qc, qm, random_codes(3, 0, 4, 1), Array3<float>{{}, 3, 0, 4}, 8, 8)) EXPECT_EQ(v, -kInf);
  EXPECT_TRUE(score(random_codes(0, 3, 4, 1), Array3<float>{{}, 0, 3, 4}, dc, dm, 4, 8).empty());
  EXPECT_TRUE(score(qc, qm, random_codes(0, 2, 4, 1), Array3<float>{{}, 0, 2, 4}, 4, 8).empty());

  // A NaN scale on one document token: that token never wins; all NaN gives -inf.
  auto nan_meta = dm;
  nan_meta.values[0] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> with_nan = score(qc, qm, dc, nan_meta, 8, 8);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_FALSE(std::isnan(with_nan[i * 3]));
  for (std::size_t k = 0; k < dm.values.size(); k += 4) nan_meta.values[k] = std::numeric_limits<float>::quiet_NaN();
  for (float v : score(qc, qm, dc, nan_meta, 8, 8)) EXPECT_EQ(v, -kInf);
}

TEST(MaxSimQuantized, ShorterDocumentCodeIsRefused) {
  const auto qc = random_codes(2, 2, 32, 1);
  const auto dc = random_codes(2, 2, 16, 2);
  const auto qm = random_meta(2, 2, 3);
  const auto dm = random_meta(2, 2, 4);
  const std::string message = internal_error_message([&] { score(qc, qm, dc, dm, 1, 256); });
  EXPECT_NE(message.find("the index is 16 but the length is 16"), std::string::npos) << message;

  // A longer document code: only its first 16 bytes count.
  const auto long_dc = random_codes(2, 2, 32, 5);
  const auto short_q = random_codes(2, 2, 16, 6);
  Array3<std::uint8_t> truncated{{}, 2, 2, 16};
  for (std::size_t k = 0; k < 4; ++k) {
    truncated.values.insert(truncated.values.end(), long_dc.values.begin() + k * 32, long_dc.values.begin() + k * 32 + 16);
  }
  for (std::uint64_t bits : {1u, 4u, 8u}) {
    EXPECT_EQ(score(short_q, qm, long_dc, dm, bits, 128), score(short_q, qm, truncated, dm, bits, 128));
  }
}

TEST(MaxSimQuantized, ThreadCountDoesNotChangeBits) {
  const auto qc = random_codes(9, 4, 24, 1);
  const auto qm = random_meta(9, 4, 2);
  const auto dc = random_codes(11, 5, 24, 3);
  const auto dm = random_meta(11, 5, 4);
  std::vector<float> one, two;
  with_pool_size_for_testing(1, [&] { one = score(qc, qm, dc, dm, 4, 48); });
  with_pool_size_for_testing(2, [&] { two = score(qc, qm, dc, dm, 4, 48); });
  ASSERT_EQ(one.size(), two.size());
  for (std::size_t k = 0; k < one.size(); ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(one[k]), std::bit_cast<std::uint32_t>(two[k]));
  }
}

}  // namespace
}  // namespace quarnel
