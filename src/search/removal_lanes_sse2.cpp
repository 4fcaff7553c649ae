// Eight four-lane sums: enough independent additions to keep the adders busy
// while each lane adds in the reference order.
#include <emmintrin.h>

#include "search/removal_lanes.hpp"

namespace quarnel {
namespace {

constexpr std::size_t kGroups = kRemovalLanesSse2 / 4;

// A skipped pair adds +0.0 to its lane, which leaves an f32 sum started at
// +0.0 unchanged bit for bit (such a sum is never -0.0), so that the lanes
// share one pass over the pairs.
struct LaneSums {
  __m128 acc[kGroups];

  void add_all(__m128 term) {
    for (__m128& a : acc) a = _mm_add_ps(a, term);
  }
  // The pairs (a, b) of one row for b in [first, last), none of them in a
  // lane's skipped column; b == a is no pair.
  void add_row_range(const float* row, std::size_t first, std::size_t last, std::size_t a) {
    if (a >= first && a < last) {
      for (std::size_t b = first; b < a; ++b) add_all(_mm_set1_ps(row[b]));
      first = a + 1;
    }
    for (std::size_t b = first; b < last; ++b) add_all(_mm_set1_ps(row[b]));
  }
};

}  // namespace

// Most pairs are added to every lane unmasked; only the batch's columns (one
// lane off each) and the batch's rows (one lane off for the whole row) need
// a mask.
void removal_lane_sums_sse2(const RemovalLanes& batch, float* sums) {
  const std::size_t m = batch.m;
  alignas(16) std::int32_t lane_position[kRemovalLanesSse2];
  for (std::size_t k = 0; k < kRemovalLanesSse2; ++k)
    lane_position[k] = static_cast<std::int32_t>(k < batch.count ? batch.positions[k] : m);
  __m128i removed[kGroups];
  for (std::size_t g = 0; g < kGroups; ++g)
    removed[g] = _mm_load_si128(reinterpret_cast<const __m128i*>(lane_position + 4 * g));
  const __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));
  const __m128i lane_numbers = _mm_set_epi32(3, 2, 1, 0);

  LaneSums lanes;
  for (__m128& a : lanes.acc) a = _mm_setzero_ps();
  for (std::size_t a = 0; a < m; ++a) {
    const float* row = batch.similarity + a * m;
    if (batch.batch_row[a]) {
      const __m128i row_index = _mm_set1_epi32(static_cast<std::int32_t>(a));
      __m128 row_on[kGroups];
      for (std::size_t g = 0; g < kGroups; ++g)
        row_on[g] = _mm_andnot_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(removed[g], row_index)), all);
      for (std::size_t b = 0; b < m; ++b) {
        if (b == a) continue;
        const __m128 term = _mm_set1_ps(row[b]);
        const __m128i column = _mm_set1_epi32(static_cast<std::int32_t>(b));
        for (std::size_t g = 0; g < kGroups; ++g) {
          const __m128 on = _mm_andnot_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(removed[g], column)), row_on[g]);
          lanes.acc[g] = _mm_add_ps(lanes.acc[g], _mm_and_ps(term, on));
        }
      }
      continue;
    }
    std::size_t b = 0;
    for (std::size_t s = 0; s < batch.count; ++s) {
      const auto [column, lane] = batch.skips[s];
      lanes.add_row_range(row, b, column, a);
      // a is no batch position here, so `column` is not row a's own.
      const __m128 term = _mm_set1_ps(row[column]);
      const __m128 off = _mm_castsi128_ps(_mm_cmpeq_epi32(lane_numbers, _mm_set1_epi32(static_cast<int>(lane % 4))));
      for (std::size_t g = 0; g < kGroups; ++g)
        lanes.acc[g] = _mm_add_ps(lanes.acc[g], g == lane / 4 ? _mm_andnot_ps(off, term) : term);
      b = column + 1;
    }
    lanes.add_row_range(row, b, m, a);
  }
  alignas(16) float lane_sums[kRemovalLanesSse2];
  for (std::size_t g = 0; g < kGroups; ++g) _mm_store_ps(lane_sums + 4 * g, lanes.acc[g]);
  for (std::size_t k = 0; k < batch.count; ++k) sums[k] = lane_sums[k];
}

}  // namespace quarnel
