// SolverConfig: the caller's solver settings, copied by each TabuSearchSolver.
#include <array>
#include <charconv>
#include <string>
#include <string_view>

#include "core/config.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/fields.hpp"
#include "python/pickling.hpp"

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

// The shortest decimal that reads back as the same f32, written out without
// exponent and without a fractional part for integral values (0.3 -> "0.3",
// 1 -> "1", 1e20f -> "100000000000000000000"). Fixed-format to_chars would
// print the exact value of large floats instead of their shortest digits.
std::string weight_text(float value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) return "?";
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  if (e == std::string_view::npos) return std::string(text);  // inf, nan

  std::string sign;
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c == '-') sign = "-";
    else if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);
  // Digits before the decimal point.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  if (point >= count) return sign + digits + std::string(static_cast<std::size_t>(point - count), '0');
  return sign + digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
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
  cls.def("__repr__", [](py::handle self) { return config_repr(constructed<Config>(self)); });
  def_reduce_to_fields(cls, "SolverConfig", std::span<const Field<Config>>(kConfigFields));
}

}  // namespace quarnel::python
