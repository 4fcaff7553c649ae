// Eight eight-lane sums (AVX2; see simd.hpp): enough independent additions to keep the adders busy
// while each lane adds in the reference order.
#include <immintrin.h>

#include "backend/simd.hpp"
#include "search/removal_lanes.hpp"

namespace quarnel::avx2 {
namespace {

constexpr std::size_t kGroups = kRemovalLanesAvx2 / 8;

// A skipped pair adds +0.0 to its lane, which leaves an f32 sum started at
// +0.0 unchanged bit for bit (such a sum is never -0.0), so that the lanes
// share one pass over the pairs.
struct LaneSums {
  __m256 acc[kGroups];

  QUARNEL_TARGET_AVX2 void add_all(__m256 term) {
    for (__m256& a : acc) a = _mm256_add_ps(a, term);
  }
  // The pairs (a, b) of one row for b in [first, last), none of them in a
  // lane's skipped column; b == a is no pair.
  QUARNEL_TARGET_AVX2 void add_row_range(const float* row, std::size_t first, std::size_t last, std::size_t a) {
    if (a >= first && a < last) {
      for (std::size_t b = first; b < a; ++b) add_all(_mm256_set1_ps(row[b]));
      first = a + 1;
    }
    for (std::size_t b = first; b < last; ++b) add_all(_mm256_set1_ps(row[b]));
  }
};

}  // namespace

// Most pairs are added to every lane unmasked; only the batch's columns (one
// lane off each) and the batch's rows (one lane off for the whole row) need
// a mask.
QUARNEL_TARGET_AVX2 void removal_lane_sums(const RemovalLanes& batch, float* sums) {
  const std::size_t m = batch.m;
  alignas(32) std::int32_t lane_position[kRemovalLanesAvx2];
  for (std::size_t k = 0; k < kRemovalLanesAvx2; ++k)
    lane_position[k] = static_cast<std::int32_t>(k < batch.count ? batch.positions[k] : m);
  __m256i removed[kGroups];
  for (std::size_t g = 0; g < kGroups; ++g)
    removed[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lane_position + 8 * g));
  const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  const __m256i lane_numbers = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);

  LaneSums lanes;
  for (__m256& a : lanes.acc) a = _mm256_setzero_ps();
  for (std::size_t a = 0; a < m; ++a) {
    const float* row = batch.similarity + a * m;
    if (batch.batch_row[a]) {
      const __m256i row_index = _mm256_set1_epi32(static_cast<std::int32_t>(a));
      __m256 row_on[kGroups];
      for (std::size_t g = 0; g < kGroups; ++g)
        row_on[g] = _mm256_andnot_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(removed[g], row_index)), all);
      for (std::size_t b = 0; b < m; ++b) {
        if (b == a) continue;
        const __m256 term = _mm256_set1_ps(row[b]);
        const __m256i column = _mm256_set1_epi32(static_cast<std::int32_t>(b));
        for (std::size_t g = 0; g < kGroups; ++g) {
          const __m256 on = _mm256_andnot_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(removed[g], column)), row_on[g]);
          lanes.acc[g] = _mm256_add_ps(lanes.acc[g], _mm256_and_ps(term, on));
        }
      }
      continue;
    }
    std::size_t b = 0;
    for (std::size_t s = 0; s < batch.count; ++s) {
      const auto [column, lane] = batch.skips[s];
      lanes.add_row_range(row, b, column, a);
      // a is no batch position here, so `column` is not row a's own.
      const __m256 term = _mm256_set1_ps(row[column]);
      const __m256 off = _mm256_castsi256_ps(_mm256_cmpeq_epi32(lane_numbers, _mm256_set1_epi32(static_cast<int>(lane % 8))));
      for (std::size_t g = 0; g < kGroups; ++g)
        lanes.acc[g] = _mm256_add_ps(lanes.acc[g], g == lane / 8 ? _mm256_andnot_ps(off, term) : term);
      b = column + 1;
    }
    lanes.add_row_range(row, b, m, a);
  }
  alignas(32) float lane_sums[kRemovalLanesAvx2];
  for (std::size_t g = 0; g < kGroups; ++g) _mm256_store_ps(lane_sums + 8 * g, lanes.acc[g]);
  for (std::size_t k = 0; k < batch.count; ++k) sums[k] = lane_sums[k];
}

}  // namespace quarnel
