#pragma once
// Baseline micro-kernels: dot8 of four vector pairs at once. Included only by
// the SSE2 kernel files; everything here has internal linkage.
//
// dot8 keeps two four-lane accumulators per pair (products of elements i..i+3
// and i+4..i+7 of each block of eight), reduces each lane by lane, adds the
// two halves and then the scalar tail. These kernels run exactly those
// operations for four pairs, with the same operand order in every product
// and sum, so each result has dot8's bits; the lane reductions of the four
// pairs share one transpose instead of four horizontal sums.
#include <emmintrin.h>

#include <cstddef>
#include <cstring>

namespace quarnel::sse2 {
namespace {

constexpr std::size_t kDotBlock = 4;

// Scalar reads go through memcpy: caller rows may sit at any byte address.
inline float load_float(const float* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Lane p of the result is ((v_p[0] + v_p[1]) + v_p[2]) + v_p[3].
inline __m128 sum_lanes_of_four(__m128 v0, __m128 v1, __m128 v2, __m128 v3) {
  const __m128 t0 = _mm_unpacklo_ps(v0, v1);  // v0[0] v1[0] v0[1] v1[1]
  const __m128 t1 = _mm_unpackhi_ps(v0, v1);  // v0[2] v1[2] v0[3] v1[3]
  const __m128 t2 = _mm_unpacklo_ps(v2, v3);
  const __m128 t3 = _mm_unpackhi_ps(v2, v3);
  const __m128 lane0 = _mm_movelh_ps(t0, t2);  // v0[0] v1[0] v2[0] v3[0]
  const __m128 lane1 = _mm_movehl_ps(t2, t0);
  const __m128 lane2 = _mm_movelh_ps(t1, t3);
  const __m128 lane3 = _mm_movehl_ps(t3, t1);
  return _mm_add_ps(_mm_add_ps(_mm_add_ps(lane0, lane1), lane2), lane3);
}

// dot8(a[r], b[c]) for r < R and c < C, written to out[c * R + r], with
// R * C a multiple of four: two accumulators per pair (dot8's halves), so
// each of the R + C vectors is loaded once per block of eight for all the
// pairs it takes part in. Every row must start on a 16-byte boundary.
template <std::size_t R, std::size_t C>
inline void dot8_grid(const float* const* a, const float* const* b, std::size_t n, float* out) {
  static_assert((R * C) % 4 == 0, "pairs are reduced four at a time");
  __m128 lo[R * C], hi[R * C];
  for (std::size_t p = 0; p < R * C; ++p) lo[p] = hi[p] = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128 column_lo[C], column_hi[C];
    for (std::size_t c = 0; c < C; ++c) {
      column_lo[c] = _mm_load_ps(b[c] + i);
      column_hi[c] = _mm_load_ps(b[c] + i + 4);
    }
    for (std::size_t r = 0; r < R; ++r) {
      const __m128 row_lo = _mm_load_ps(a[r] + i), row_hi = _mm_load_ps(a[r] + i + 4);
      for (std::size_t c = 0; c < C; ++c) {
        lo[c * R + r] = _mm_add_ps(lo[c * R + r], _mm_mul_ps(row_lo, column_lo[c]));
        hi[c * R + r] = _mm_add_ps(hi[c * R + r], _mm_mul_ps(row_hi, column_hi[c]));
      }
    }
  }
  for (std::size_t p = 0; p < R * C; p += 4) {
    _mm_storeu_ps(out + p, _mm_add_ps(sum_lanes_of_four(lo[p], lo[p + 1], lo[p + 2], lo[p + 3]),
                                      sum_lanes_of_four(hi[p], hi[p + 1], hi[p + 2], hi[p + 3])));
  }
  if (i == n) return;
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t r = 0; r < R; ++r) {
      float s = out[c * R + r];
      for (std::size_t k = i; k < n; ++k) s += a[r][k] * b[c][k];
      out[c * R + r] = s;
    }
  }
}

// dot8(first[p], second[p]) for p = 0..3 as the four lanes of the result,
// where the first operands are all `shared` when SharedFirst, else the
// second operands are; `others` holds the four varying pointers.
template <bool SharedFirst>
inline __m128 dot8_block(const float* shared, const float* const* others, std::size_t n) {
  const float* b0 = others[0];
  const float* b1 = others[1];
  const float* b2 = others[2];
  const float* b3 = others[3];
  __m128 lo0 = _mm_setzero_ps(), hi0 = _mm_setzero_ps(), lo1 = _mm_setzero_ps(), hi1 = _mm_setzero_ps();
  __m128 lo2 = _mm_setzero_ps(), hi2 = _mm_setzero_ps(), lo3 = _mm_setzero_ps(), hi3 = _mm_setzero_ps();
  const auto product = [](__m128 s, __m128 o) { return SharedFirst ? _mm_mul_ps(s, o) : _mm_mul_ps(o, s); };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 s_lo = _mm_loadu_ps(shared + i);
    const __m128 s_hi = _mm_loadu_ps(shared + i + 4);
    lo0 = _mm_add_ps(lo0, product(s_lo, _mm_loadu_ps(b0 + i)));
    hi0 = _mm_add_ps(hi0, product(s_hi, _mm_loadu_ps(b0 + i + 4)));
    lo1 = _mm_add_ps(lo1, product(s_lo, _mm_loadu_ps(b1 + i)));
    hi1 = _mm_add_ps(hi1, product(s_hi, _mm_loadu_ps(b1 + i + 4)));
    lo2 = _mm_add_ps(lo2, product(s_lo, _mm_loadu_ps(b2 + i)));
    hi2 = _mm_add_ps(hi2, product(s_hi, _mm_loadu_ps(b2 + i + 4)));
    lo3 = _mm_add_ps(lo3, product(s_lo, _mm_loadu_ps(b3 + i)));
    hi3 = _mm_add_ps(hi3, product(s_hi, _mm_loadu_ps(b3 + i + 4)));
  }
  // Below eight values dot8 starts the tail from +0.0, which is also what
  // reducing the untouched accumulators gives.
  __m128 sums = _mm_add_ps(sum_lanes_of_four(lo0, lo1, lo2, lo3), sum_lanes_of_four(hi0, hi1, hi2, hi3));
  for (; i < n; ++i) {
    const __m128 s = _mm_set1_ps(load_float(shared + i));
    const __m128 o = _mm_setr_ps(load_float(b0 + i), load_float(b1 + i), load_float(b2 + i), load_float(b3 + i));
    sums = _mm_add_ps(sums, product(s, o));
  }
  return sums;
}

}  // namespace
}  // namespace quarnel::sse2
