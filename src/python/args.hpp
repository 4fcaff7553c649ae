#pragma once
// Argument parsing for functions bound as (*args, **kwargs), so that missing,
// duplicate, unknown and unconvertible arguments raise a TypeError that names
// the argument (the binding library's default message names none).
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace quarnel::python {

namespace py = pybind11;

struct Param {
  const char* name;
  bool required;
};

// Values in declaration order; an omitted optional argument is a null handle
// (check with `!value` or `value.is_none()` after treating null as None).
std::vector<py::object> parse_arguments(const char* function, std::span<const Param> params,
                                        const py::args& args, const py::kwargs& kwargs);
std::vector<py::object> parse_arguments(const char* function, std::initializer_list<Param> params,
                                        const py::args& args, const py::kwargs& kwargs);

// Raises TypeError "argument 'name': <message>".
[[noreturn]] void raise_argument_error(const char* name, const std::string& message);

// Re-raises a TypeError or OverflowError with "argument 'name': " before its
// message; any other Python error passes unchanged.
[[noreturn]] void rethrow_naming_argument(const char* name, py::error_already_set& error);

// Runs a conversion of argument `name`, naming it in a TypeError or OverflowError.
template <typename Convert>
decltype(auto) convert_argument(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (py::error_already_set& error) {
    rethrow_naming_argument(name, error);
  }
}

// True for a null handle or None.
inline bool is_absent(const py::object& value) { return !value || value.is_none(); }

}  // namespace quarnel::python
