// solve_precomputed_numpy: relevance, and optionally similarity, fulfilment
// and coverage, given as arrays.
#include <initializer_list>
#include <string>

#include "core/constraints.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/constraints_record.hpp"
#include "python/errors.hpp"
#include "python/solve_paths.hpp"

namespace quarnel::python {

SolveResult solve_precomputed_numpy(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs) {
  const std::vector<py::object> v = parse_arguments(
      "solve_precomputed_numpy",
      {{"embeddings", true}, {"token_costs", true}, {"density_scores", true}, {"centrality_scores", true},
       {"recency_scores", true}, {"auxiliary_scores", true}, {"roles", true}, {"cluster_ids", true},
       {"relevance_scores", true}, {"similarity_matrix", false}, {"fulfilment_scores", false},
       {"coverage_matrix", false}, {"query_token_weights", false}, {"query_embedding", false},
       {"constraints", false}},
      args, kwargs);

  // Types and dimensions, in signature order.
  const py::array embeddings = array_argument("embeddings", v[0], Dtype::Float32, 2);
  const CandidateArrays candidates = CandidateArrays::from_arguments(v, 1);
  const py::array relevance = array_argument("relevance_scores", v[8], Dtype::Float32, 1);
  const auto similarity = optional_array_argument("similarity_matrix", v[9], Dtype::Float32, 2);
  const auto fulfilment = optional_array_argument("fulfilment_scores", v[10], Dtype::Float32, 1);
  const auto coverage = optional_array_argument("coverage_matrix", v[11], Dtype::Float32, 2);
  const auto token_weights = optional_array_argument("query_token_weights", v[12], Dtype::Float32, 1);
  const auto query = optional_array_argument("query_embedding", v[13], Dtype::Float32, 1);
  const ConstraintsRecord constraints = constraints_argument(v[14]);

  for (const py::array* array : std::initializer_list<const py::array*>{&embeddings, &candidates.token_costs, &candidates.density_scores,
                                 &candidates.centrality_scores, &candidates.recency_scores,
                                 &candidates.auxiliary_scores, &candidates.roles, &candidates.cluster_ids,
                                 &relevance}) {
    require_contiguous(*array);
  }

  // The token costs define the candidates; the embeddings hold one row per
  // candidate (checked after the checks of the other arguments).
  const std::size_t n = element_count(candidates.token_costs);
  const std::size_t d = n == 0 ? 0 : element_count(embeddings) / n;

  if (element_count(relevance) != n) raise_value_error("relevance_scores length must match number of candidates");
  if (similarity && (static_cast<std::size_t>(similarity->shape(0)) != n ||
                     static_cast<std::size_t>(similarity->shape(1)) != n)) {
    raise_value_error("similarity_matrix must have shape (num_candidates, num_candidates)");
  }
  if (fulfilment) {
    require_contiguous(*fulfilment);
    if (element_count(*fulfilment) != n) raise_value_error("fulfilment_scores length must match number of candidates");
  }
  std::size_t query_tokens = 0;
  if (!coverage) {
    if (token_weights) raise_value_error("query_token_weights requires coverage_matrix");
  } else {
    if (static_cast<std::size_t>(coverage->shape(1)) != n) {
      raise_value_error("coverage_matrix must have shape (num_query_tokens, num_candidates)");
    }
    query_tokens = static_cast<std::size_t>(coverage->shape(0));
    if (token_weights) {
      require_contiguous(*token_weights);
      if (element_count(*token_weights) != query_tokens) {
        raise_value_error("query_token_weights must match coverage_matrix rows");
      }
    }
  }
  if (query) {
    require_contiguous(*query);
    if (d > 0 && element_count(*query) != d) {
      raise_value_error("query_embedding length must match embedding dimension");
    }
  }
  require_one_row_per_candidate(embeddings, n);
  candidates.require_candidate_lengths(n);

  ProblemInstance instance;
  instance.embeddings = copy_rows(embeddings);
  instance.query_embedding = query ? copy_contiguous<float>(*query) : std::vector<float>(d, 0.0f);
  instance.relevance_scores = copy_contiguous<float>(relevance);
  instance.fulfilment_scores = fulfilment ? copy_contiguous<float>(*fulfilment) : std::vector<float>(n, 0.0f);
  candidates.copy_into(instance);
  if (coverage) {
    instance.coverage_matrix = copy_rows(*coverage);
    instance.query_token_weights =
        token_weights ? copy_contiguous<float>(*token_weights) : std::vector<float>(query_tokens, 1.0f);
  }
  if (similarity) instance.similarity_matrix = copy_rows(*similarity);
  instance.num_candidates = n;
  instance.embedding_dim = d;
  instance.num_query_tokens = query_tokens;

  return run_driver(solver, instance, constraints.to_core());
}

}  // namespace quarnel::python
