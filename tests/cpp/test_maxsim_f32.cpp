#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/dot8_four.hpp"
#include "maxsim/maxsim_f32.hpp"

namespace quarnel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// A dense C-order (items x tokens x width) array and its view.
struct Batch {
  std::vector<float> values;
  TokenTensor<float> view;
};

Batch random_batch(std::size_t items, std::size_t tokens, std::size_t width, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Batch b;
  b.values.resize(items * tokens * width);
  for (float& v : b.values) v = normal(rng);
  b.view = {b.values.data(), items, tokens, width, static_cast<std::ptrdiff_t>(tokens * width),
            static_cast<std::ptrdiff_t>(width), 1};
  return b;
}

// The dot product written out literally: two sets of four lanes over whole
// blocks of eight, each set reduced left to right, then the tail in order.
float literal_dot(const float* a, const float* b, std::size_t n) {
  float lo[4] = {0, 0, 0, 0}, hi[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int k = 0; k < 4; ++k) {
      lo[k] = lo[k] + a[i + k] * b[i + k];
      hi[k] = hi[k] + a[i + 4 + k] * b[i + 4 + k];
    }
  }
  float s = 0.0f;
  if (n >= 8) s = (((lo[0] + lo[1]) + lo[2]) + lo[3]) + (((hi[0] + hi[1]) + hi[2]) + hi[3]);
  for (; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

std::vector<float> literal_max_sim(const TokenTensor<float>& q, const TokenTensor<float>& d) {
  std::vector<float> out;
  for (std::size_t i = 0; i < q.items; ++i) {
    for (std::size_t j = 0; j < d.items; ++j) {
      float score = 0.0f;
      for (std::size_t t = 0; t < q.tokens; ++t) {
        float best = -kInf;
        for (std::size_t s = 0; s < d.tokens; ++s) {
          const float v = literal_dot(q.row(i, t), d.row(j, s), q.width);
          if (v > best) best = v;
        }
        score = score + best;
      }
      out.push_back(score);
    }
  }
  return out;
}

void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < actual.size(); ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(actual[k]), std::bit_cast<std::uint32_t>(expected[k]))
        << "entry " << k << ": " << actual[k] << " vs " << expected[k];
  }
}

TEST(MaxSimF32, FourWayDotMatchesDot8BitForBit) {
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 128u}) {
    Batch a = random_batch(1, 1, n, 1 + static_cast<std::uint32_t>(n));
    Batch b = random_batch(1, 4, n, 100 + static_cast<std::uint32_t>(n));
    const float* rows[4] = {b.view.row(0, 0), b.view.row(0, 1), b.view.row(0, 2), b.view.row(0, 3)};
    float out[4];
    dot8_four(a.values.data(), rows, n, out);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out[k]), std::bit_cast<std::uint32_t>(dot8(a.values.data(), rows[k], n)))
          << "n=" << n << " k=" << k;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out[k]),
                std::bit_cast<std::uint32_t>(literal_dot(a.values.data(), rows[k], n)));
    }
  }
}

// Document token counts 1..9 cover the four-token blocks and their remainder.
TEST(MaxSimF32, MatchesLiteralLoopForEveryBlockingRemainder) {
  for (std::size_t dim : {7u, 9u, 16u, 33u}) {
    for (std::size_t doc_tokens = 1; doc_tokens <= 9; ++doc_tokens) {
      Batch q = random_batch(3, 5, dim, static_cast<std::uint32_t>(dim * 31 + doc_tokens));
      Batch d = random_batch(4, doc_tokens, dim, static_cast<std::uint32_t>(dim * 77 + doc_tokens));
      expect_same_bits(max_sim_f32(q.view, d.view), literal_max_sim(q.view, d.view));
    }
  }
}

