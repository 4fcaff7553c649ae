#include "python/args.hpp"

#include "python/errors.hpp"

namespace quarnel::python {
namespace {

// A keyword's name as UTF-8. A name UTF-8 cannot hold (a lone surrogate)
// names no parameter.
std::string keyword_name(const char* function, py::handle key) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    raise_type_error(std::string(function) + "() got an unexpected keyword argument '" + message_text(key) +
                     "' (not valid UTF-8)");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::vector<py::object> parse_arguments(const char* function, std::span<const Param> params,
                                        const py::args& args, const py::kwargs& kwargs) {
  const std::size_t count = params.size();
  if (args.size() > count) {
    throw py::type_error(std::string(function) + "() takes at most " + std::to_string(count) +
                         " arguments (" + std::to_string(args.size()) + " given)");
  }
  std::vector<py::object> values(count);
  for (std::size_t i = 0; i < args.size(); ++i) values[i] = py::reinterpret_borrow<py::object>(args[i]);

  for (auto item : kwargs) {
    const std::string key = keyword_name(function, item.first);
    std::size_t index = 0;
    for (const Param& param : params) {
      if (key == param.name) break;
      ++index;
    }
    if (index == count) {
      throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" + key + "'");
    }
    if (values[index]) {
      throw py::type_error(std::string(function) + "() got multiple values for argument '" + key + "'");
    }
    values[index] = py::reinterpret_borrow<py::object>(item.second);
  }

  std::size_t index = 0;
  for (const Param& param : params) {
    if (param.required && !values[index]) {
      throw py::type_error(std::string(function) + "() missing required argument '" + param.name + "' (pos " +
                           std::to_string(index + 1) + ")");
    }
    ++index;
  }
  return values;
}

std::vector<py::object> parse_arguments(const char* function, std::initializer_list<Param> params,
                                        const py::args& args, const py::kwargs& kwargs) {
  return parse_arguments(function, std::span<const Param>(params.begin(), params.size()), args, kwargs);
}

void raise_argument_error(const char* name, const std::string& message) {
  throw py::type_error(std::string("argument '") + name + "': " + message);
}

void rethrow_naming_argument(const char* name, py::error_already_set& error) {
  const bool overflow = error.matches(PyExc_OverflowError);
  if (!overflow && !error.matches(PyExc_TypeError)) throw;
  const std::string message = std::string("argument '") + name + "': " + message_text(error.value());
  if (overflow) raise_overflow_error(message);
  raise_type_error(message);
}

}  // namespace quarnel::python
