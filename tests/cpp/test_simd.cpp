#include <gtest/gtest.h>

#include <cstdlib>

#include "backend/simd.hpp"

namespace quarnel {
namespace {

TEST(SimdPath, OnlySse2ForcesTheBaselineAndAvx2NeedsTheCpu) {
  EXPECT_EQ(choose_simd_path("sse2", true), SimdPath::Sse2);
  EXPECT_EQ(choose_simd_path("SSE2", true), SimdPath::Sse2);
  for (const char* request : {"avx2", "", "avx512", "best", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(choose_simd_path(request, true), SimdPath::Avx2);
    EXPECT_EQ(choose_simd_path(request, false), SimdPath::Sse2);
  }
  EXPECT_EQ(active_simd_path(), choose_simd_path(std::getenv("QUARNEL_SOLVER_SIMD"), cpu_supports_avx2()));
  EXPECT_EQ(simd_path_name(SimdPath::Avx2), "avx2");
  EXPECT_EQ(simd_path_name(SimdPath::Sse2), "sse2");
}

}  // namespace
}  // namespace quarnel
