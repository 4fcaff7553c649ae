// TabuSearchSolver: a configuration copy, the fixed search values and a
// backend, shared read-only by every solve.
#include <string>

#include "backend/backend.hpp"
#include "search/driver.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/docs.hpp"
#include "python/errors.hpp"
#include "python/instances.hpp"
#include "python/pickling.hpp"
#include "python/signal_poll.hpp"
#include "python/solve_paths.hpp"
#include "python/unlocked.hpp"

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
    solver.settings = SolverSettings::from_config(constructed<quarnel::SolverConfig>(values[0]));
  } else {
    raise_argument_error("config", "expected SolverConfig or None, got '" + type_name(values[0]) + "'");
  }
  solver.backend = choose_backend(solver.settings.config);
  return solver;
}

std::string backend_kind(const SolverObject& solver) { return std::string(backend_kind_name(solver.backend->kind())); }

// The constructor's argument: None for a solver made without a configuration,
// whose secondary weights are off although the default configuration's are on.
py::object config_argument(const SolverObject& solver) {
  const SolverSettings& settings = solver.settings;
  if (settings.secondary_weights_active != secondary_weights_active(settings.config)) return py::none();
  return py::cast(settings.config);
}

// A solve method whose self is checked to be a constructed solver.
using SolvePath = SolveResult (*)(const SolverObject&, const py::args&, const py::kwargs&);
template <SolvePath Solve>
SolveResult solve_method(py::handle self, const py::args& args, const py::kwargs& kwargs) {
  return Solve(constructed<SolverObject>(self), args, kwargs);
}

}  // namespace

SolveResult SolverObject::solve(const ProblemInstance& instance, const PreparedConstraints& constraints,
                                const StopCheck& stop) const {
  return quarnel::solve(settings, *backend, instance, constraints, stop);
}

SolveResult run_driver(const SolverObject& solver, const ProblemInstance& instance,
                       const quarnel::SolverConstraints& constraints) {
  SignalPoll poll;
  return run_unlocked([&] {
    const PreparedConstraints prepared = prepare_constraints(constraints, instance);
    return solver.solve(instance, prepared, [&poll] { poll(); });
  });
}

void register_solver_class(py::module_& m) {
  const std::string doc = signed_doc("TabuSearchSolver", "config=None", "Python-exposed Tabu Search Solver");
  py::class_<SolverObject> cls(m, "TabuSearchSolver", doc.c_str());
  cls.def(py::init(&make_solver), init_doc("config=None").c_str());
  cls.def("backend_kind", [](py::handle self) { return backend_kind(constructed<SolverObject>(self)); },
          "backend_kind($self)\n--\n\n");
  cls.def("solve_numpy", &solve_method<solve_numpy>, kSolveNumpyDoc);
  cls.def("solve_precomputed_numpy", &solve_method<solve_precomputed_numpy>, kSolvePrecomputedDoc);
  cls.def("solve", &solve_method<solve_chunks>, kSolveDoc);
  cls.def("__repr__", [](py::handle self) {
    return "TabuSearchSolver(backend='" + backend_kind(constructed<SolverObject>(self)) + "')";
  });
  // Pickled by its configuration; the backend is made anew.
  cls.def("__reduce__", [](py::handle self) {
    return reduce_to("TabuSearchSolver", py::make_tuple(config_argument(constructed<SolverObject>(self))));
  });
}

}  // namespace quarnel::python
