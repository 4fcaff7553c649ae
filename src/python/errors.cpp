#include "python/errors.hpp"

#include <exception>
#include <new>

#include "core/panic.hpp"

namespace quarnel::python {
namespace {

// Created once at module initialisation and kept for the life of the process.
PyObject* panic_exception_type = nullptr;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

void translate_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const py::builtin_exception&) {
    throw;  // pybind11's own Python errors (TypeError and friends)
  } catch (const InternalError& e) {
    PyErr_SetString(panic_exception_type, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception_type, e.what());
  } catch (...) {
    PyErr_SetString(panic_exception_type, "unknown internal error");
  }
}

}  // namespace

void register_exceptions(py::module_& m) {
  panic_exception_type = PyErr_NewExceptionWithDoc(
      "quarnel_solver.PanicException", "An internal precondition of the solver was violated.",
      PyExc_BaseException, nullptr);
  if (panic_exception_type == nullptr) throw py::error_already_set();
  m.attr("PanicException") = py::reinterpret_borrow<py::object>(panic_exception_type);
  py::register_local_exception_translator(translate_exception);
}

void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
void raise_overflow_error(const std::string& message) { raise(PyExc_OverflowError, message); }
void raise_attribute_error(const std::string& message) { raise(PyExc_AttributeError, message); }

std::string type_name(py::handle value) {
  return message_text(py::type::handle_of(value).attr("__name__"));
}

std::string message_text(py::handle value) {
  PyObject* text = PyObject_Str(value.ptr());
  PyObject* bytes = text ? PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace") : nullptr;
  Py_XDECREF(text);
  if (bytes == nullptr) {
    PyErr_Clear();
    return "<" + std::string(Py_TYPE(value.ptr())->tp_name) + " object>";
  }
  std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return out;
}

}  // namespace quarnel::python
