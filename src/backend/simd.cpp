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
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return ebx & bit_AVX2;
}

SimdPath choose_simd_path(const char* request, bool avx2_supported) {
  if (request && equals_ignoring_case(request, "sse2")) return SimdPath::Sse2;
  return avx2_supported ? SimdPath::Avx2 : SimdPath::Sse2;
}

SimdPath active_simd_path() {
  // A function-local static: initialised once, safely under concurrent first calls.
  static const SimdPath path = choose_simd_path(std::getenv("QUARNEL_SOLVER_SIMD"), cpu_supports_avx2());
  return path;
}

std::string_view simd_path_name(SimdPath path) { return path == SimdPath::Avx2 ? "avx2" : "sse2"; }

}  // namespace quarnel
