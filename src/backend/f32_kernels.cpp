#include "backend/f32_kernels.hpp"

namespace quarnel {

const F32Kernels& f32_kernels(SimdPath path) {
  static const bool avx2_supported = cpu_supports_avx2();
  return path == SimdPath::Avx2 && avx2_supported ? avx2::kF32Kernels : sse2::kF32Kernels;
}

}  // namespace quarnel
