#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

#include "backend/backend.hpp"
#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"

namespace quarnel {
namespace {

// UTF-8 encodings of the Unicode White_Space characters.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",                                                          // U+0085
    "\xC2\xA0",                                                          // U+00A0
    "\xE1\x9A\x80",                                                      // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",      // U+2000..
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",      //
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",                      // ..U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9",                                      // U+2028, U+2029
    "\xE2\x80\xAF",                                                      // U+202F
    "\xE2\x81\x9F",                                                      // U+205F
    "\xE3\x80\x80",                                                      // U+3000
};

// Length of the white-space character at the start (or end) of text, 0 if none.
std::size_t leading_space(std::string_view text) {
  for (std::string_view space : kWhiteSpace)
    if (text.starts_with(space)) return space.size();
  return 0;
}

std::size_t trailing_space(std::string_view text) {
  for (std::string_view space : kWhiteSpace)
    if (text.ends_with(space)) return space.size();
  return 0;
}

}  // namespace

std::string_view backend_kind_name(BackendKind kind) {
  switch (kind) {
    case BackendKind::GpuExperimental:
      return "quarnel_gpu_experimental";
    case BackendKind::CudaExperimental:
      return "quarnel_cuda_experimental";
    case BackendKind::CpuReference:
    case BackendKind::CpuFallback:
    default:
      return "cpu_reference";
  }
}

std::string normalize_backend_request(std::string_view value) {
  while (std::size_t width = leading_space(value)) value.remove_prefix(width);
  while (std::size_t width = trailing_space(value)) value.remove_suffix(width);
  std::string result(value);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::unique_ptr<SimilarityBackend> choose_backend(const SolverConfig& config) {
  if (config.use_gpu) {
    // The request is read and normalised, but no experimental backend is
    // built in: every value falls back to the CPU reference backend.
    const char* request = std::getenv("QUARNEL_SOLVER_ENABLE_EXPERIMENTAL_BACKENDS");
    if (request) (void)normalize_backend_request(request);
  }
  return std::make_unique<CpuReferenceBackend>(pool_thread_count());
}

float CpuReferenceBackend::dot(std::span<const float> a, std::span<const float> b) const { return dot8(a, b); }

std::vector<float> CpuReferenceBackend::batch_dot(std::span<const float> matrix, std::size_t rows,
                                                  std::size_t dim, std::span<const float> query) const {
  return quarnel::batch_dot(matrix, rows, dim, query);
}

std::vector<float> CpuReferenceBackend::matmul(std::span<const float> a, std::size_t m, std::size_t k,
                                               std::span<const float> b, std::size_t n) const {
  return quarnel::matmul(a, m, k, b, n);
}

float CpuReferenceBackend::cosine_similarity(std::span<const float> a, std::span<const float> b) const {
  return quarnel::cosine_similarity(a, b);
}

UninitializedVector<float> CpuReferenceBackend::similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                                          std::size_t dim) const {
  return quarnel::similarity_matrix(embeddings, n, dim);
}

float CpuReferenceBackend::masked_sum(std::span<const float> values, std::span<const std::uint8_t> mask) const {
  return quarnel::masked_sum(values, mask);
}

void CpuReferenceBackend::prepare(const ProblemView&, std::size_t) const {}

std::vector<float> CpuReferenceBackend::evaluate_masks(std::span<const std::uint8_t> masks, std::size_t count,
                                                       const ProblemView& view) const {
  return quarnel::evaluate_masks(masks, count, view);
}

std::vector<float> CpuReferenceBackend::evaluate_swaps(std::span<const std::uint8_t> current,
                                                       std::span<const std::size_t> added,
                                                       std::span<const std::size_t> removed,
                                                       const ProblemView& view) const {
  return quarnel::evaluate_swaps(current, added, removed, view);
}

}  // namespace quarnel
