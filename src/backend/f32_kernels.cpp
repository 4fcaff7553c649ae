#include "backend/f32_kernels.hpp"

namespace quarnel {

const F32Kernels& f32_kernels(SimdPath path) {
  if (!simd_path_runnable(path)) return sse2::kF32Kernels;
  switch (path) {
    case SimdPath::Avx512: {
      // Only the similarity tiles gain from the wider registers.
      static const F32Kernels kernels = {avx2::kF32Kernels.normalize_rows, avx2::kF32Kernels.dot_rows,
                                         avx512::kSimilarityTile};
      return kernels;
    }
    case SimdPath::Avx2:
      return avx2::kF32Kernels;
    case SimdPath::Sse2:
      break;
  }
  return sse2::kF32Kernels;
}

}  // namespace quarnel
