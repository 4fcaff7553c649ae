#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"
#include "literal_kernels.hpp"

namespace quarnel {
namespace {

using testing::bits;
using testing::literal_dot8;
using testing::runnable_paths;
using testing::spread_values;

float sequential_dot(const float* a, const float* b, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

std::vector<float> literal_similarity_matrix(const std::vector<float>& e, std::size_t n, std::size_t dim) {
  std::vector<float> u(n * dim);
  for (std::size_t r = 0; r < n; ++r) {
    const float s2 = literal_dot8(&e[r * dim], &e[r * dim], dim);
    const float f = s2 > 1e-6f ? 1.0f / std::sqrt(s2) : 0.0f;
    for (std::size_t k = 0; k < dim; ++k) u[r * dim + k] = e[r * dim + k] * f;
  }
  std::vector<float> m(n * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) m[i * n + j] = literal_dot8(&u[i * dim], &u[j * dim], dim);
  return m;
}

void expect_same_bits(std::span<const float> actual, std::span<const float> expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_TRUE(testing::same_bits(actual[i], expected[i])) << "at index " << i << ": " << actual[i] << " vs " << expected[i];
}

TEST(Dot8, MatchesTheBlockOrderBitForBit) {
  bool order_matters = false;
  for (std::size_t n : {0, 1, 7, 8, 9, 16, 17, 31, 64, 100}) {
    const auto a = spread_values(n, 11 + n), b = spread_values(n, 97 + n);
    const float expected = literal_dot8(a.data(), b.data(), n);
    EXPECT_EQ(bits(dot8(a.data(), b.data(), n)), bits(expected)) << "length " << n;
    EXPECT_EQ(bits(dot8(std::span<const float>(a), std::span<const float>(b))), bits(expected));
    if (n < 8) {
      EXPECT_EQ(bits(expected), bits(sequential_dot(a.data(), b.data(), n)));
    }
    if (bits(expected) != bits(sequential_dot(a.data(), b.data(), n))) order_matters = true;
  }
  // Guards the test itself: the data must tell the block order from a plain loop.
  EXPECT_TRUE(order_matters);
}

TEST(Dot8, ShorterSecondVectorThrows) {
  const std::vector<float> a(9, 1.0f), b(8, 1.0f);
  EXPECT_THROW(dot8(std::span<const float>(a), std::span<const float>(b)), InternalError);
  // A longer second vector is fine: only the first a.size() values are read.
  EXPECT_EQ(dot8(std::span<const float>(b), std::span<const float>(a)), 8.0f);
}

TEST(CosineSimilarity, TailIsSummedSeparatelyAndAddedAfterTheBlocks) {
  const std::size_t n = 19;
  const auto a = spread_values(n, 5), b = spread_values(n, 6);
  float ab_tail = 0, aa_tail = 0, bb_tail = 0;
  for (std::size_t i = 16; i < n; ++i) {
    ab_tail += a[i] * b[i];
    aa_tail += a[i] * a[i];
    bb_tail += b[i] * b[i];
  }
  const float ab = literal_dot8(a.data(), b.data(), 16) + ab_tail;
  const float aa = literal_dot8(a.data(), a.data(), 16) + aa_tail;
  const float bb = literal_dot8(b.data(), b.data(), 16) + bb_tail;
  const float expected = ab / (std::sqrt(aa) * std::sqrt(bb));
  EXPECT_EQ(bits(cosine_similarity(a, b)), bits(expected));
}

TEST(CosineSimilarity, DegenerateNormsGiveZero) {
  const std::vector<float> x = spread_values(12, 3);
  const std::vector<float> zero(12, 0.0f);
  std::vector<float> tiny(12, 0.0f);
  tiny[5] = 1e-7f;  // norm 1e-7, below the 1e-6 cut-off
  std::vector<float> not_a_number(12, 1.0f);
  not_a_number[2] = NAN;
  EXPECT_EQ(cosine_similarity(x, zero), 0.0f);
  EXPECT_EQ(cosine_similarity(zero, x), 0.0f);
  EXPECT_EQ(cosine_similarity(x, tiny), 0.0f);
  EXPECT_EQ(cosine_similarity(not_a_number, x), 0.0f);
  EXPECT_NEAR(cosine_similarity(x, x), 1.0f, 1e-6f);
  EXPECT_THROW(cosine_similarity(x, std::span<const float>(zero).first(11)), InternalError);
}

TEST(SimilarityMatrix, EveryPathEqualsTheEntryByEntryComputation) {
  // 1, 5 and 13 rows leave partial micro-tiles on both paths; every width crosses dot8's tail.
  for (std::size_t n : {1u, 5u, 13u}) {
    for (std::size_t dim = 1; dim <= 70; ++dim) {
      const auto embeddings = spread_values(n * dim, static_cast<std::uint32_t>(dim));
      const auto expected = literal_similarity_matrix(embeddings, n, dim);
      for (SimdPath path : runnable_paths()) expect_same_bits(similarity_matrix(embeddings, n, dim, path), expected);
    }
  }
}

TEST(SimilarityMatrix, TilesAndThreadsGiveTheSameMatrix) {
  // 150 rows: panels of rows (the last one partial) over one chunk of
  // columns; at dim 1001 the columns come in chunks of 97, so tiles end
  // inside micro-tiles on both axes. Both widths exercise dot8's tail.
  for (const std::size_t dim : {11u, 1001u}) {
    const std::size_t n = 150;
    const auto embeddings = spread_values(n * dim, 21);
    const auto expected = literal_similarity_matrix(embeddings, n, dim);
    for (SimdPath path : runnable_paths()) {
      for (std::size_t threads : {1u, 2u, 3u}) {
        UninitializedVector<float> matrix;
        with_pool_size_for_testing(threads, [&] { matrix = similarity_matrix(embeddings, n, dim, path); });
        expect_same_bits(matrix, expected);
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_NEAR(expected[i * n + i], 1.0f, 4e-7f);
      for (std::size_t j = 0; j < i; ++j) ASSERT_EQ(bits(expected[i * n + j]), bits(expected[j * n + i]));
    }
  }
}

// Infinities, NaNs and signed zeros in the rows (an infinite norm scales its
// row by 0, so inf * 0 turns into NaN); the mirrored matrix is symmetric in
// every bit, NaN entries included.
TEST(SimilarityMatrix, SpecialValuesMatchEntryByEntry) {
  const std::size_t n = 20, dim = 24;
  const auto embeddings = spread_values(n * dim, 5, 37);
  const auto expected = literal_similarity_matrix(embeddings, n, dim);
  for (SimdPath path : runnable_paths()) {
    const auto matrix = similarity_matrix(embeddings, n, dim, path);
    expect_same_bits(matrix, expected);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j) ASSERT_EQ(bits(matrix[i * n + j]), bits(matrix[j * n + i]));
  }
}

TEST(SimilarityMatrix, NearZeroRowsGiveZeroRowAndColumn) {
  const std::size_t n = 5, dim = 9;
  auto embeddings = spread_values(n * dim, 8);
  for (std::size_t k = 0; k < dim; ++k) embeddings[1 * dim + k] = 0.0f;
  for (std::size_t k = 0; k < dim; ++k) embeddings[3 * dim + k] = k == 0 ? 9e-4f : 0.0f;  // squared norm < 1e-6
  const auto m = similarity_matrix(embeddings, n, dim);
  for (std::size_t zero_row : {1, 3}) {
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_EQ(m[zero_row * n + j], 0.0f);
      EXPECT_EQ(m[j * n + zero_row], 0.0f);
    }
  }
  EXPECT_NEAR(m[0], 1.0f, 4e-7f);
}

TEST(SimilarityMatrix, RejectsBadShapes) {
  const std::vector<float> embeddings(12, 1.0f);
  EXPECT_THROW(similarity_matrix(embeddings, 3, 0), InternalError);
  EXPECT_THROW(similarity_matrix(embeddings, 0, 4), InternalError);
  EXPECT_THROW(similarity_matrix(embeddings, 4, 4), InternalError);  // needs 16 values
  EXPECT_THROW(similarity_matrix(embeddings, SIZE_MAX / 2, 4), InternalError);
  // Extra values past n * dim are ignored.
  EXPECT_EQ(similarity_matrix(embeddings, 2, 4).size(), 4u);
}

TEST(BatchDot, EveryPathAndWidthInRowOrderWithLengthChecks) {
  const std::size_t rows = 13;
  for (std::size_t dim = 0; dim <= 70; ++dim) {
    const auto matrix = spread_values(rows * dim, static_cast<std::uint32_t>(4 + dim), 29);
    const auto query = spread_values(dim + 3, 5);  // values past dim are not read
    for (SimdPath path : runnable_paths()) {
      const auto result = batch_dot(matrix, rows, dim, query, path);
      ASSERT_EQ(result.size(), rows);
      for (std::size_t e = 0; e < rows; ++e)
        ASSERT_EQ(bits(result[e]), bits(literal_dot8(matrix.data() + e * dim, query.data(), dim))) << dim << " " << e;
    }
  }
  const auto matrix = spread_values(rows * 10, 4);
  const auto query = spread_values(10, 5);
  EXPECT_THROW(batch_dot(matrix, rows + 1, 10, query), InternalError);
  EXPECT_THROW(batch_dot(matrix, rows, 10, std::span<const float>(query).first(9)), InternalError);
}

TEST(MaskedSum, EmptySumIsNegativeZeroAndLengthsClip) {
  const std::vector<float> values = {1.5f, 2.0f, -4.0f};
  const std::vector<std::uint8_t> none = {0, 0, 0};
  EXPECT_TRUE(std::signbit(masked_sum(values, none)));
  EXPECT_TRUE(std::signbit(masked_sum({}, {})));
  // Any nonzero byte selects; extra mask bytes past the values are ignored, and so are extra values.
  const std::vector<std::uint8_t> longer = {1, 0, 7, 1, 1};
  EXPECT_EQ(masked_sum(values, longer), -2.5f);
  const std::vector<std::uint8_t> shorter = {0, 1};
  EXPECT_EQ(masked_sum(values, shorter), 2.0f);
  // A selected +0.0 turns the sum positive.
  const std::vector<float> zero = {0.0f};
  const std::vector<std::uint8_t> one = {1};
  EXPECT_FALSE(std::signbit(masked_sum(zero, one)));
}

TEST(Matmul, ProductAndShapeChecks) {
  // [1 2 3; 4 5 6] * [1 0; 0 1; 2 2], with a trailing value in b that is ignored.
  const std::vector<float> a = {1, 2, 3, 4, 5, 6};
  const std::vector<float> b = {1, 0, 0, 1, 2, 2, 99};
  EXPECT_EQ(matmul(a, 2, 3, b, 2), (std::vector<float>{7, 8, 16, 17}));
  EXPECT_EQ(matmul({}, 2, 0, {}, 3), std::vector<float>(6, 0.0f));
  EXPECT_TRUE(matmul(a, 0, 3, b, 2).empty());
  EXPECT_THROW(matmul(a, 3, 3, b, 2), InternalError);
  EXPECT_THROW(matmul(a, 2, 3, b, 3), InternalError);
}

// A view whose objective is the relevance sum alone; with relevance 2^i the
// score names exactly which candidates a mask selects.
struct BitScoreView {
  std::size_t n;
  std::vector<float> relevance, zeros, similarity;
  ObjectiveWeights weights{};
  ProblemView view;

