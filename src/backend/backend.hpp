#pragma once
// The backend interface: the solver asks its backend for similarity matrices,
// masked sums and batch objective scores through this fixed operation table.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backend/uninitialized.hpp"

#include "core/config.hpp"
#include "core/problem_view.hpp"

namespace quarnel {

enum class BackendKind : std::uint8_t {
  CpuReference = 0,
  GpuExperimental = 1,
  CudaExperimental = 2,
  CpuFallback = 3,
};

std::string_view backend_kind_name(BackendKind kind);

class SimilarityBackend {
 public:
  virtual ~SimilarityBackend() = default;
  virtual float dot(std::span<const float> a, std::span<const float> b) const = 0;
  virtual std::vector<float> batch_dot(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                                       std::span<const float> query) const = 0;
  virtual std::vector<float> matmul(std::span<const float> a, std::size_t m, std::size_t k,
                                    std::span<const float> b, std::size_t n) const = 0;
  virtual float cosine_similarity(std::span<const float> a, std::span<const float> b) const = 0;
  // Written in full, so it comes unzeroed.
  virtual UninitializedVector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                                       std::size_t dim) const = 0;
  virtual float masked_sum(std::span<const float> values, std::span<const std::uint8_t> mask) const = 0;
  virtual void prepare(const ProblemView& view, std::size_t batch_size) const = 0;
  virtual std::vector<float> evaluate_masks(std::span<const std::uint8_t> masks, std::size_t count,
                                            const ProblemView& view) const = 0;
  virtual std::vector<float> evaluate_swaps(std::span<const std::uint8_t> current, std::span<const std::size_t> added,
                                            std::span<const std::size_t> removed,
                                            const ProblemView& view) const = 0;
  virtual BackendKind kind() const = 0;
  virtual bool evaluates_moves() const = 0;
};

// Runs every operation with the kernels on the CPU worker pool.
class CpuReferenceBackend final : public SimilarityBackend {
 public:
  explicit CpuReferenceBackend(std::size_t thread_count) : thread_count_(thread_count) {}
  float dot(std::span<const float> a, std::span<const float> b) const override;
  std::vector<float> batch_dot(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                               std::span<const float> query) const override;
  std::vector<float> matmul(std::span<const float> a, std::size_t m, std::size_t k, std::span<const float> b,
                            std::size_t n) const override;
  float cosine_similarity(std::span<const float> a, std::span<const float> b) const override;
  UninitializedVector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                               std::size_t dim) const override;
  float masked_sum(std::span<const float> values, std::span<const std::uint8_t> mask) const override;
  void prepare(const ProblemView& view, std::size_t batch_size) const override;
  std::vector<float> evaluate_masks(std::span<const std::uint8_t> masks, std::size_t count,
                                    const ProblemView& view) const override;
  std::vector<float> evaluate_swaps(std::span<const std::uint8_t> current, std::span<const std::size_t> added,
                                    std::span<const std::size_t> removed, const ProblemView& view) const override;
  BackendKind kind() const override { return BackendKind::CpuReference; }
  bool evaluates_moves() const override { return false; }
  std::size_t thread_count() const { return thread_count_; }

 private:
  std::size_t thread_count_;
};

// The backend a solver gets for its configuration. With use_gpu set, the
// experimental-backend variable is read and normalised; no experimental
// backend is built in, so the result is always the CPU reference backend.
std::unique_ptr<SimilarityBackend> choose_backend(const SolverConfig& config);

// Trims Unicode white space from both ends and lower-cases ASCII letters.
std::string normalize_backend_request(std::string_view value);

}  // namespace quarnel
