#include "maxsim/maxsim_quantized.hpp"

#include <algorithm>

#include "core/panic.hpp"
#include "maxsim/maxsim_kernels.hpp"
#include "maxsim/query_blocks.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {
namespace {

CodeKernel kernel_for(const CodeMaxSimKernels& kernels, std::uint64_t num_bits) {
  switch (num_bits) {
    case 1:
      return kernels.hamming;
    case 4:
      return kernels.nibbles;
    case 8:
      return kernels.bytes;
    default:
      throw_internal("Only 1, 4, or 8-bit supported");
  }
}

std::size_t total_tokens(const CodeSide& side) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < side.items(); ++i) total += side.item(i).count;
  return total;
}

}  // namespace

CodeLayout code_layout(std::uint64_t num_bits, SimdPath path) {
  if (num_bits == 1) return code_maxsim_kernels(path).bit_layout;
  if (num_bits == 4) return code_maxsim_kernels(path).nibble_layout;
  return code_maxsim_kernels(path).byte_layout;
}

std::size_t code_document_lanes(std::uint64_t num_bits, SimdPath path) {
  const CodeMaxSimKernels& kernels = code_maxsim_kernels(path);
  return num_bits == 1 ? kernels.bit_lanes : kernels.affine_lanes;
}

void max_sim_code_items(const CodeSide& queries, const CodeSide& documents, std::uint64_t num_bits, float w,
                        float* scores, SimdPath path, const SlabCheck& between_slabs) {
  const std::size_t q_count = queries.items();
  const std::size_t n = documents.items();
  if (q_count == 0 || n == 0) return;
  const CodeKernel kernel = kernel_for(code_maxsim_kernels(path), num_bits);
  const std::size_t steps = queries.steps();

  std::vector<CodeRows> query_rows(q_count);
  std::size_t longest_query = 0;
  for (std::size_t i = 0; i < q_count; ++i) {
    query_rows[i] = queries.item(i);
    longest_query = std::max(longest_query, query_rows[i].count);
  }
  const std::size_t query_bytes = std::max<std::size_t>(1, longest_query * steps * 4);
  const std::size_t block = std::clamp<std::size_t>(kQueryBlockBytes / query_bytes, 1, q_count);
  const std::size_t blocks = (q_count + block - 1) / block;
  const std::size_t units = allocation_size(blocks, n, "the MaxSim work list");
  const double unit_work = static_cast<double>(block) * static_cast<double>(total_tokens(queries) / q_count + 1) *
                           static_cast<double>(total_tokens(documents) / n + 1) * static_cast<double>(steps + 1);

  run_in_slabs(units, units_per_slab(unit_work), between_slabs, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch(kScratchPerQueryToken * std::max<std::size_t>(longest_query, 1));
    for (std::size_t unit = begin; unit < end; ++unit) {
      const std::size_t j = unit / blocks;
      const std::size_t first = (unit % blocks) * block;
      const std::size_t count = std::min(block, q_count - first);
      const CodeRows document = documents.item(j);
      kernel(query_rows.data() + first, count, document, steps, w, scores + first * n + j,
             static_cast<std::ptrdiff_t>(n), scratch.data());
    }
  });
}

void max_sim_quantized(const TokenTensor<std::uint8_t>& q_codes, const TokenTensor<float>& q_meta,
                       const TokenTensor<std::uint8_t>& d_codes, const TokenTensor<float>& d_meta,
                       const QuantizerParams& params, float* scores, SimdPath path, const SlabCheck& between_slabs) {
  const CodeLayout layout = code_layout(params.num_bits, path);
  const std::size_t code_bytes = q_codes.width;
  require_metadata_covers(q_codes, q_meta);
  const CodeSide queries = make_code_side(uniform_source(q_codes, q_meta), layout, 1, code_bytes);
  require_metadata_covers(d_codes, d_meta);
  // Only scored pairs read document codes, so only they need the query's length.
  const bool pairs_scored = q_codes.has_rows() && d_codes.has_rows();
  if (pairs_scored && d_codes.width < code_bytes) throw_index_error("document token code", d_codes.width, d_codes.width);
  const CodeSide documents = make_code_side(uniform_source(d_codes, d_meta), layout,
                                             code_document_lanes(params.num_bits, path), code_bytes);
  max_sim_code_items(queries, documents, params.num_bits, params.component_count(), scores, path, between_slabs);
}

std::vector<float> max_sim_quantized(const TokenTensor<std::uint8_t>& q_codes, const TokenTensor<float>& q_meta,
                                     const TokenTensor<std::uint8_t>& d_codes, const TokenTensor<float>& d_meta,
                                     const QuantizerParams& params, SimdPath path) {
  std::vector<float> scores(allocation_size(q_codes.items, d_codes.items, "the score matrix"));
  max_sim_quantized(q_codes, q_meta, d_codes, d_meta, params, scores.data(), path);
  return scores;
}

}  // namespace quarnel
