// solve_numpy: arrays plus a query embedding; relevance is the cosine of each
// embedding row with the query.
#include <initializer_list>
#include <span>

#include "core/constraints.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/constraints_record.hpp"
#include "python/relevance.hpp"
#include "python/solve_paths.hpp"

namespace quarnel::python {

SolveResult solve_numpy(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs) {
  const std::vector<py::object> v = parse_arguments(
      "solve_numpy",
      {{"embeddings", true}, {"query_embedding", true}, {"token_costs", true}, {"density_scores", true},
       {"centrality_scores", true}, {"recency_scores", true}, {"auxiliary_scores", true}, {"roles", true},
       {"cluster_ids", true}, {"constraints", false}},
      args, kwargs);

  const py::array embeddings = array_argument("embeddings", v[0], Dtype::Float32, 2);
  const py::array query = array_argument("query_embedding", v[1], Dtype::Float32, 1);
  const CandidateArrays candidates = CandidateArrays::from_arguments(v, 2);
  const ConstraintsRecord constraints = constraints_argument(v[9]);

  for (const py::array* array : std::initializer_list<const py::array*>{
           &embeddings, &query, &candidates.token_costs, &candidates.density_scores, &candidates.centrality_scores,
           &candidates.recency_scores, &candidates.auxiliary_scores, &candidates.roles, &candidates.cluster_ids}) {
    require_contiguous(*array);
  }

  const std::size_t n = element_count(candidates.token_costs);
  const std::size_t d = n == 0 ? 0 : element_count(embeddings) / n;
  require_one_row_per_candidate(embeddings, n);
  candidates.require_candidate_lengths(n);

  ProblemInstance instance;
  instance.embeddings = copy_rows(embeddings);
  instance.query_embedding = copy_contiguous<float>(query);
  const std::span<const float> all_rows(instance.embeddings);
  const float query_squared_norm = squared_norm(instance.query_embedding);
  instance.relevance_scores.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    instance.relevance_scores[i] =
        cosine_relevance(all_rows.subspan(i * d, d), instance.query_embedding, query_squared_norm);
  }
  instance.fulfilment_scores.assign(n, 0.0f);
  candidates.copy_into(instance);
  instance.num_candidates = n;
  instance.embedding_dim = d;

  return run_driver(solver, instance, constraints.to_core());
}

}  // namespace quarnel::python
