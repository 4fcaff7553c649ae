// The layer hands over arrays it has already converted and checked (C order,
// the solver's dtypes); what arrives otherwise is cast, and a wrong shape is a
// ValueError naming the argument. The solver object supplies the
// configuration and backend; warm starts and the node limit apply to this
// call only, so the public solver keeps its behaviour.
#include "python_native/solve_binding.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "core/constraints.hpp"
#include "core/role.hpp"
#include "python/constraints_record.hpp"
#include "python/signal_poll.hpp"
#include "python/solver_object.hpp"
#include "python/unlocked.hpp"
#include "search/driver.hpp"

namespace py = pybind11;

namespace quarnel::native {
namespace {

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
std::vector<T> values(const py::object& value, const char* name, py::ssize_t ndim, std::size_t count) {
  const Array<T> array = Array<T>::ensure(value);
  if (!array || array.ndim() != ndim || static_cast<std::size_t>(array.size()) != count)
    throw py::value_error(std::string(name) + " has the wrong shape");
  return std::vector<T>(array.data(), array.data() + count);
}

template <typename T>
std::optional<std::vector<T>> optional_values(const py::object& value, const char* name, py::ssize_t ndim,
                                              std::size_t count) {
  if (value.is_none()) return std::nullopt;
  return values<T>(value, name, ndim, count);
}

// The caller's constraints in the solver's terms, role names lower-cased as
// Python lower-cases them.
quarnel::SolverConstraints core_constraints(const py::object& value) {
  if (value.is_none()) return {};
  const auto& record = value.cast<const python::ConstraintsRecord&>();
  quarnel::SolverConstraints core;
  core.max_tokens = record.max_tokens;
  core.min_tokens = record.min_tokens;
  core.min_chunks = record.min_chunks;
  core.max_chunks = record.max_chunks;
  core.max_per_cluster = record.max_per_cluster;
  for (const std::string& name : record.must_include_roles)
    core.must_include_roles.push_back(role_from_lowercase_text(py::str(name).attr("lower")().cast<std::string>()));
  core.excluded_chunks = record.excluded_chunks;
  core.required_chunks = record.required_chunks;
  return core;
}

std::vector<SelectionMask> start_masks(const py::iterable& starts, std::size_t n) {
  std::vector<SelectionMask> masks;
  for (const py::handle start : starts) {
    SelectionMask mask(n, 0);
    for (const py::handle index : start) {
      const auto k = index.cast<std::int64_t>();
      if (k < 0 || static_cast<std::size_t>(k) >= n)
        throw py::value_error("warm_starts hold a candidate index out of range: " + std::to_string(k));
      mask[static_cast<std::size_t>(k)] = 1;
    }
    masks.push_back(std::move(mask));
  }
  return masks;
}

SolveResult solve(const py::object& solver_object, const py::object& embeddings, const py::object& token_costs,
                  const py::object& density, const py::object& centrality, const py::object& recency,
                  const py::object& auxiliary, const py::object& roles, const py::object& cluster_ids,
                  const py::object& relevance, const py::object& similarity, const py::object& coverage,
                  const py::object& token_weights, const py::object& constraints, const py::iterable& warm_starts,
                  std::optional<std::uint64_t> exact_window_nodes) {
  const auto& solver = solver_object.cast<const python::SolverObject&>();
  const Array<float> rows = Array<float>::ensure(embeddings);
  if (!rows || rows.ndim() != 2) throw py::value_error("embeddings must be a 2-D array");
  const auto n = static_cast<std::size_t>(rows.shape(0)), dim = static_cast<std::size_t>(rows.shape(1));

  ProblemInstance instance;
  instance.num_candidates = n;
  instance.embedding_dim = dim;
  instance.embeddings.assign(rows.data(), rows.data() + n * dim);
  instance.query_embedding.assign(dim, 0.0f);
  instance.token_costs = values<std::uint32_t>(token_costs, "token_costs", 1, n);
  instance.density_scores = values<float>(density, "density_scores", 1, n);
  instance.centrality_scores = values<float>(centrality, "centrality_scores", 1, n);
  instance.recency_scores = values<float>(recency, "recency_scores", 1, n);
  instance.auxiliary_scores = values<float>(auxiliary, "auxiliary_scores", 1, n);
  instance.fulfilment_scores.assign(n, 0.0f);
  for (const std::uint8_t code : values<std::uint8_t>(roles, "roles", 1, n)) instance.roles.push_back(role_from_byte(code));
  instance.cluster_ids = values<std::int32_t>(cluster_ids, "cluster_ids", 1, n);
  for (std::int32_t& id : instance.cluster_ids)
    if (id < 0) id = kNoCluster;
  instance.relevance_scores = values<float>(relevance, "relevance_scores", 1, n);
  instance.similarity_matrix = optional_values<float>(similarity, "similarity_matrix", 2, n * n);
  if (!coverage.is_none()) {
    const Array<float> cover = Array<float>::ensure(coverage);
    if (!cover || cover.ndim() != 2 || static_cast<std::size_t>(cover.shape(1)) != n)
      throw py::value_error("coverage_matrix must have shape (query tokens, candidates)");
    instance.num_query_tokens = static_cast<std::size_t>(cover.shape(0));
    instance.coverage_matrix.emplace(cover.data(), cover.data() + cover.size());
    instance.query_token_weights = optional_values<float>(token_weights, "query_token_weights", 1,
                                                          instance.num_query_tokens);
    if (!instance.query_token_weights) instance.query_token_weights.emplace(instance.num_query_tokens, 1.0f);
  } else if (!token_weights.is_none()) {
    throw py::value_error("query_token_weights requires coverage_matrix");
  }
  instance.chunk_ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) instance.chunk_ids.push_back("chunk_" + std::to_string(i));
  const quarnel::SolverConstraints limits = core_constraints(constraints);
  const std::vector<SelectionMask> starts = start_masks(warm_starts, n);

  SolverSettings settings = solver.settings;
  settings.exact_window_node_limit = exact_window_nodes;
  python::SignalPoll poll;
  return python::run_unlocked([&] {
    const PreparedConstraints prepared = prepare_constraints(limits, instance);
    return solve_with_starts(settings, *solver.backend, instance, prepared, starts, [&poll] { poll(); });
  });
}

}  // namespace

void register_solve(py::module_& m) {
  m.def("solve", &solve, py::arg("solver"), py::kw_only(), py::arg("embeddings"), py::arg("token_costs"),
        py::arg("density_scores"), py::arg("centrality_scores"), py::arg("recency_scores"),
        py::arg("auxiliary_scores"), py::arg("roles"), py::arg("cluster_ids"), py::arg("relevance_scores"),
        py::arg("similarity_matrix") = py::none(), py::arg("coverage_matrix") = py::none(),
        py::arg("query_token_weights") = py::none(), py::arg("constraints") = py::none(),
        py::arg("warm_starts") = py::tuple(), py::arg("exact_window_nodes") = py::none(),
        "TabuSearchSolver.solve_precomputed_numpy with start selections (lists of candidate positions), "
        "never returning less than the best feasible one, and an optional node limit for the exact window "
        "in place of its time limit");
}

}  // namespace quarnel::native
