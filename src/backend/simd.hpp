#pragma once
// Which vector instruction set the kernels run on. Every x86-64 CPU runs the
// SSE2 kernels; the AVX2 ones (with hardware POPCNT) are chosen once, at first
// use, when both the CPU and the operating system support them. The two give
// identical bits: they differ in register width and instruction choice, never
// in the order or rounding of a floating-point operation.
#include <cstdint>
#include <string_view>

// Marks a function compiled for AVX2 and POPCNT (never FMA: every product is
// rounded before it is added). Such functions live in files of their own, in
// the namespace quarnel::avx2, with internal linkage for every helper, so no
// AVX2 instruction can reach code that baseline callers share.
#define QUARNEL_TARGET_AVX2 __attribute__((target("avx2,popcnt")))

namespace quarnel {

enum class SimdPath : std::uint8_t { Sse2, Avx2 };

// True when the CPU has AVX2 and POPCNT and the OS saves the YMM registers.
bool cpu_supports_avx2();

// The path a value of QUARNEL_SOLVER_SIMD selects (request may be null, for
// unset): "sse2" forces the baseline; "avx2", anything else or nothing asks
// for the best path the CPU supports.
SimdPath choose_simd_path(const char* request, bool avx2_supported);

// The process-wide path: chosen on the first call from the environment and
// the CPU, then fixed.
SimdPath active_simd_path();

std::string_view simd_path_name(SimdPath path);

}  // namespace quarnel
