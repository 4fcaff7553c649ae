#pragma once
// AVX2 micro-kernels: dot8 of eight vector pairs at once. Included only by the
// AVX2 kernel files; everything here has internal linkage and the AVX2 target
// (see simd.hpp), so no copy of it is ever shared with baseline code.
//
// dot8's two four-lane accumulators (elements i..i+3 and i+4..i+7 of each
// block of eight) are exactly the two halves of one eight-lane register, so
// each pair keeps one accumulator and runs dot8's operations in dot8's order,
// with the same operand order in every product and sum. The eight lane
// reductions share one transpose instead of eight horizontal sums.
#include <immintrin.h>

#include <cstddef>

#include "backend/simd.hpp"

namespace quarnel::avx2 {
namespace {

constexpr std::size_t kDotBlock = 8;

// Scalar reads go through memcpy: caller rows may sit at any byte address.
QUARNEL_TARGET_AVX2 inline float load_float(const float* p) {
  float v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// For p = 0..3: lane p is ((v_p[0] + v_p[1]) + v_p[2]) + v_p[3] and lane
// 4 + p is ((v_p[4] + v_p[5]) + v_p[6]) + v_p[7].
QUARNEL_TARGET_AVX2 inline __m256 sum_quarters(__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
  const __m256 t0 = _mm256_unpacklo_ps(v0, v1);  // v0[0] v1[0] v0[1] v1[1] | v0[4] v1[4] v0[5] v1[5]
  const __m256 t1 = _mm256_unpackhi_ps(v0, v1);  // v0[2] v1[2] v0[3] v1[3] | ...
  const __m256 t2 = _mm256_unpacklo_ps(v2, v3);
  const __m256 t3 = _mm256_unpackhi_ps(v2, v3);
  const __m256 lane0 = _mm256_shuffle_ps(t0, t2, 0x44);  // v0[0] v1[0] v2[0] v3[0] | v0[4] ...
  const __m256 lane1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 lane2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 lane3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(lane0, lane1), lane2), lane3);
}

// Lane p is dot8's block sum of accumulator v_p: low half, then high half.
QUARNEL_TARGET_AVX2 inline __m256 reduce_eight(const __m256 (&v)[8]) {
  const __m256 first = sum_quarters(v[0], v[1], v[2], v[3]);
  const __m256 second = sum_quarters(v[4], v[5], v[6], v[7]);
  const __m256 low_halves = _mm256_permute2f128_ps(first, second, 0x20);
  const __m256 high_halves = _mm256_permute2f128_ps(first, second, 0x31);
  return _mm256_add_ps(low_halves, high_halves);
}

// Lane p < 4 is dot8's block sum of accumulator v_p: low half, then high half.
QUARNEL_TARGET_AVX2 inline __m128 reduce_four(const __m256* v) {
  const __m256 quarters = sum_quarters(v[0], v[1], v[2], v[3]);
  return _mm_add_ps(_mm256_castps256_ps128(quarters), _mm256_extractf128_ps(quarters, 1));
}

// dot8(a[r], b[c]) for r < R and c < C, written to out[c * R + r]: one
// accumulator per pair, so each of the R + C vectors is loaded once per block
// of eight for all the pairs it takes part in.
template <std::size_t R, std::size_t C>
QUARNEL_TARGET_AVX2 inline void dot8_grid(const float* const* a, const float* const* b, std::size_t n, float* out) {
  static_assert((R * C) % 4 == 0, "pairs are reduced four or eight at a time");
  __m256 acc[R * C];
  for (auto& v : acc) v = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 column[C];
    for (std::size_t c = 0; c < C; ++c) column[c] = _mm256_loadu_ps(b[c] + i);
    for (std::size_t r = 0; r < R; ++r) {
      __m256 row = _mm256_loadu_ps(a[r] + i);
      // Held in a register: GCC would otherwise fold the load into every
      // product, and two loads a cycle are the limit.
      __asm__("" : "+x"(row));
      for (std::size_t c = 0; c < C; ++c) acc[c * R + r] = _mm256_add_ps(acc[c * R + r], _mm256_mul_ps(row, column[c]));
    }
  }
  std::size_t p = 0;
  for (; p + 8 <= R * C; p += 8) {
    const __m256 first = sum_quarters(acc[p], acc[p + 1], acc[p + 2], acc[p + 3]);
    const __m256 second = sum_quarters(acc[p + 4], acc[p + 5], acc[p + 6], acc[p + 7]);
    _mm256_storeu_ps(out + p, _mm256_add_ps(_mm256_permute2f128_ps(first, second, 0x20),
                                            _mm256_permute2f128_ps(first, second, 0x31)));
  }
  if (p < R * C) _mm_storeu_ps(out + p, reduce_four(acc + p));
  if (i == n) return;
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t r = 0; r < R; ++r) {
      float s = out[c * R + r];
      for (std::size_t k = i; k < n; ++k) s += load_float(a[r] + k) * load_float(b[c] + k);
      out[c * R + r] = s;
    }
  }
}

template <bool SharedFirst>
QUARNEL_TARGET_AVX2 inline __m256 product(__m256 shared, __m256 other) {
  return SharedFirst ? _mm256_mul_ps(shared, other) : _mm256_mul_ps(other, shared);
}

// dot8(first[p], second[p]) for p = 0..7 as the eight lanes of the result,
// where the first operands are all `shared` when SharedFirst, else the
// second operands are; `others` holds the eight varying pointers.
template <bool SharedFirst>
QUARNEL_TARGET_AVX2 inline __m256 dot8_block(const float* shared, const float* const* others, std::size_t n) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 s = _mm256_loadu_ps(shared + i);
    for (int p = 0; p < 8; ++p)
      acc[p] = _mm256_add_ps(acc[p], product<SharedFirst>(s, _mm256_loadu_ps(others[p] + i)));
  }
  // Below eight values dot8 starts the tail from +0.0, which is also what
  // reducing the untouched accumulators gives.
  __m256 sums = reduce_eight(acc);
  for (; i < n; ++i) {
    const __m256 o = _mm256_setr_ps(load_float(others[0] + i), load_float(others[1] + i), load_float(others[2] + i),
                                    load_float(others[3] + i), load_float(others[4] + i), load_float(others[5] + i),
                                    load_float(others[6] + i), load_float(others[7] + i));
    sums = _mm256_add_ps(sums, product<SharedFirst>(_mm256_set1_ps(load_float(shared + i)), o));
  }
  return sums;
}

}  // namespace
}  // namespace quarnel::avx2
