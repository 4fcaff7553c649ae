#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "literal_kernels.hpp"
#include "maxsim/maxsim_f32.hpp"

namespace quarnel {
namespace {

using testing::bits;
using testing::literal_dot8;
using testing::runnable_paths;

constexpr float kInf = std::numeric_limits<float>::infinity();

// A C-order (items x tokens x width) batch in a buffer that starts `shift`
// bytes past an aligned address, and its view.
struct Batch {
  std::vector<unsigned char> buffer;
  TokenTensor<float> view;

  Batch(std::size_t items, std::size_t tokens, std::size_t width, std::uint32_t seed, std::size_t specials_every = 0,
        std::size_t shift = 0)
      : buffer(items * tokens * width * sizeof(float) + 8) {
    const auto values = testing::spread_values(items * tokens * width, seed, specials_every);
    if (!values.empty()) std::memcpy(buffer.data() + shift, values.data(), values.size() * sizeof(float));
    const auto row = static_cast<std::ptrdiff_t>(width * sizeof(float));
    view = {buffer.data() + shift, items, tokens, width, row * static_cast<std::ptrdiff_t>(tokens), row, sizeof(float)};
  }
};

float at(const TokenTensor<float>& t, std::size_t i, std::size_t s, std::size_t k) { return t.value(i, s, k); }

std::vector<float> literal_max_sim(const TokenTensor<float>& q, const TokenTensor<float>& d) {
  std::vector<float> out;
  std::vector<float> a(q.width), b(q.width);
  for (std::size_t i = 0; i < q.items; ++i) {
    for (std::size_t j = 0; j < d.items; ++j) {
      float score = 0.0f;
      for (std::size_t t = 0; t < q.tokens; ++t) {
        float best = -kInf;
        for (std::size_t s = 0; s < d.tokens; ++s) {
          for (std::size_t k = 0; k < q.width; ++k) a[k] = at(q, i, t, k), b[k] = at(d, j, s, k);
          const float v = literal_dot8(a.data(), b.data(), q.width);
          if (v > best) best = v;
        }
        score = score + best;
      }
      out.push_back(score);
    }
  }
  return out;
}

void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected, const char* what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t k = 0; k < actual.size(); ++k)
    ASSERT_TRUE(testing::same_bits(actual[k], expected[k])) << what << ", entry " << k << ": " << actual[k] << " vs " << expected[k];
}

// Every width 0..70 crosses dot8's tail; 3 and 11 document tokens leave
// partial blocks on both paths, and the misaligned buffers are read in place.
TEST(MaxSimF32, EveryPathMatchesTheLiteralLoopForEveryWidth) {
  for (std::size_t dim = 0; dim <= 70; ++dim) {
    const auto seed = static_cast<std::uint32_t>(dim);
    const Batch q(3, 5, dim, seed, 0, dim % 4);
    const Batch d(4, dim % 2 ? 3 : 11, dim, seed + 100, 0, 4 - dim % 4);
    const auto expected = literal_max_sim(q.view, d.view);
    for (SimdPath path : runnable_paths()) expect_same_bits(max_sim_f32(q.view, d.view, path), expected, "dim");
  }
}

TEST(MaxSimF32, TokenCountsAcrossBlocksAndEmptyBatches) {
  for (std::size_t doc_tokens : {0u, 1u, 4u, 7u, 8u, 9u, 17u}) {
    for (std::size_t query_tokens : {0u, 1u, 6u}) {
      for (std::size_t items : {0u, 1u, 3u}) {
        const Batch q(items, query_tokens, 24, 7);
        const Batch d(items == 3 ? 2 : 1 - items, doc_tokens, 24, 8);  // N of 2, 1 and 0
        const auto expected = literal_max_sim(q.view, d.view);
        for (SimdPath path : runnable_paths()) expect_same_bits(max_sim_f32(q.view, d.view, path), expected, "tokens");
      }
    }
  }
}

