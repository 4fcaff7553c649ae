#pragma once
// Which vector instruction set the kernels run on. Every x86-64 CPU runs the
// SSE2 kernels; the AVX2 ones (with hardware POPCNT) and the AVX-512 ones are
// chosen once, at first use, when both the CPU and the operating system
// support them. All paths give identical bits: they differ in register width
// and instruction choice, never in the order or rounding of a floating-point
// operation (integer sums are exact, so any instruction mix gives their bits).
#include <cstdint>
#include <string_view>

// Marks a function compiled for AVX2 and POPCNT (never FMA: every product is
// rounded before it is added). Such functions live in files of their own, in
// the namespace quarnel::avx2, with internal linkage for every helper, so no
// AVX2 instruction can reach code that baseline callers share.
#define QUARNEL_TARGET_AVX2 __attribute__((target("avx2,popcnt")))

// AVX-512 F/BW/VL (namespace quarnel::avx512). GCC would fuse a product into
// the following sum under this target: -ffp-contract=off is what keeps the
// separate rounding of every product.
// Clang 18 and newer split the 512-bit registers off as the feature "evex512",
// which a target attribute must name; GCC 12 does not know the name.
#if defined(__clang__) && __clang_major__ >= 18
#define QUARNEL_AVX512_BASE "avx2,popcnt,avx512f,avx512bw,avx512vl,evex512"
#else
#define QUARNEL_AVX512_BASE "avx2,popcnt,avx512f,avx512bw,avx512vl"
#endif
#define QUARNEL_TARGET_AVX512 __attribute__((target(QUARNEL_AVX512_BASE)))
// AVX-512 with VNNI (namespace quarnel::avx512vnni), and with VPOPCNTDQ
// (namespace quarnel::avx512popcnt): CPUs may have either without the other.
#define QUARNEL_TARGET_AVX512_VNNI __attribute__((target(QUARNEL_AVX512_BASE ",avx512vnni")))
#define QUARNEL_TARGET_AVX512_POPCNT __attribute__((target(QUARNEL_AVX512_BASE ",avx512vpopcntdq")))

namespace quarnel {

// Ordered: each path needs everything the ones before it need.
enum class SimdPath : std::uint8_t { Sse2, Avx2, Avx512 };

// True when the CPU has AVX2 and POPCNT and the OS saves the YMM registers.
bool cpu_supports_avx2();
// True when, beyond AVX2, the CPU has AVX-512 F, BW and VL and the OS saves
// the mask and ZMM registers.
bool cpu_supports_avx512();
// The optional AVX-512 extensions, each detected on its own (false without
// cpu_supports_avx512()).
bool cpu_has_avx512_vnni();
bool cpu_has_avx512_vpopcntdq();

// The best path this CPU runs.
SimdPath best_simd_path();

// The path a value of QUARNEL_SOLVER_SIMD selects (request may be null, for
// unset): "sse2" or "avx2" (any case) caps the path there; "avx512",
// anything else or nothing asks for the best path, `best`.
SimdPath choose_simd_path(const char* request, SimdPath best);

// The process-wide path: chosen on the first call from the environment and
// the CPU, then fixed.
SimdPath active_simd_path();

// True when this CPU runs `path`.
bool simd_path_runnable(SimdPath path);

std::string_view simd_path_name(SimdPath path);

}  // namespace quarnel
