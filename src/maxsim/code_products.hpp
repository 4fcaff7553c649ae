#pragma once
// Integer inner products of quantised codes over n bytes, with 32-bit
// wrap-around sums. The vector paths give exactly the plain-loop results
// (integer sums do not depend on the order of addition). Defined inline:
// the scorer calls them once per token pair, often on short codes.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarnel {

namespace code_detail {

inline __m128i load16(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline std::uint32_t sum_lanes_u32(__m128i v) {
  alignas(16) std::uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// Bit count of a 64-bit word without relying on a hardware popcount
// instruction, which the baseline instruction set lacks.
inline std::uint64_t popcount64(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return (x * 0x0101010101010101ULL) >> 56;
}

// Per-byte bit counts of v (each byte 0..8), the same steps on 16 bytes.
inline __m128i popcount_bytes(__m128i v) {
  const __m128i m1 = _mm_set1_epi8(0x55);
  const __m128i m2 = _mm_set1_epi8(0x33);
  const __m128i m4 = _mm_set1_epi8(0x0F);
  v = _mm_sub_epi8(v, _mm_and_si128(_mm_srli_epi16(v, 1), m1));
  v = _mm_add_epi8(_mm_and_si128(v, m2), _mm_and_si128(_mm_srli_epi16(v, 2), m2));
  return _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), m4);
}

}  // namespace code_detail

inline std::uint32_t code_hamming_distance(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i counts = zero;  // two 64-bit partial counts
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i differing = _mm_xor_si128(code_detail::load16(a + k), code_detail::load16(b + k));
    const __m128i bits = code_detail::popcount_bytes(differing);
    counts = _mm_add_epi64(counts, _mm_sad_epu8(bits, zero));
  }
  alignas(16) std::uint64_t halves[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves), counts);
  std::uint64_t total = halves[0] + halves[1];
  for (; k + 8 <= n; k += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a + k, 8);
    std::memcpy(&wb, b + k, 8);
    total += code_detail::popcount64(wa ^ wb);
  }
  for (; k < n; ++k) total += code_detail::popcount64(static_cast<std::uint64_t>(a[k] ^ b[k]));
  return static_cast<std::uint32_t>(total);
}

inline std::uint32_t code_dot_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  // Bytes widened to 16 bits; each madd lane holds two products (at most
  // 2 * 255 * 255), summed into 32-bit lanes that wrap like the u32 sum.
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i va = code_detail::load16(a + k);
    const __m128i vb = code_detail::load16(b + k);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero)));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero)));
  }
  std::uint32_t total = code_detail::sum_lanes_u32(acc);
  for (; k < n; ++k) total += static_cast<std::uint32_t>(a[k]) * b[k];
  return total;
}

inline std::uint32_t code_dot_u4(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low_nibble = _mm_set1_epi16(0x0F);
  __m128i acc = zero;
  // Products of one half (8 bytes widened to 16-bit lanes): low nibbles times
  // low nibbles plus high nibbles times high nibbles.
  const auto nibble_products = [&](__m128i wa, __m128i wb) {
    const __m128i lo = _mm_madd_epi16(_mm_and_si128(wa, low_nibble), _mm_and_si128(wb, low_nibble));
    const __m128i hi = _mm_madd_epi16(_mm_srli_epi16(wa, 4), _mm_srli_epi16(wb, 4));
    return _mm_add_epi32(lo, hi);
  };
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i va = code_detail::load16(a + k);
    const __m128i vb = code_detail::load16(b + k);
    acc = _mm_add_epi32(acc, nibble_products(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero)));
    acc = _mm_add_epi32(acc, nibble_products(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero)));
  }
  std::uint32_t total = code_detail::sum_lanes_u32(acc);
  for (; k < n; ++k) {
    total += static_cast<std::uint32_t>(a[k] & 0x0F) * (b[k] & 0x0F);
    total += static_cast<std::uint32_t>(a[k] >> 4) * (b[k] >> 4);
  }
  return total;
}

}  // namespace quarnel
