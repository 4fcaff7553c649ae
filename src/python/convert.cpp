#include "python/convert.hpp"

#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace quarnel::python {
namespace {

// The value as a Python int, through __index__ (so floats are refused).
py::object as_index(py::handle value) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(index);
}

bool is_numpy_bool(py::handle value) {
  const char* name = Py_TYPE(value.ptr())->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

}  // namespace

float to_f32(py::handle value) {
  const double wide = PyFloat_AsDouble(value.ptr());
  if (wide == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<float>(wide);
}

std::uint64_t to_u64(py::handle value) {
  const py::object index = as_index(value);
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.ptr());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

std::uint32_t to_u32(py::handle value) {
  const std::uint64_t wide = to_u64(value);
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    raise_overflow_error("value " + std::to_string(wide) + " is too large for an unsigned 32-bit integer");
  }
  return static_cast<std::uint32_t>(wide);
}

std::int32_t to_i32(py::handle value) {
  const py::object index = as_index(value);
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (wide == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    raise_overflow_error("value " + message_text(index) +
                         " is out of range for a signed 32-bit integer");
  }
  return static_cast<std::int32_t>(wide);
}

bool to_switch(py::handle value) {
  if (value.ptr() == Py_True) return true;
  if (value.ptr() == Py_False) return false;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
  }
  raise_type_error("'" + type_name(value) + "' object cannot be converted to 'bool'");
}

std::optional<std::uint64_t> to_optional_u64(py::handle value) {
  if (value.is_none()) return std::nullopt;
  return to_u64(value);
}

std::string to_text(py::handle value) {
  if (!PyUnicode_Check(value.ptr())) raise_type_error("'" + type_name(value) + "' object cannot be converted to 'str'");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::string> to_text_list(py::handle value) {
  std::vector<std::string> out;
  if (value.is_none()) return out;
  // A str is a sequence of one-character strs; taking it as a list is never what the caller meant.
  if (PyUnicode_Check(value.ptr())) raise_type_error("a str is not accepted as a list of strings");
  if (!PySequence_Check(value.ptr())) {
    raise_type_error("'" + type_name(value) + "' object cannot be converted to a list of strings");
  }
  const py::tuple items = snapshot(value);
  out.reserve(items.size());
  for (const py::handle item : items) out.push_back(to_text(item));
  return out;
}

py::tuple snapshot(py::handle sequence) {
  PyObject* object = sequence.ptr();
  if (PyTuple_Check(object)) return py::reinterpret_borrow<py::tuple>(object);
  if (PyList_Check(object)) {
    PyObject* items = PyList_AsTuple(object);
    if (items == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::tuple>(items);
  }
  // Other sequences by their length and items, not by iteration, which never
  // ends for a __getitem__ that ignores the length.
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) throw py::error_already_set();
  py::tuple items(size);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_GetItem(object, i);
    if (item == nullptr) throw py::error_already_set();
    PyTuple_SET_ITEM(items.ptr(), i, item);
  }
  return items;
}

std::string lower_text(py::handle text) {
  if (!PyUnicode_Check(text.ptr())) raise_type_error("'" + type_name(text) + "' object cannot be converted to 'str'");
  // Unbound str.lower, so that a str subclass cannot substitute its own.
  const py::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  return to_text(str_type.attr("lower")(text));
}

std::string lower_text(const std::string& text) { return lower_text(py::str(text)); }

}  // namespace quarnel::python
