#pragma once
// The read-only bundle of one solve that the backend's batch operations read.
#include <cstddef>
#include <span>

#include "core/config.hpp"

namespace quarnel {

struct ProblemView {
  std::span<const float> relevance;
  std::span<const float> density;
  std::span<const float> centrality;
  std::span<const float> recency;
  std::span<const float> auxiliary;
  std::span<const float> similarity;           // n * n
  std::span<const float> coverage;             // num_query_tokens * n, empty when absent
  std::span<const float> query_token_weights;  // may be shorter than num_query_tokens
  bool has_coverage = false;
  bool has_query_token_weights = false;
  std::size_t n = 0;
  std::size_t num_query_tokens = 0;
  const ObjectiveWeights* weights = nullptr;

  float query_token_weight(std::size_t t) const {
    return has_query_token_weights && t < query_token_weights.size() ? query_token_weights[t] : 1.0f;
  }
};

}  // namespace quarnel
