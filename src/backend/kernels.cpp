#include "backend/kernels.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/lanes.hpp"
#include "backend/thread_pool.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

// Norms at or below this count as zero (the f32 nearest to 1e-6).
constexpr float kMinNorm = 1e-6f;

}  // namespace

float cosine_similarity(std::span<const float> a, std::span<const float> b) {
  check_length(b.size(), a.size(), "cosine_similarity: second vector");
  const float* x = a.data();
  const float* y = b.data();
  const std::size_t n = a.size();

  __m128 ab_lo = _mm_setzero_ps(), ab_hi = _mm_setzero_ps();
  __m128 aa_lo = _mm_setzero_ps(), aa_hi = _mm_setzero_ps();
  __m128 bb_lo = _mm_setzero_ps(), bb_hi = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 x_lo = _mm_loadu_ps(x + i), x_hi = _mm_loadu_ps(x + i + 4);
    const __m128 y_lo = _mm_loadu_ps(y + i), y_hi = _mm_loadu_ps(y + i + 4);
    ab_lo = _mm_add_ps(ab_lo, _mm_mul_ps(x_lo, y_lo));
    ab_hi = _mm_add_ps(ab_hi, _mm_mul_ps(x_hi, y_hi));
    aa_lo = _mm_add_ps(aa_lo, _mm_mul_ps(x_lo, x_lo));
    aa_hi = _mm_add_ps(aa_hi, _mm_mul_ps(x_hi, x_hi));
    bb_lo = _mm_add_ps(bb_lo, _mm_mul_ps(y_lo, y_lo));
    bb_hi = _mm_add_ps(bb_hi, _mm_mul_ps(y_hi, y_hi));
  }
  // Unlike dot8, the tail has its own accumulators, added after the block sums.
  float ab_tail = 0.0f, aa_tail = 0.0f, bb_tail = 0.0f;
  for (; i < n; ++i) {
    ab_tail += x[i] * y[i];
    aa_tail += x[i] * x[i];
    bb_tail += y[i] * y[i];
  }
  const float ab = sum_halves(ab_lo, ab_hi) + ab_tail;
  const float aa = sum_halves(aa_lo, aa_hi) + aa_tail;
  const float bb = sum_halves(bb_lo, bb_hi) + bb_tail;

  const float norm_a = std::sqrt(aa);
  const float norm_b = std::sqrt(bb);
  // Written so that a NaN norm also gives 0.
  if (norm_a > kMinNorm && norm_b > kMinNorm) return ab / (norm_a * norm_b);
  return 0.0f;
}

float masked_sum(std::span<const float> values, std::span<const std::uint8_t> mask) {
  const std::size_t m = std::min(values.size(), mask.size());
  // Starting from -0.0 keeps the sum of nothing negative zero, as x + -0.0 == x for every x.
  float s = -0.0f;
  for (std::size_t i = 0; i < m; ++i) {
    if (mask[i] != 0) s += values[i];
  }
  return s;
}

std::vector<float> evaluate_masks(std::span<const std::uint8_t> masks, std::size_t count, const ProblemView& view) {
  const std::size_t n = view.n;
  check_length(masks.size(), checked_product(count, n, "evaluate_masks: count * n overflows"),
               "evaluate_masks: masks");
  std::vector<float> scores(count);
  const std::uint8_t* base = masks.data();
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) scores[i] = selection_score(view, base + i * n);
  });
  return scores;
}

std::vector<float> evaluate_swaps(std::span<const std::uint8_t> current, std::span<const std::size_t> added,
                                  std::span<const std::size_t> removed, const ProblemView& view) {
  const std::size_t n = view.n;
  require(added.size() == removed.size(), "evaluate_swaps: added and removed differ in length");
  check_length(current.size(), n, "evaluate_swaps: current mask");
  const std::size_t count = added.size();
  std::vector<std::uint8_t> batch(checked_product(count, n, "evaluate_swaps: count * n overflows"));
  for (std::size_t i = 0; i < count; ++i) {
    check_index(added[i], n, "evaluate_swaps: added index");
    std::uint8_t* mask = batch.data() + i * n;
    if (n > 0) std::memcpy(mask, current.data(), n);
    // A removed index of n or more marks a move that only adds.
    if (removed[i] < n) mask[removed[i]] = 0;
    mask[added[i]] = 1;
  }
  return evaluate_masks(batch, count, view);
}

}  // namespace quarnel
