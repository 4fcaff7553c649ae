// SolverOutput: the read-only result of one solve.
#include <array>
#include <charconv>
#include <string>

#include "core/output.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/fields.hpp"
#include "python/pickling.hpp"

namespace quarnel::python {
namespace {

using Result = quarnel::SolveResult;

// Attributes and to_dict keys, in this order.
constexpr std::array<Field<Result>, 23> kOutputFields = {
    readonly_field<&Result::selected_indices>("selected_indices"),
    readonly_field<&Result::objective_score>("objective_score"),
    readonly_field<&Result::relevance_total>("relevance_total"),
    readonly_field<&Result::density_total>("density_total"),
    readonly_field<&Result::centrality_total>("centrality_total"),
    readonly_field<&Result::recency_total>("recency_total"),
    readonly_field<&Result::auxiliary_total>("auxiliary_total"),
    readonly_field<&Result::fulfilment_total>("fulfilment_total"),
    readonly_field<&Result::redundancy_penalty>("redundancy_penalty"),
    readonly_field<&Result::total_tokens>("total_tokens"),
    readonly_field<&Result::num_selected>("num_selected"),
    readonly_field<&Result::iterations_run>("iterations_run"),
    readonly_field<&Result::best_iteration>("best_iteration"),
    readonly_field<&Result::constraints_satisfied>("constraints_satisfied"),
    readonly_field<&Result::constraint_violations>("constraint_violations"),
    readonly_field<&Result::solve_time_ms>("solve_time_ms"),
    readonly_field<&Result::exact_window_used>("exact_window_used"),
    readonly_field<&Result::exact_window_core_size>("exact_window_core_size"),
    readonly_field<&Result::exact_window_nodes>("exact_window_nodes"),
    readonly_field<&Result::exact_window_exhaustive>("exact_window_exhaustive"),
    readonly_field<&Result::exact_window_gap>("exact_window_gap"),
    readonly_field<&Result::exact_window_fixed_in>("exact_window_fixed_in"),
    readonly_field<&Result::exact_window_fixed_out>("exact_window_fixed_out"),
};

py::dict output_to_dict(py::handle self) {
  const Result& result = constructed<Result>(self);
  py::dict out;
  for (const Field<Result>& f : kOutputFields) out[f.name] = f.get(result);
  return out;
}

// Fixed-point text with `digits` decimals; room for the largest double.
std::string fixed_text(double value, int digits) {
  char buffer[400];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
  return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

std::string output_repr(const Result& r) {
  return "SolverOutput(selected=" + std::to_string(r.num_selected) + ", score=" + fixed_text(r.objective_score, 4) +
         ", tokens=" + std::to_string(r.total_tokens) + ", time=" + fixed_text(r.solve_time_ms, 2) + "ms)";
}

}  // namespace

void register_output_class(py::module_& m) {
  py::class_<Result> cls(m, "SolverOutput", "Python-exposed solver output");
  // Outputs come only from the solve methods.
  cls.def(py::init([](const py::args&, const py::kwargs&) -> Result {
    raise_type_error("No constructor defined for SolverOutput");
  }));
  for (const Field<Result>& f : kOutputFields) def_readonly_attribute(cls, f);
  cls.def("to_dict", &output_to_dict, "to_dict($self)\n--\n\n");
  cls.def("__repr__", [](py::handle self) { return output_repr(constructed<Result>(self)); });
  def_reduce_to_fields(cls, "SolverOutput", std::span<const Field<Result>>(kOutputFields));
}

}  // namespace quarnel::python
