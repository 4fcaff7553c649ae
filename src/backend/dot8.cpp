#include <emmintrin.h>

#include "backend/kernels.hpp"
#include "backend/lanes.hpp"
#include "core/panic.hpp"

namespace quarnel {

float dot8(const float* a, const float* b, std::size_t n) {
  __m128 lo = _mm_setzero_ps();
  __m128 hi = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    lo = _mm_add_ps(lo, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    hi = _mm_add_ps(hi, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
  }
  float s = n >= 8 ? sum_halves(lo, hi) : 0.0f;
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

float dot8(std::span<const float> a, std::span<const float> b) {
  check_length(b.size(), a.size(), "dot8: second vector");
  return dot8(a.data(), b.data(), a.size());
}

}  // namespace quarnel
