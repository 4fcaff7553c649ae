#include "maxsim/dot8_four.hpp"

#include <emmintrin.h>

namespace quarnel {
namespace {

inline float reduce_halves(__m128 lo, __m128 hi) {
  alignas(16) float l[4], h[4];
  _mm_store_ps(l, lo);
  _mm_store_ps(h, hi);
  return (((l[0] + l[1]) + l[2]) + l[3]) + (((h[0] + h[1]) + h[2]) + h[3]);
}

}  // namespace

void dot8_four(const float* a, const float* const b[4], std::size_t n, float out[4]) {
  __m128 lo0 = _mm_setzero_ps(), hi0 = _mm_setzero_ps();
  __m128 lo1 = _mm_setzero_ps(), hi1 = _mm_setzero_ps();
  __m128 lo2 = _mm_setzero_ps(), hi2 = _mm_setzero_ps();
  __m128 lo3 = _mm_setzero_ps(), hi3 = _mm_setzero_ps();
  const float* b0 = b[0];
  const float* b1 = b[1];
  const float* b2 = b[2];
  const float* b3 = b[3];
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 a_lo = _mm_loadu_ps(a + i);
    const __m128 a_hi = _mm_loadu_ps(a + i + 4);
    lo0 = _mm_add_ps(lo0, _mm_mul_ps(a_lo, _mm_loadu_ps(b0 + i)));
    hi0 = _mm_add_ps(hi0, _mm_mul_ps(a_hi, _mm_loadu_ps(b0 + i + 4)));
    lo1 = _mm_add_ps(lo1, _mm_mul_ps(a_lo, _mm_loadu_ps(b1 + i)));
    hi1 = _mm_add_ps(hi1, _mm_mul_ps(a_hi, _mm_loadu_ps(b1 + i + 4)));
    lo2 = _mm_add_ps(lo2, _mm_mul_ps(a_lo, _mm_loadu_ps(b2 + i)));
    hi2 = _mm_add_ps(hi2, _mm_mul_ps(a_hi, _mm_loadu_ps(b2 + i + 4)));
    lo3 = _mm_add_ps(lo3, _mm_mul_ps(a_lo, _mm_loadu_ps(b3 + i)));
    hi3 = _mm_add_ps(hi3, _mm_mul_ps(a_hi, _mm_loadu_ps(b3 + i + 4)));
  }
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
  if (n >= 8) {
    s0 = reduce_halves(lo0, hi0);
    s1 = reduce_halves(lo1, hi1);
    s2 = reduce_halves(lo2, hi2);
    s3 = reduce_halves(lo3, hi3);
  }
  for (; i < n; ++i) {
    s0 += a[i] * b0[i];
    s1 += a[i] * b1[i];
    s2 += a[i] * b2[i];
    s3 += a[i] * b3[i];
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}

}  // namespace quarnel
