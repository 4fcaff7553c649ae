#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "backend/simd.hpp"

namespace quarnel {
namespace {

TEST(SimdPath, ARequestCapsThePathAndTheCpuDecidesTheRest) {
  for (SimdPath best : {SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512}) {
    EXPECT_EQ(choose_simd_path("sse2", best), SimdPath::Sse2);
    EXPECT_EQ(choose_simd_path("SSE2", best), SimdPath::Sse2);
    EXPECT_EQ(choose_simd_path("Avx2", best), std::min(best, SimdPath::Avx2));
    for (const char* request : {"", "avx512", "best", static_cast<const char*>(nullptr)})
      EXPECT_EQ(choose_simd_path(request, best), best);
  }
  EXPECT_EQ(active_simd_path(), choose_simd_path(std::getenv("QUARNEL_SOLVER_SIMD"), best_simd_path()));
  EXPECT_TRUE(simd_path_runnable(active_simd_path()));
  EXPECT_EQ(simd_path_name(SimdPath::Avx512), "avx512");
  EXPECT_EQ(simd_path_name(SimdPath::Avx2), "avx2");
  EXPECT_EQ(simd_path_name(SimdPath::Sse2), "sse2");
}

TEST(SimdPath, ExtensionsNeedTheAvx512Base) {
  if (!cpu_supports_avx512()) {
    EXPECT_FALSE(cpu_has_avx512_vnni());
    EXPECT_FALSE(cpu_has_avx512_vpopcntdq());
  }
  EXPECT_EQ(cpu_supports_avx512(), best_simd_path() == SimdPath::Avx512);
  if (cpu_supports_avx512()) {
    EXPECT_TRUE(cpu_supports_avx2());
  }
}

// The kernel tests run on every path this CPU has; this names those it lacks.
TEST(SimdPath, PathsThisCpuLacks) {
  std::string lacking;
  for (SimdPath path : {SimdPath::Avx2, SimdPath::Avx512})
    if (!simd_path_runnable(path)) lacking += " " + std::string(simd_path_name(path));
  if (!cpu_supports_avx512()) {
    lacking += " (AVX-512 F/BW/VL)";
  } else {
    if (!cpu_has_avx512_vnni()) lacking += " VNNI (8/4-bit codes use the AVX2 kernels)";
    if (!cpu_has_avx512_vpopcntdq()) lacking += " VPOPCNTDQ (1-bit codes use the AVX2 kernel)";
  }
  if (!lacking.empty()) GTEST_SKIP() << "this CPU lacks" << lacking;
}

}  // namespace
}  // namespace quarnel
