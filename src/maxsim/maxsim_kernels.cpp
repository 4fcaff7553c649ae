#include "maxsim/maxsim_kernels.hpp"

namespace quarnel {
namespace {

SimdPath runnable(SimdPath path) { return simd_path_runnable(path) ? path : SimdPath::Sse2; }

}  // namespace

CodeMaxSimKernels avx512_code_kernels(bool vnni, bool vpopcntdq) {
  CodeMaxSimKernels kernels = avx2::kCodeMaxSimKernels;
  if (vpopcntdq) {
    kernels.bit_layout = CodeLayout::Bits;
    kernels.bit_lanes = 16;
    kernels.hamming = avx512::kHammingByPopcount;
  }
  if (vnni) {
    kernels.nibble_layout = CodeLayout::NibbleQuads8;
    kernels.nibbles = avx512::kNibblesByVnni;
    kernels.byte_layout = CodeLayout::Bits;
    kernels.bytes = avx512::kBytesByVnni;
    kernels.affine_lanes = 16;
  }
  return kernels;
}

const F32MaxSimKernels& f32_maxsim_kernels(SimdPath path) {
  switch (runnable(path)) {
    case SimdPath::Avx512:
      return avx512::kF32MaxSimKernels;
    case SimdPath::Avx2:
      return avx2::kF32MaxSimKernels;
    case SimdPath::Sse2:
      break;
  }
  return sse2::kF32MaxSimKernels;
}

const CodeMaxSimKernels& code_maxsim_kernels(SimdPath path) {
  switch (runnable(path)) {
    case SimdPath::Avx512: {
      static const CodeMaxSimKernels kernels = avx512_code_kernels(cpu_has_avx512_vnni(), cpu_has_avx512_vpopcntdq());
      return kernels;
    }
    case SimdPath::Avx2:
      return avx2::kCodeMaxSimKernels;
    case SimdPath::Sse2:
      break;
  }
  return sse2::kCodeMaxSimKernels;
}

}  // namespace quarnel
