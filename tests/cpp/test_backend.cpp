#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "backend/backend.hpp"
#include "backend/thread_pool.hpp"

namespace quarnel {
namespace {

TEST(BackendKind, Names) {
  EXPECT_EQ(backend_kind_name(BackendKind::CpuReference), "cpu_reference");
  EXPECT_EQ(backend_kind_name(BackendKind::CpuFallback), "cpu_reference");
  const auto gpu = backend_kind_name(BackendKind::GpuExperimental);
  const auto cuda = backend_kind_name(BackendKind::CudaExperimental);
  EXPECT_TRUE(gpu.ends_with("_gpu_experimental"));
  EXPECT_TRUE(cuda.ends_with("_cuda_experimental"));
}

TEST(BackendRequest, TrimsUnicodeWhiteSpaceAndLowerCasesAscii) {
  EXPECT_EQ(normalize_backend_request("  1 \t\n"), "1");
  EXPECT_EQ(normalize_backend_request("CUDA"), "cuda");
  EXPECT_EQ(normalize_backend_request(""), "");
  EXPECT_EQ(normalize_backend_request(" \v\f\r "), "");
  // U+3000 and U+00A0 in front, U+0085 and U+2029 behind; inner spaces stay.
  EXPECT_EQ(normalize_backend_request("\xE3\x80\x80\xC2\xA0Gpu On\xC2\x85\xE2\x80\xA9"), "gpu on");
  EXPECT_EQ(normalize_backend_request("\xE2\x80\x8A" "x" "\xE2\x81\x9F"), "x");  // U+200A, U+205F
  // Non-ASCII letters are not lower-cased; U+200B (zero width space) is not white space.
  EXPECT_EQ(normalize_backend_request("\xC3\x89T\xE2\x80\x8B"), "\xC3\x89t\xE2\x80\x8B");
}

class ScopedRequest {
 public:
  explicit ScopedRequest(const char* value) {
    if (const char* old = std::getenv(kName)) old_ = old;
    if (value)
      setenv(kName, value, 1);
    else
      unsetenv(kName);
  }
  ~ScopedRequest() {
    if (old_)
      setenv(kName, old_->c_str(), 1);
    else
      unsetenv(kName);
  }

 private:
  static constexpr const char* kName = "QUARNEL_SOLVER_ENABLE_EXPERIMENTAL_BACKENDS";
  std::optional<std::string> old_;
};

TEST(ChooseBackend, AlwaysTheCpuReference) {
  for (bool use_gpu : {false, true}) {
    for (const char* request : {static_cast<const char*>(nullptr), "", " 1 ", "CUDA", "gpu", "\xFF\xFE"}) {
      ScopedRequest scoped(request);
      SolverConfig config;
      config.use_gpu = use_gpu;
      const auto backend = choose_backend(config);
      ASSERT_NE(backend, nullptr);
      EXPECT_EQ(backend->kind(), BackendKind::CpuReference);
      EXPECT_FALSE(backend->evaluates_moves());
      const auto* cpu = dynamic_cast<const CpuReferenceBackend*>(backend.get());
      ASSERT_NE(cpu, nullptr);
      EXPECT_EQ(cpu->thread_count(), pool_thread_count());
    }
  }
}

}  // namespace
}  // namespace quarnel
