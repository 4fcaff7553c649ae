// Times the native kernels on random data, on a chosen vector path, for the
// Python benchmarks (which run NumPy on the same shapes beside it) and for
// profiling without the interpreter.
// Usage: quarnel_kernel_timer similarity N DIM REPEATS PATH
//        quarnel_kernel_timer maxsim BITS Q TQ N TD DIM REPEATS PATH   (BITS 32 for float32)
//        quarnel_kernel_timer clock   (prints the core clock in GHz: by wall time, by CPU time)
// PATH is sse2, avx2 or avx512 (capped at the best this CPU runs). Prints the median wall milliseconds of one call, the
// least CPU milliseconds (the figure least disturbed by other work on a
// shared machine), a checksum of the result and the least wall milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "maxsim/maxsim_f32.hpp"
#include "maxsim/maxsim_quantized.hpp"

namespace {

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Runs fn once to warm up, then `repeats` times; prints the medians.
void time_calls(std::size_t repeats, const std::function<double()>& fn) {
  std::vector<double> wall, cpu;
  double checksum = fn();
  for (std::size_t r = 0; r < std::max<std::size_t>(repeats, 1); ++r) {
    const double cpu_start = cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    checksum = fn();
    wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    cpu.push_back(cpu_ms() - cpu_start);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("%.3f %.3f %.9g %.3f\n", wall[wall.size() / 2], cpu.front(), checksum, wall.front());
}

template <typename T>
quarnel::TokenTensor<T> dense_view(const std::vector<T>& values, std::size_t items, std::size_t tokens,
                                   std::size_t width) {
  const auto row = static_cast<std::ptrdiff_t>(width * sizeof(T));
  return {reinterpret_cast<const unsigned char*>(values.data()), items, tokens, width,
          row * static_cast<std::ptrdiff_t>(tokens), row, sizeof(T)};
}

// The core clock: a chain of dependent register additions runs one a cycle
// (an immediate operand may be folded away by the renamer, so the addend is
// a register). Printed twice: per second of wall time, the figure to set
// against wall times, and per second of this thread's CPU time, which a
// virtual machine's guest kernel keeps free of the time the host took away
// (the figure to set against the CPU times above). Each is the least time
// of several runs, the one least disturbed.
int print_clock() {
  constexpr long kIterations = 2'000'000;  // ten additions each
  double least_wall = 1e300, least_cpu = 1e300;
  for (int run = 0; run < 15; ++run) {
    long sum = 0;
    timespec cpu_start{}, cpu_end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_start);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kIterations; ++i) {
      __asm__ volatile(
          "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
          "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
          : "+r"(sum)
          : "r"(i));
    }
    least_wall = std::min(least_wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_end);
    least_cpu = std::min(least_cpu, static_cast<double>(cpu_end.tv_sec - cpu_start.tv_sec) +
                                        static_cast<double>(cpu_end.tv_nsec - cpu_start.tv_nsec) * 1e-9);
  }
  std::printf("%.4f %.4f\n", 10.0 * kIterations / least_wall / 1e9, 10.0 * kIterations / least_cpu / 1e9);
  return 0;
}

int time_similarity(const std::vector<std::string>& args, quarnel::SimdPath path) {
  const std::size_t n = std::stoul(args[1]), dim = std::stoul(args[2]);
  std::mt19937 rng(0);
  std::normal_distribution<float> normal;
  std::vector<float> embeddings(n * dim);
  for (float& x : embeddings) x = normal(rng);
  time_calls(std::stoul(args[3]), [&] {
    const auto m = quarnel::similarity_matrix(embeddings, n, dim, path);
    double sum = 0;
    for (std::size_t i = 0; i < n; i += 7) sum += m[i * n + (i * 13) % n];
    return sum;
  });
  return 0;
}

int time_maxsim(const std::vector<std::string>& args, quarnel::SimdPath path) {
  const std::size_t bits = std::stoul(args[1]), q = std::stoul(args[2]), tq = std::stoul(args[3]);
  const std::size_t n = std::stoul(args[4]), td = std::stoul(args[5]), dim = std::stoul(args[6]);
  const std::size_t repeats = std::stoul(args[7]);
  std::mt19937 rng(0);
  std::vector<float> scores(q * n);
  const auto checksum = [&] {
    double sum = 0;
    for (float s : scores) sum += s;
    return sum;
  };
  if (bits == 32) {
    std::normal_distribution<float> normal;
    std::vector<float> qv(q * tq * dim), dv(n * td * dim);
    for (float& x : qv) x = normal(rng);
    for (float& x : dv) x = normal(rng);
    time_calls(repeats, [&] {
      quarnel::max_sim_f32(dense_view(qv, q, tq, dim), dense_view(dv, n, td, dim), scores.data(), path);
      return checksum();
    });
    return 0;
  }
  const std::size_t bytes = dim * bits / 8;
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const auto side = [&](std::size_t items, std::size_t tokens, std::vector<std::uint8_t>& codes,
                        std::vector<float>& meta) {
    codes.resize(items * tokens * bytes);
    meta.resize(items * tokens * 4);
    for (auto& c : codes) c = static_cast<std::uint8_t>(byte(rng));
    for (std::size_t k = 0; k < meta.size(); ++k) meta[k] = k % 4 == 0 ? 0.01f : k % 4 == 2 ? 4000.0f : uniform(rng);
  };
  std::vector<std::uint8_t> qc, dc;
  std::vector<float> qm, dm;
  side(q, tq, qc, qm);
  side(n, td, dc, dm);
  const quarnel::QuantizerParams params = quarnel::make_quantizer_params(bits, dim);
  time_calls(repeats, [&] {
    quarnel::max_sim_quantized(dense_view(qc, q, tq, bytes), dense_view(qm, q, tq, 4), dense_view(dc, n, td, bytes),
                               dense_view(dm, n, td, 4), params, scores.data(), path);
    return checksum();
  });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const quarnel::SimdPath path =
      quarnel::choose_simd_path(args.empty() ? nullptr : args.back().c_str(), quarnel::best_simd_path());
  if (args.size() == 1 && args[0] == "clock") return print_clock();
  quarnel::pool_thread_count();  // start the pool outside the timing
  if (args.size() == 5 && args[0] == "similarity") return time_similarity(args, path);
  if (args.size() == 9 && args[0] == "maxsim") return time_maxsim(args, path);
  std::fprintf(stderr, "usage: %s similarity N DIM REPEATS PATH | maxsim BITS Q TQ N TD DIM REPEATS PATH | clock\n", argv[0]);
  return 2;
}
