#pragma once
// AVX-512 micro-kernel parts for dot8. Included only by the AVX-512 kernel
// files; everything here has internal linkage and the AVX-512 target (see
// simd.hpp), so no copy of it is ever shared with code of another path.
//
// dot8 keeps one eight-lane accumulator per pair (elements i..i+7 of each
// block of eight), so a 16-lane register holds two pairs: two rows side by
// side, times one row broadcast to both halves. Each pair still runs dot8's
// operations in dot8's order, with the same operand order in every product
// and sum; the lane reductions share one transpose per eight accumulators.
// GCC 12's AVX-512 headers start some intrinsics from an "undefined"
// register that is initialised from itself, which its own flow analysis
// reports as uninitialised.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>

#include "backend/simd.hpp"

namespace quarnel::avx512 {
namespace {

QUARNEL_TARGET_AVX512 inline float load_float(const float* p) {
  float v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// Eight floats from each of two rows: a's in the low half, b's in the high.
QUARNEL_TARGET_AVX512 inline __m512 load_pair(const float* a, const float* b) {
  const __m512d low = _mm512_castpd256_pd512(_mm256_castps_pd(_mm256_loadu_ps(a)));
  return _mm512_castpd_ps(_mm512_insertf64x4(low, _mm256_castps_pd(_mm256_loadu_ps(b)), 1));
}

// Eight floats in both halves.
QUARNEL_TARGET_AVX512 inline __m512 load_twice(const float* p) {
  return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(_mm256_loadu_ps(p))));
}

// For p = 0..3, element p of 128-bit lane L is
// ((v_p[4L] + v_p[4L+1]) + v_p[4L+2]) + v_p[4L+3].
QUARNEL_TARGET_AVX512 inline __m512 sum_quarters(__m512 v0, __m512 v1, __m512 v2, __m512 v3) {
  const __m512 t0 = _mm512_unpacklo_ps(v0, v1);
  const __m512 t1 = _mm512_unpackhi_ps(v0, v1);
  const __m512 t2 = _mm512_unpacklo_ps(v2, v3);
  const __m512 t3 = _mm512_unpackhi_ps(v2, v3);
  const __m512 lane0 = _mm512_shuffle_ps(t0, t2, 0x44);
  const __m512 lane1 = _mm512_shuffle_ps(t0, t2, 0xEE);
  const __m512 lane2 = _mm512_shuffle_ps(t1, t3, 0x44);
  const __m512 lane3 = _mm512_shuffle_ps(t1, t3, 0xEE);
  return _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(lane0, lane1), lane2), lane3);
}

// dot8's block sums (low half, then high half) of accumulators holding pairs
// (a, c) in their low halves and (b, c) in their high halves: for columns
// c = 0..7, [a x c0..c3, b x c0..c3, a x c4..c7, b x c4..c7].
QUARNEL_TARGET_AVX512 inline __m512 reduce_eight(const __m512 (&v)[8]) {
  const __m512 first = sum_quarters(v[0], v[1], v[2], v[3]);
  const __m512 second = sum_quarters(v[4], v[5], v[6], v[7]);
  const __m512 lows = _mm512_shuffle_f32x4(first, second, _MM_SHUFFLE(2, 0, 2, 0));
  const __m512 highs = _mm512_shuffle_f32x4(first, second, _MM_SHUFFLE(3, 1, 3, 1));
  return _mm512_add_ps(lows, highs);
}

}  // namespace
}  // namespace quarnel::avx512
