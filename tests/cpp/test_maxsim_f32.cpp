#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "backend/kernels.hpp"
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

}  // namespace
}  // namespace quarnel