// Queries longer than the kernels keep in L1 at this width are scored a
// run of tokens at a time, the last run partial.
TEST(MaxSimF32, LongQueriesAtLargeWidthsAreScoredInRuns) {
  const Batch q(2, 11, 1029, 5);
  const Batch d(2, 13, 1029, 6);
  const auto expected = literal_max_sim(q.view, d.view);
  for (SimdPath path : runnable_paths()) expect_same_bits(max_sim_f32(q.view, d.view, path), expected, "runs");
}

// NaN, infinities and signed zeros in the inputs: NaN dot products never win.
TEST(MaxSimF32, SpecialValuesFollowTheLiteralLoop) {
  const Batch q(4, 6, 19, 1, 23);
  const Batch d(5, 13, 19, 2, 29);
  const auto expected = literal_max_sim(q.view, d.view);
  for (SimdPath path : runnable_paths()) expect_same_bits(max_sim_f32(q.view, d.view, path), expected, "specials");
}

// Reversed and strided first axes, a pool of one or three threads and small
// slabs (with their check between slabs) all give the same bits.
TEST(MaxSimF32, LayoutThreadsAndSlabsDoNotChangeScores) {
  const Batch q(6, 5, 33, 3);
  const Batch d(40, 9, 33, 4);
  const auto expected = literal_max_sim(q.view, d.view);
  TokenTensor<float> odd_queries = q.view;  // queries 0, 2, 4
  odd_queries.items = 3;
  odd_queries.item_stride *= 2;
  TokenTensor<float> reversed = d.view;
  reversed.data += (d.view.items - 1) * d.view.item_stride;
  reversed.item_stride = -d.view.item_stride;
  for (SimdPath path : runnable_paths()) {
    const auto strided = max_sim_f32(odd_queries, reversed, path);
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 40; ++j)
        ASSERT_TRUE(testing::same_bits(strided[i * 40 + j], expected[2 * i * 40 + (39 - j)]));
    for (std::size_t threads : {1u, 3u}) {
      std::vector<float> scores(6 * 40);
      std::size_t checks = 0;
      const std::vector<TokenRows> queries = {q.view.item(0), q.view.item(1), q.view.item(2),
                                              q.view.item(3), q.view.item(4), q.view.item(5)};
      std::vector<TokenRows> documents;
      for (std::size_t j = 0; j < 40; ++j) documents.push_back(d.view.item(j));
      with_pool_size_for_testing(threads, [&] {
        max_sim_f32_items(queries, documents, 33, scores.data(), path, [&] { ++checks; });
      });
      expect_same_bits(scores, expected, "threads");
      EXPECT_EQ(checks, 0u);  // this little work fits one slab
    }
  }
}

TEST(WorkSlabs, EveryUnitOnceWithAChecksBetweenSlabs) {
  std::vector<int> seen(7, 0);
  std::size_t checks = 0;
  run_in_slabs(7, 2, [&] { ++checks; }, [&](std::size_t begin, std::size_t end) {
    for (std::size_t u = begin; u < end; ++u) ++seen[u];
  });
  EXPECT_EQ(seen, std::vector<int>(7, 1));
  EXPECT_EQ(checks, 3u);
  // A check that throws stops the work before the next slab.
  seen.assign(7, 0);
  EXPECT_THROW(run_in_slabs(7, 3, [] { throw InternalError("stop"); },
                            [&](std::size_t begin, std::size_t end) {
                              for (std::size_t u = begin; u < end; ++u) ++seen[u];
                            }),
               InternalError);
  EXPECT_EQ(seen, (std::vector<int>{1, 1, 1, 0, 0, 0, 0}));
}

TEST(MaxSimF32, RefusesMismatchedWidthsAndStridedRows) {
  const Batch q(2, 3, 4, 1);
  const Batch d(3, 2, 4, 2);
  EXPECT_THROW(max_sim_f32(q.view, Batch(3, 2, 5, 3).view), InternalError);
  TokenTensor<float> every_other = d.view;
  every_other.value_stride = 2 * sizeof(float);
  every_other.width = 2;
  TokenTensor<float> q2 = q.view;
  q2.width = 2;
  EXPECT_THROW(max_sim_f32(q2, every_other), InternalError);
  EXPECT_THROW(max_sim_f32(every_other, q2), InternalError);
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
