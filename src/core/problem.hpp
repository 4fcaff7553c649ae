#pragma once
// One solve's candidates, owned by the solve call and read-only for the solver.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/role.hpp"

namespace quarnel {

// One byte per candidate: 1 selected, 0 not selected.
using SelectionMask = std::vector<std::uint8_t>;

// Cluster ids are non-negative; a negative entry means "no cluster".
inline constexpr std::int32_t kNoCluster = -1;

struct ProblemInstance {
  std::vector<float> embeddings;  // n * embedding_dim, row-major
  std::vector<float> query_embedding;
  std::vector<float> relevance_scores;
  std::vector<float> density_scores;
  std::vector<float> centrality_scores;
  std::vector<float> recency_scores;
  std::vector<float> auxiliary_scores;
  std::vector<float> fulfilment_scores;
  std::vector<std::uint32_t> token_costs;
  std::vector<Role> roles;
  std::vector<std::int32_t> cluster_ids;  // kNoCluster (any negative) = none
  std::vector<std::string> chunk_ids;
  std::optional<std::vector<float>> coverage_matrix;      // num_query_tokens * n, row-major
  std::optional<std::vector<float>> query_token_weights;  // weight of row t; missing rows weigh 1
  std::optional<std::vector<float>> similarity_matrix;    // n * n, row-major
  std::size_t num_candidates = 0;
  std::size_t embedding_dim = 0;
  std::size_t num_query_tokens = 0;

  bool has_cluster(std::size_t i) const { return cluster_ids[i] >= 0; }

  // Weight of query-token row t: the given weight, or 1.0 past its end.
  float query_token_weight(std::size_t t) const {
    if (query_token_weights && t < query_token_weights->size()) return (*query_token_weights)[t];
    return 1.0f;
  }

  // Throws InternalError unless every per-candidate sequence has n entries and
  // the matrices are large enough, so that no later stage can read past them.
  void validate() const;
};

}  // namespace quarnel
