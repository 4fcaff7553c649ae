#include "maxsim/maxsim_kernels.hpp"

namespace quarnel {
namespace {

bool avx2_usable(SimdPath path) {
  static const bool supported = cpu_supports_avx2();
  return path == SimdPath::Avx2 && supported;
}

}  // namespace

const F32MaxSimKernels& f32_maxsim_kernels(SimdPath path) {
  return avx2_usable(path) ? avx2::kF32MaxSimKernels : sse2::kF32MaxSimKernels;
}

const CodeMaxSimKernels& code_maxsim_kernels(SimdPath path) {
  return avx2_usable(path) ? avx2::kCodeMaxSimKernels : sse2::kCodeMaxSimKernels;
}

}  // namespace quarnel