  explicit BitScoreView(std::size_t count)
      : n(count), relevance(count), zeros(count, 0.0f), similarity(count * count, 0.0f) {
    for (std::size_t i = 0; i < n; ++i) relevance[i] = std::ldexp(1.0f, static_cast<int>(i));
    weights[weight::kAlpha] = 1.0f;
    weights[weight::kCap] = 4.0f;
    view.relevance = relevance;
    view.density = view.centrality = view.recency = view.auxiliary = zeros;
    view.similarity = similarity;
    view.n = n;
    view.weights = &weights;
  }
};

TEST(EvaluateSwaps, BuildsOneMaskPerMove) {
  BitScoreView p(6);
  const std::vector<std::uint8_t> current = {1, 0, 1, 0, 0, 1};  // 1 + 4 + 32
  const std::vector<std::size_t> added = {1, 3, 4};
  const std::vector<std::size_t> removed = {0, 6, 99};  // swap, then two pure adds (index >= n)
  const auto scores = evaluate_swaps(current, added, removed, p.view);
  EXPECT_EQ(scores, (std::vector<float>{2 + 4 + 32, 1 + 4 + 8 + 32, 1 + 4 + 16 + 32}));
  EXPECT_TRUE(evaluate_swaps(current, {}, {}, p.view).empty());
}

TEST(EvaluateSwaps, RejectsBadIndicesAndLengths) {
  BitScoreView p(4);
  const std::vector<std::uint8_t> current = {0, 1, 0, 0};
  const std::vector<std::size_t> outside = {4}, fine = {2}, pair = {2, 3};
  EXPECT_THROW(evaluate_swaps(current, outside, fine, p.view), InternalError);
  EXPECT_THROW(evaluate_swaps(current, pair, fine, p.view), InternalError);
  EXPECT_THROW(evaluate_swaps(current, fine, pair, p.view), InternalError);
  EXPECT_THROW(evaluate_swaps(std::span<const std::uint8_t>(current).first(3), fine, fine, p.view),
               InternalError);
}

TEST(EvaluateMasks, MatchesSelectionScoreAtAnyPoolSize) {
  // A full objective: scores, redundancy and coverage all take part.
  const std::size_t n = 23, tokens = 3, count = 150;
  const auto rel = spread_values(n, 1), den = spread_values(n, 2), cen = spread_values(n, 3);
  const auto rec = spread_values(n, 4), aux = spread_values(n, 5);
  const auto sim = literal_similarity_matrix(spread_values(n * 8, 6), n, 8);
  std::vector<float> coverage = spread_values(tokens * n, 7);
  for (float& c : coverage) c = std::fabs(c);
  const std::vector<float> token_weights = {0.5f, 2.0f};
  const ObjectiveWeights weights = {1.0f, 0.3f, 0.2f, 0.1f, 0.05f, 1.0f, 0.5f, 0.35f, 0.18f, 0.55f, 4.0f, 1.0f};
  ProblemView view{rel, den, cen, rec, aux, sim, coverage, token_weights, true, true, n, tokens, &weights};

  std::mt19937 rng(42);
  std::vector<std::uint8_t> masks(count * n);
  for (auto& byte : masks) byte = rng() % 3 == 0 ? 1 : 0;

  std::vector<float> one_thread, three_threads;
  with_pool_size_for_testing(1, [&] { one_thread = evaluate_masks(masks, count, view); });
  with_pool_size_for_testing(3, [&] { three_threads = evaluate_masks(masks, count, view); });
  std::vector<float> expected(count);
  for (std::size_t i = 0; i < count; ++i) expected[i] = selection_score(view, masks.data() + i * n);
  expect_same_bits(one_thread, expected);
  expect_same_bits(three_threads, expected);

  EXPECT_THROW(evaluate_masks(std::span<const std::uint8_t>(masks).first(count * n - 1), count, view),
               InternalError);
  EXPECT_TRUE(evaluate_masks({}, 0, view).empty());
}

}  // namespace
}  // namespace quarnel
