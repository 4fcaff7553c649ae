#pragma once
// The C++ value behind an instance of a bound class. `Class.__new__(Class)`
// makes an instance whose constructor never ran and whose storage holds
// garbage, so methods take `self` as a handle and reach the value only
// through `constructed`, which refuses such an instance with TypeError.
#include <pybind11/pybind11.h>

#include <string>

#include "python/errors.hpp"

namespace quarnel::python {

namespace py = pybind11;

template <typename T>
T& constructed(py::handle self) {
  const py::handle cls = py::type::of<T>();
  if (!py::isinstance(self, cls)) {
    raise_type_error("expected a " + message_text(cls.attr("__name__")) + " object, got '" + type_name(self) + "'");
  }
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  const py::detail::value_and_holder held = instance->get_value_and_holder(py::detail::get_type_info(typeid(T)));
  if (!held.holder_constructed()) {
    raise_type_error(type_name(self) + " object is not initialised: it was made by __new__ without its constructor");
  }
  return *held.value_ptr<T>();
}

}  // namespace quarnel::python
