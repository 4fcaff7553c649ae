#pragma once
// Pickling and copying of the module's classes. Their __module__ reads
// "builtins", where pickle cannot look them up, so an instance reduces to the
// private quarnel._native.restore with its class name and a state that builds
// an equal object: the constructor's arguments, or every field of an output.
#include <pybind11/pybind11.h>

#include <span>

#include "python/fields.hpp"

namespace quarnel::python {

namespace py = pybind11;

// The value of __reduce__: (quarnel._native.restore, (class_name, state)).
py::tuple reduce_to(const char* class_name, const py::tuple& state);

// Every field of a record, in table order.
template <typename Record>
py::tuple field_values(const Record& record, std::span<const Field<Record>> fields) {
  py::tuple values(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) values[i] = fields[i].get(record);
  return values;
}

// Defines __reduce__ on a record class whose state is its field table.
template <typename Record>
void def_reduce_to_fields(py::class_<Record>& cls, const char* class_name, std::span<const Field<Record>> fields) {
  cls.def("__reduce__", [class_name, fields](py::handle self) {
    return reduce_to(class_name, field_values(constructed<Record>(self), fields));
  });
}

}  // namespace quarnel::python