TEST(MaxSimF32, StridedAndReversedAxesReadInPlace) {
  // Every other query and every other document token, documents reversed.
  Batch q = random_batch(4, 6, 9, 5);
  Batch d = random_batch(3, 10, 9, 6);
  TokenTensor<float> q_view = q.view;
  q_view.items = 2;
  q_view.item_stride *= 2;
  TokenTensor<float> d_view = d.view;
  d_view.data = d.values.data() + 2 * d.view.item_stride;
  d_view.item_stride = -d.view.item_stride;
  d_view.tokens = 5;
  d_view.token_stride *= 2;

  Batch q_dense = random_batch(2, 6, 9, 0);
  Batch d_dense = random_batch(3, 5, 9, 0);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t t = 0; t < 6; ++t)
      for (std::size_t k = 0; k < 9; ++k) q_dense.values[(i * 6 + t) * 9 + k] = q_view.row(i, t)[k];
  for (std::size_t j = 0; j < 3; ++j)
    for (std::size_t s = 0; s < 5; ++s)
      for (std::size_t k = 0; k < 9; ++k) d_dense.values[(j * 5 + s) * 9 + k] = d_view.row(j, s)[k];
  expect_same_bits(max_sim_f32(q_view, d_view), literal_max_sim(q_dense.view, d_dense.view));
}

TEST(MaxSimF32, NaNNeverBecomesTheBest) {
  Batch q = random_batch(1, 1, 3, 0);
  q.values = {1.0f, 0.0f, 0.0f};
  Batch d = random_batch(2, 5, 3, 0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Document 0: NaN tokens around a best of 2.0, also inside a four-token block.
  d.values = {nan, 0, 0, 1, 0, 0, nan, 0, 0, 2, 0, 0, nan, 0, 0,
              // Document 1: every dot product is NaN.
              nan, 0, 0, nan, 0, 0, nan, 0, 0, nan, 0, 0, nan, 0, 0};
  const std::vector<float> scores = max_sim_f32(q.view, d.view);
  EXPECT_EQ(scores[0], 2.0f);
  EXPECT_EQ(scores[1], -kInf);
}

TEST(MaxSimF32, EmptyAxes) {
  Batch q = random_batch(2, 3, 4, 1);
  Batch d = random_batch(3, 2, 4, 2);
  Batch no_query_tokens = random_batch(2, 0, 4, 3);
  Batch no_document_tokens = random_batch(3, 0, 4, 4);

  for (float v : max_sim_f32(no_query_tokens.view, d.view)) EXPECT_EQ(std::bit_cast<std::uint32_t>(v), 0u);
  for (float v : max_sim_f32(q.view, no_document_tokens.view)) EXPECT_EQ(v, -kInf);
  EXPECT_TRUE(max_sim_f32(random_batch(0, 3, 4, 5).view, d.view).empty());
  EXPECT_TRUE(max_sim_f32(q.view, random_batch(0, 2, 4, 6).view).empty());
  // Zero-width tokens: every dot product is 0, so every score is 0.
  for (float v : max_sim_f32(random_batch(2, 3, 0, 7).view, random_batch(2, 2, 0, 8).view)) EXPECT_EQ(v, 0.0f);
}

TEST(MaxSimF32, RefusesMismatchedWidthsAndStridedRows) {
  Batch q = random_batch(2, 3, 4, 1);
  Batch d = random_batch(3, 2, 4, 2);
  TokenTensor<float> transposed = d.view;
  transposed.value_stride = 2;
  transposed.width = 2;
  EXPECT_THROW(max_sim_f32(q.view, random_batch(3, 2, 5, 3).view), InternalError);
  TokenTensor<float> q2 = q.view;
  q2.width = 2;
  EXPECT_THROW(max_sim_f32(q2, transposed), InternalError);
  EXPECT_THROW(max_sim_f32(transposed, q2), InternalError);

  // A single value per row has no stride to get wrong.
  TokenTensor<float> single = d.view;
  single.width = 1;
  single.value_stride = 7;
  TokenTensor<float> q1 = q.view;
  q1.width = 1;
  EXPECT_EQ(max_sim_f32(q1, single).size(), 6u);
}

TEST(MaxSimF32, ThreadCountDoesNotChangeBits) {
  Batch q = random_batch(9, 7, 33, 11);
  Batch d = random_batch(13, 6, 33, 12);
  std::vector<float> one, two;
  with_pool_size_for_testing(1, [&] { one = max_sim_f32(q.view, d.view); });
  with_pool_size_for_testing(2, [&] { two = max_sim_f32(q.view, d.view); });
  expect_same_bits(two, one);
}

}  // namespace
}  // namespace quarnel
