#pragma once
// A consistent instance of n candidates with every score 0, equal token
// costs, role Unknown, no cluster and ids c0, c1, ...; tests set what they need.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/problem.hpp"

namespace quarnel::testing {

inline ProblemInstance blank_instance(std::size_t n, std::uint32_t tokens = 10) {
  ProblemInstance p;
  p.num_candidates = n;
  for (auto* scores : {&p.relevance_scores, &p.density_scores, &p.centrality_scores, &p.recency_scores,
                       &p.auxiliary_scores, &p.fulfilment_scores})
    scores->assign(n, 0.0f);
  p.token_costs.assign(n, tokens);
  p.roles.assign(n, Role::Unknown);
  p.cluster_ids.assign(n, kNoCluster);
  for (std::size_t i = 0; i < n; ++i) p.chunk_ids.push_back("c" + std::to_string(i));
  return p;
}

}  // namespace quarnel::testing
