#pragma once
// Lane reductions shared by the SSE kernels, in the fixed order every kernel
// uses: each four-lane accumulator is summed lane 0 to 3, low half before high.
#include <emmintrin.h>

namespace quarnel {

inline float sum_lanes(__m128 v) {
  alignas(16) float lane[4];
  _mm_store_ps(lane, v);
  return ((lane[0] + lane[1]) + lane[2]) + lane[3];
}

inline float sum_halves(__m128 lo, __m128 hi) { return sum_lanes(lo) + sum_lanes(hi); }

}  // namespace quarnel
