#include "backend/simd.hpp"

#include <cpuid.h>

#include <cstdlib>
#include <string_view>

namespace quarnel {
namespace {

// The OS-enabled state components (XCR0); the xgetbv intrinsic would need
// the XSAVE target, so the instruction is written out.
std::uint64_t enabled_state_components() {
  std::uint32_t eax = 0, edx = 0;
  __asm__("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[k]) return false;
  }
  return true;
}

struct Leaf7 {
  unsigned ebx = 0, ecx = 0;
};

Leaf7 leaf7() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return {};
  return {ebx, ecx};
}

bool detect_avx512() {
  if (!cpu_supports_avx2()) return false;
  // Opmask (bit 5) and both halves of the ZMM state (bits 6, 7) must be saved.
  if ((enabled_state_components() & 0xE0) != 0xE0) return false;
  const unsigned ebx = leaf7().ebx;
  return (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (ebx & bit_AVX512VL);
}

}  // namespace

bool cpu_supports_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool popcnt = ecx & bit_POPCNT;
  const bool os_saves_state = ecx & bit_OSXSAVE;
  const bool avx = ecx & bit_AVX;
  if (!popcnt || !os_saves_state || !avx) return false;
  // XMM (bit 1) and YMM (bit 2) state must both be saved across switches.
  if ((enabled_state_components() & 0x6) != 0x6) return false;
  return leaf7().ebx & bit_AVX2;
}

bool cpu_supports_avx512() {
  static const bool supported = detect_avx512();
  return supported;
}

bool cpu_has_avx512_vnni() { return cpu_supports_avx512() && (leaf7().ecx & bit_AVX512VNNI); }

bool cpu_has_avx512_vpopcntdq() { return cpu_supports_avx512() && (leaf7().ecx & bit_AVX512VPOPCNTDQ); }

SimdPath best_simd_path() {
  if (cpu_supports_avx512()) return SimdPath::Avx512;
  return cpu_supports_avx2() ? SimdPath::Avx2 : SimdPath::Sse2;
}

SimdPath choose_simd_path(const char* request, SimdPath best) {
  SimdPath cap = SimdPath::Avx512;
  if (request && equals_ignoring_case(request, "sse2")) cap = SimdPath::Sse2;
  if (request && equals_ignoring_case(request, "avx2")) cap = SimdPath::Avx2;
  return cap < best ? cap : best;
}

SimdPath active_simd_path() {
  // A function-local static: initialised once, safely under concurrent first calls.
  static const SimdPath path = choose_simd_path(std::getenv("QUARNEL_SOLVER_SIMD"), best_simd_path());
  return path;
}

bool simd_path_runnable(SimdPath path) { return path <= best_simd_path(); }

std::string_view simd_path_name(SimdPath path) {
  switch (path) {
    case SimdPath::Avx512:
      return "avx512";
    case SimdPath::Avx2:
      return "avx2";
    case SimdPath::Sse2:
      break;
  }
  return "sse2";
}

}  // namespace quarnel
