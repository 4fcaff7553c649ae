#pragma once
// Python exceptions of the module. PanicException reports a violated internal
// precondition; it derives from BaseException so that a broad
// `except Exception` in the caller does not swallow a bug.
#include <pybind11/pybind11.h>

#include <string>

namespace quarnel::python {

namespace py = pybind11;

// Creates PanicException, stores it as m.PanicException and translates C++
// exceptions that escape the core: bad_alloc to MemoryError, everything else
// that is not already a Python error to PanicException.
void register_exceptions(py::module_& m);

// Set the Python error and throw py::error_already_set.
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_overflow_error(const std::string& message);
[[noreturn]] void raise_attribute_error(const std::string& message);

// The Python name of an object's type, for error messages.
std::string type_name(py::handle value);

// str(value) as UTF-8 for an error message. Characters UTF-8 cannot hold (lone
// surrogates) are escaped, and a str() that fails gives the type's name, so
// that building a message never raises an error of its own.
std::string message_text(py::handle value);

}  // namespace quarnel::python
