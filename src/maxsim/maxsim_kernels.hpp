#pragma once
// The MaxSim scoring kernels that exist once per instruction set (see
// backend/simd.hpp). A kernel scores one document against several queries,
// each item with its own token count, so uniform batches, ragged batches and
// per-query candidate lists all run through the same code.
#include <cstddef>

#include "backend/simd.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/token_tensor.hpp"

namespace quarnel {

// Floats of scratch a kernel needs per query token.
inline constexpr std::size_t kScratchPerQueryToken = 8;
// Document tokens per block of a prepared quantised side (CodeSide lanes) on
// the SSE2 and AVX2 paths; see CodeMaxSimKernels for the AVX-512 ones.
inline constexpr std::size_t kDocumentLanes = 8;

struct F32MaxSimKernels {
  // For q < query_count: out[q * out_stride] = the sum over the tokens of
  // queries[q], ascending, of the best dot8(query token, document token)
  // over the document's tokens (a NaN never becomes the best; no document
  // token gives -inf); 0.0 for a query without tokens. Rows hold `dim`
  // values. scratch holds kScratchPerQueryToken floats per token of the
  // longest query.
  void (*f32_document)(const TokenRows* queries, std::size_t query_count, const TokenRows& document,
                       std::size_t dim, float* out, std::ptrdiff_t out_stride, float* scratch);
};

// For q < query_count: out[q * out_stride] = the sum over the tokens of
// queries[q], ascending, of the best pair estimate over the document's
// tokens (a NaN never becomes the best; no document token gives -inf); 0.0
// for a query without tokens. Queries are prepared with one lane, the
// document with the kernels' bit_lanes or affine_lanes, both in the kernel's layout and with `steps` words
// per token; w is the padded dimension as f32. scratch holds
// kScratchPerQueryToken floats per token of the longest query.
using CodeKernel = void (*)(const CodeRows* queries, std::size_t query_count, const CodeRows& document,
                            std::size_t steps, float w, float* out, std::ptrdiff_t out_stride, float* scratch);

struct CodeMaxSimKernels {
  // 1-bit codes: w - 2 * (bits that differ), read in `bit_layout`: Bits, or
  // NibbleQuads8 (each code byte split into its two nibbles, the form a
  // nibble table lookup counts directly).
  CodeLayout bit_layout;
  std::size_t bit_lanes;  // document tokens to a block
  CodeKernel hamming;
  // 4- and 8-bit codes: (qa*da)*I + ((qa*db)*sum_q + ((qb*da)*sum_d + (qb*w)*db))
  // over the integer product I of the components, read in `nibble_layout`
  // for 4-bit codes and `byte_layout` for 8-bit codes (BytePairs16, or Bits:
  // the code bytes as they are, four components to a word).
  CodeLayout nibble_layout;
  CodeKernel nibbles;
  CodeLayout byte_layout;
  CodeKernel bytes;
  std::size_t affine_lanes;  // document tokens to a block, 4- and 8-bit codes
};

namespace sse2 {
extern const F32MaxSimKernels kF32MaxSimKernels;
extern const CodeMaxSimKernels kCodeMaxSimKernels;
}  // namespace sse2
namespace avx2 {
extern const F32MaxSimKernels kF32MaxSimKernels;
extern const CodeMaxSimKernels kCodeMaxSimKernels;
}  // namespace avx2
namespace avx512 {
extern const F32MaxSimKernels kF32MaxSimKernels;
// 1-bit codes in CodeLayout::Bits with sixteen document tokens to a block,
// counted by VPOPCNTD (needs VPOPCNTDQ).
extern const CodeKernel kHammingByPopcount;
// 4-bit codes in CodeLayout::NibbleQuads8 and 8-bit codes in
// CodeLayout::Bits, sixteen document tokens to a block, multiplied by
// VPDPBUSD (needs VNNI).
extern const CodeKernel kNibblesByVnni;
extern const CodeKernel kBytesByVnni;
}  // namespace avx512

// The AVX-512 set for a CPU with or without each extension: the AVX2 kernel
// stands in for each one missing. Only for a CPU with AVX-512 F/BW/VL.
CodeMaxSimKernels avx512_code_kernels(bool vnni, bool vpopcntdq);

// The kernels of a path; a path the CPU cannot run falls back to SSE2. On
// the AVX-512 path a kernel whose extension (VNNI, VPOPCNTDQ) the CPU lacks
// is the AVX2 one.
const F32MaxSimKernels& f32_maxsim_kernels(SimdPath path = active_simd_path());
const CodeMaxSimKernels& code_maxsim_kernels(SimdPath path = active_simd_path());

}  // namespace quarnel
