// TabuSearchSolver: a configuration copy, the fixed search values and a
// backend, shared read-only by every solve.
#include <string>

#include "backend/backend.hpp"
#include "search/driver.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/docs.hpp"
#include "python/errors.hpp"
#include "python/solve_paths.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kSolveNumpyDoc =
    "solve_numpy($self, embeddings, query_embedding, token_costs, density_scores, centrality_scores, "
    "recency_scores, auxiliary_scores, roles, cluster_ids, constraints=None)\n--\n\n"
    "Solve the knapsack problem from numpy arrays";

constexpr const char* kSolvePrecomputedDoc =
    "solve_precomputed_numpy($self, embeddings, token_costs, density_scores, centrality_scores, recency_scores, "
    "auxiliary_scores, roles, cluster_ids, relevance_scores, similarity_matrix=None, fulfilment_scores=None, "
    "coverage_matrix=None, query_token_weights=None, query_embedding=None, constraints=None)\n--\n\n"
    "Solve from precomputed relevance, redundancy, and fulfilment tensors.";

constexpr const char* kSolveDoc =
    "solve($self, chunks, query_embedding, constraints=None)\n--\n\nSolve from a list of chunk dictionaries";

SolverObject make_solver(const py::args& args, const py::kwargs& kwargs) {
  const std::vector<py::object> values = parse_arguments("TabuSearchSolver", {{"config", false}}, args, kwargs);
  SolverObject solver;
  if (is_absent(values[0])) {
    solver.settings = SolverSettings::defaults_without_config();
  } else if (py::isinstance<quarnel::SolverConfig>(values[0])) {
    solver.settings = SolverSettings::from_config(values[0].cast<const quarnel::SolverConfig&>());
  } else {
    raise_argument_error("config", "expected SolverConfig or None, got '" + type_name(values[0]) + "'");
  }
  solver.backend = choose_backend(solver.settings.config);
  return solver;
}

std::string backend_kind(const SolverObject& solver) { return std::string(backend_kind_name(solver.backend->kind())); }

}  // namespace

SolveResult SolverObject::solve(const ProblemInstance& instance, const PreparedConstraints& constraints) const {
  return quarnel::solve(settings, *backend, instance, constraints);
}

SolveResult run_driver(const SolverObject& solver, const ProblemInstance& instance,
                       const PreparedConstraints& constraints) {
  const py::gil_scoped_release unlocked;
  return solver.solve(instance, constraints);
}

void register_solver_class(py::module_& m) {
  const std::string doc = signed_doc("TabuSearchSolver", "config=None", "Python-exposed Tabu Search Solver");
  py::class_<SolverObject> cls(m, "TabuSearchSolver", doc.c_str());
  cls.def(py::init(&make_solver), init_doc("config=None").c_str());
  cls.def("backend_kind", &backend_kind, "backend_kind($self)\n--\n\n");
  cls.def("solve_numpy", &solve_numpy, kSolveNumpyDoc);
  cls.def("solve_precomputed_numpy", &solve_precomputed_numpy, kSolvePrecomputedDoc);
  cls.def("solve", &solve_chunks, kSolveDoc);
  cls.def("__repr__", [](const SolverObject& solver) {
    return "TabuSearchSolver(backend='" + backend_kind(solver) + "')";
  });
}

}  // namespace quarnel::python
