#include "core/problem.hpp"

#include "core/panic.hpp"

namespace quarnel {

void ProblemInstance::validate() const {
  const std::size_t n = num_candidates;
  auto per_candidate = [n](std::size_t size, const char* what) {
    if (size != n) throw_internal(std::string(what) + " has " + std::to_string(size) + " entries for " +
                                  std::to_string(n) + " candidates");
  };
  per_candidate(relevance_scores.size(), "relevance_scores");
  per_candidate(density_scores.size(), "density_scores");
  per_candidate(centrality_scores.size(), "centrality_scores");
  per_candidate(recency_scores.size(), "recency_scores");
  per_candidate(auxiliary_scores.size(), "auxiliary_scores");
  per_candidate(fulfilment_scores.size(), "fulfilment_scores");
  per_candidate(token_costs.size(), "token_costs");
  per_candidate(roles.size(), "roles");
  per_candidate(cluster_ids.size(), "cluster_ids");
  per_candidate(chunk_ids.size(), "chunk_ids");
  if (similarity_matrix) check_length(similarity_matrix->size(), n * n, "similarity_matrix");
  if (coverage_matrix) check_length(coverage_matrix->size(), num_query_tokens * n, "coverage_matrix");
}

}  // namespace quarnel
