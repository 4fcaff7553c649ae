#pragma once
// Table-driven fields of the record classes: one entry per field gives its
// Python name, how to read it and how to convert and store a new value, so
// that constructors, attributes and to_dict share one definition.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <span>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/instances.hpp"

namespace quarnel::python {

namespace py = pybind11;

template <typename Record>
struct Field {
  const char* name;
  py::object (*get)(const Record&);
  void (*set)(Record&, py::handle);  // null for a field that cannot be assigned
};

template <typename T>
struct member_traits;
template <typename R, typename V>
struct member_traits<V R::*> {
  using record = R;
};

// A field stored in `Member`, converted by `Convert` on assignment.
template <auto Member, auto Convert>
constexpr Field<typename member_traits<decltype(Member)>::record> field(const char* name) {
  using Record = typename member_traits<decltype(Member)>::record;
  return {name, [](const Record& r) -> py::object { return py::cast(r.*Member); },
          [](Record& r, py::handle value) { r.*Member = Convert(value); }};
}

// A field that is only read.
template <auto Member>
constexpr Field<typename member_traits<decltype(Member)>::record> readonly_field(const char* name) {
  using Record = typename member_traits<decltype(Member)>::record;
  return {name, [](const Record& r) -> py::object { return py::cast(r.*Member); }, nullptr};
}

// A read-write attribute whose deletion raises AttributeError "can't delete attribute".
template <typename Record>
void def_writable_attribute(py::class_<Record>& cls, const Field<Record>& f) {
  const auto get = f.get;
  const auto set = f.set;
  py::cpp_function getter([get](py::handle self) { return get(constructed<Record>(self)); }, py::is_method(cls));
  py::cpp_function setter([set](py::handle self, py::handle value) { set(constructed<Record>(self), value); },
                          py::is_method(cls));
  py::cpp_function deleter([](py::handle) { raise_attribute_error("can't delete attribute"); }, py::is_method(cls));
  const py::handle property_type(reinterpret_cast<PyObject*>(&PyProperty_Type));
  cls.attr(f.name) = property_type(getter, setter, deleter);
}

template <typename Record>
void def_readonly_attribute(py::class_<Record>& cls, const Field<Record>& f) {
  const auto get = f.get;
  cls.def_property_readonly(f.name, [get](py::handle self) { return get(constructed<Record>(self)); });
}

// Builds a record from (*args, **kwargs): arguments in field order, each
// converted by its field; a failed conversion names the parameter.
template <typename Record>
Record construct_from_arguments(const char* class_name, std::span<const Field<Record>> fields, const py::args& args,
                                const py::kwargs& kwargs) {
  std::vector<Param> params;
  params.reserve(fields.size());
  for (const Field<Record>& f : fields) params.push_back({f.name, false});
  const std::vector<py::object> values = parse_arguments(class_name, params, args, kwargs);
  Record record;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!values[i]) continue;
    convert_argument(fields[i].name, [&] { fields[i].set(record, values[i]); });
  }
  return record;
}

}  // namespace quarnel::python
