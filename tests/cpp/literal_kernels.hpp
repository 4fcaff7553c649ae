#pragma once
// Plain scalar forms of the fixed summation orders, and the vector paths this
// CPU can run, for tests that hold every dispatched kernel to them.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "backend/simd.hpp"

namespace quarnel::testing {

// Every path this CPU runs; a test on a CPU without AVX-512 covers less, and
// says so once (see SimdPath.PathsThisCpuLacks).
inline std::vector<SimdPath> runnable_paths() {
  std::vector<SimdPath> paths;
  for (SimdPath path : {SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512})
    if (simd_path_runnable(path)) paths.push_back(path);
  return paths;
}

inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Equal bits, counting every NaN as equal: which payload a NaN result carries
// follows operand order, which the compiler may swap in any addition.
inline bool same_bits(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// dot8 written out: eight-wide blocks in two four-lane accumulators, each
// reduced lane by lane, low half first, then the tail appended in order.
inline float literal_dot8(const float* a, const float* b, std::size_t n) {
  float lo[4] = {0, 0, 0, 0}, hi[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int k = 0; k < 4; ++k) {
      lo[k] = lo[k] + a[i + k] * b[i + k];
      hi[k] = hi[k] + a[i + 4 + k] * b[i + 4 + k];
    }
  }
  float s = 0.0f;
  if (n >= 8) s = (((lo[0] + lo[1]) + lo[2]) + lo[3]) + (((hi[0] + hi[1]) + hi[2]) + hi[3]);
  for (; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

// Values over several orders of magnitude, so that another summation order
// gives other bits; with specials_every = k > 0, every k-th entry is NaN,
// +-inf or +-0 instead.
inline std::vector<float> spread_values(std::size_t n, std::uint32_t seed, std::size_t specials_every = 0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-4, 4);
  std::vector<float> v(n);
  for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
  const float special[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, -0.0f, 0.0f};
  if (specials_every > 0)
    for (std::size_t k = 0; k < n; k += specials_every) v[k] = special[(k / specials_every) % 7];
  return v;
}

}  // namespace quarnel::testing
