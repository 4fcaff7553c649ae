// SolverConfig: the caller's solver settings, copied by each TabuSearchSolver.
#include <array>
#include <charconv>
#include <string>

#include "core/config.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/fields.hpp"

namespace quarnel::python {
namespace {

using Config = quarnel::SolverConfig;

constexpr const char* kConfigParameters =
    "alpha=1.0, beta=0.3, gamma=0.2, delta=0.1, epsilon=0.0, mu=1.0, "
    "support_secondary_discount=0.35, support_quorum_bonus=0.18, support_quorum_threshold=0.55, "
    "support_quorum_cap=4, lambda_=0.5, iterations=100, tabu_tenure=10, early_stopping_patience=20, "
    "use_gpu=False, random_seed=None, enable_gpu_move_evaluation=True, enable_path_relinking=True, "
    "enable_destroy_repair=True, enable_reactive_tenure=True, enable_exact_window=True, exact_window_size=14, "
    "exact_window_time_ms=25";

// Constructor parameters and attributes, in signature order.
constexpr std::array<Field<Config>, 23> kConfigFields = {
    field<&Config::alpha, to_f32>("alpha"),
    field<&Config::beta, to_f32>("beta"),
    field<&Config::gamma, to_f32>("gamma"),
    field<&Config::delta, to_f32>("delta"),
    field<&Config::epsilon, to_f32>("epsilon"),
    field<&Config::mu, to_f32>("mu"),
    field<&Config::support_secondary_discount, to_f32>("support_secondary_discount"),
    field<&Config::support_quorum_bonus, to_f32>("support_quorum_bonus"),
    field<&Config::support_quorum_threshold, to_f32>("support_quorum_threshold"),
    field<&Config::support_quorum_cap, to_u64>("support_quorum_cap"),
    field<&Config::lambda, to_f32>("lambda_"),
    field<&Config::iterations, to_u64>("iterations"),
    field<&Config::tabu_tenure, to_u64>("tabu_tenure"),
    field<&Config::early_stopping_patience, to_u64>("early_stopping_patience"),
    field<&Config::use_gpu, to_switch>("use_gpu"),
    field<&Config::random_seed, to_optional_u64>("random_seed"),
    field<&Config::enable_gpu_move_evaluation, to_switch>("enable_gpu_move_evaluation"),
    field<&Config::enable_path_relinking, to_switch>("enable_path_relinking"),
    field<&Config::enable_destroy_repair, to_switch>("enable_destroy_repair"),
    field<&Config::enable_reactive_tenure, to_switch>("enable_reactive_tenure"),
    field<&Config::enable_exact_window, to_switch>("enable_exact_window"),
    field<&Config::exact_window_size, to_u64>("exact_window_size"),
    field<&Config::exact_window_time_ms, to_u64>("exact_window_time_ms"),
};

// The shortest decimal that reads back as the same f32, without exponent and
// without a fractional part for integral values (0.3 -> "0.3", 1 -> "1").
std::string weight_text(float value) {
  char buffer[128];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

std::string config_repr(const Config& c) {
  return "SolverConfig(alpha=" + weight_text(c.alpha) + ", beta=" + weight_text(c.beta) +
         ", gamma=" + weight_text(c.gamma) + ", delta=" + weight_text(c.delta) +
         ", epsilon=" + weight_text(c.epsilon) + ", mu=" + weight_text(c.mu) +
         ", lambda_=" + weight_text(c.lambda) + ", iterations=" + std::to_string(c.iterations) +
         ", use_gpu=" + (c.use_gpu ? "true" : "false") + ")";
}

}  // namespace

void register_config_class(py::module_& m) {
  const std::string doc = signed_doc("SolverConfig", kConfigParameters, "Python-exposed solver configuration");
  py::class_<Config> cls(m, "SolverConfig", doc.c_str());
  cls.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
            return construct_from_arguments<Config>("SolverConfig", kConfigFields, args, kwargs);
          }),
          init_doc(kConfigParameters).c_str());
  for (const Field<Config>& f : kConfigFields) def_writable_attribute(cls, f);
  cls.def("__repr__", &config_repr);
}

}  // namespace quarnel::python
