#include "python_native/restore.hpp"

#include <pybind11/stl.h>

#include <string>

#include "core/output.hpp"

namespace py = pybind11;

namespace quarnel::native {
namespace {

constexpr std::size_t kOutputFieldCount = 23;

// Field by field, in the order of SolverOutput.to_dict.
SolveResult output_from_state(const py::tuple& state) {
  if (state.size() != kOutputFieldCount) throw py::type_error("a SolverOutput state holds 23 values");
  SolveResult r;
  std::size_t k = 0;
  const auto next = [&](auto& field) { field = state[k++].cast<std::remove_reference_t<decltype(field)>>(); };
  next(r.selected_indices);
  next(r.objective_score);
  next(r.relevance_total);
  next(r.density_total);
  next(r.centrality_total);
  next(r.recency_total);
  next(r.auxiliary_total);
  next(r.fulfilment_total);
  next(r.redundancy_penalty);
  next(r.total_tokens);
  next(r.num_selected);
  next(r.iterations_run);
  next(r.best_iteration);
  next(r.constraints_satisfied);
  next(r.constraint_violations);
  next(r.solve_time_ms);
  next(r.exact_window_used);
  next(r.exact_window_core_size);
  next(r.exact_window_nodes);
  next(r.exact_window_exhaustive);
  next(r.exact_window_gap);
  next(r.exact_window_fixed_in);
  next(r.exact_window_fixed_out);
  return r;
}

// An object equal to the one pickled: the constructor called with the state,
// or for an output the record rebuilt field by field.
py::object restore(const std::string& class_name, const py::tuple& state) {
  const py::module_ solver_module = py::module_::import("quarnel_solver");
  if (class_name == "SolverOutput") {
    try {
      return py::cast(output_from_state(state));
    } catch (const py::cast_error&) {
      throw py::type_error("a SolverOutput state holds values of another type");
    }
  }
  if (class_name == "SolverConfig" || class_name == "SolverConstraints" || class_name == "TabuSearchSolver")
    return solver_module.attr(class_name.c_str())(*state);
  throw py::value_error("quarnel_solver has no picklable class " + class_name);
}

}  // namespace

void register_restore(py::module_& m) {
  m.def("restore", &restore, py::arg("class_name"), py::arg("state"),
        "An instance of a quarnel_solver class from the state its __reduce__ gave");
}

}  // namespace quarnel::native
