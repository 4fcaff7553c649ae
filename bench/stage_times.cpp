// Stage times of the solve driver on an instance written by bench_solve.py.
//
// Usage: quarnel_stage_times <instance file> <repeats> <threads> [exact window size [time limit ms]]
// The file holds, little-endian: n, d, query tokens (u64 each), then
// embeddings f32[n*d], token_costs u32[n], density, centrality, recency,
// auxiliary, relevance f32[n] each, roles u8[n], cluster_ids i32[n] and the
// coverage matrix f32[tokens*n]. Prints one JSON object: the median of every
// stage in milliseconds and the moves the search scored. QUARNEL_STAGE_MAX_TOKENS
// and QUARNEL_STAGE_MAX_CHUNKS replace the default token budget and chunk limit
// (bench_solve.py --long-context sets them).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.hpp"
#include "backend/thread_pool.hpp"
#include "core/constraints.hpp"
#include "search/driver.hpp"

namespace {

using namespace quarnel;

template <typename T>
std::vector<T> read_array(std::ifstream& in, std::size_t count) {
  std::vector<T> values(count);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (!in) throw std::runtime_error("instance file is too short");
  return values;
}

ProblemInstance read_instance(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  const std::vector<std::uint64_t> header = read_array<std::uint64_t>(in, 3);
  const std::size_t n = header[0], d = header[1], tokens = header[2];
  ProblemInstance p;
  p.num_candidates = n;
  p.embedding_dim = d;
  p.embeddings = read_array<float>(in, n * d);
  p.token_costs = read_array<std::uint32_t>(in, n);
  p.density_scores = read_array<float>(in, n);
  p.centrality_scores = read_array<float>(in, n);
  p.recency_scores = read_array<float>(in, n);
  p.auxiliary_scores = read_array<float>(in, n);
  p.relevance_scores = read_array<float>(in, n);
  p.fulfilment_scores.assign(n, 0.0f);
  for (std::uint8_t role : read_array<std::uint8_t>(in, n)) p.roles.push_back(role_from_byte(role));
  p.cluster_ids = read_array<std::int32_t>(in, n);
  for (std::int32_t& id : p.cluster_ids)
    if (id < 0) id = kNoCluster;
  for (std::size_t i = 0; i < n; ++i) p.chunk_ids.push_back("chunk_" + std::to_string(i));
  if (tokens > 0) {
    p.num_query_tokens = tokens;
    p.coverage_matrix = read_array<float>(in, tokens * n);
    p.query_token_weights = std::vector<float>(tokens, 1.0f);
  }
  return p;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr, "usage: %s <instance file> <repeats> <threads> [exact window size [time limit ms]]\n", argv[0]);
    return 2;
  }
  try {
    const ProblemInstance instance = read_instance(argv[1]);
    const int repeats = std::max(1, std::atoi(argv[2]));
    const std::size_t threads = static_cast<std::size_t>(std::max(1, std::atoi(argv[3])));
    SolverConfig config;
    if (argc >= 5) config.exact_window_size = static_cast<std::uint64_t>(std::max(1, std::atoi(argv[4])));
    if (argc >= 6) config.exact_window_time_ms = static_cast<std::uint64_t>(std::max(1, std::atoi(argv[5])));
    const SolverSettings settings = SolverSettings::from_config(config);
    SolverConstraints limits;
    if (const char* tokens = std::getenv("QUARNEL_STAGE_MAX_TOKENS"))
      limits.max_tokens = static_cast<std::uint32_t>(std::strtoul(tokens, nullptr, 10));
    if (const char* chunks = std::getenv("QUARNEL_STAGE_MAX_CHUNKS")) limits.max_chunks = std::strtoull(chunks, nullptr, 10);
    const PreparedConstraints constraints = prepare_constraints(limits, instance);
    std::vector<double> stage[7];
    std::uint64_t moves = 0, nodes = 0;
    with_pool_size_for_testing(threads, [&] {
      const CpuReferenceBackend backend(threads);
      solve(settings, backend, instance, constraints);  // warm-up
      for (int r = 0; r < repeats; ++r) {
        const SolveResult result = solve(settings, backend, instance, constraints);
        const StageTimes& t = result.trace.stages;
        const double values[7] = {t.similarity, t.constructions, t.search, t.exact_window,
                                  t.removal_pass, t.report, result.solve_time_ms};
        for (int s = 0; s < 7; ++s) stage[s].push_back(values[s]);
        moves = result.trace.moves_scored;
        nodes = result.exact_window_nodes;
      }
    });
    std::printf(
        "{\"similarity\": %.4f, \"constructions\": %.4f, \"search\": %.4f, \"exact_window\": %.4f, "
        "\"removal_pass\": %.4f, \"report\": %.4f, \"driver\": %.4f, \"moves\": %llu, \"window_nodes\": %llu}\n",
        median(stage[0]), median(stage[1]), median(stage[2]), median(stage[3]), median(stage[4]), median(stage[5]),
        median(stage[6]), static_cast<unsigned long long>(moves), static_cast<unsigned long long>(nodes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
