#pragma once
// pybind11 aborts the process when it cannot match a call that passes a
// keyword whose name UTF-8 cannot hold (a lone surrogate, as in
// f(**{"\ud800": 1})): the message it builds converts the name without
// catching the failure. guard_keyword_names puts a front before every bound
// function of a module and of its classes (methods, properties and pybind11's
// own) that refuses such a call with TypeError first. Header-only: both
// extension modules use it, each with its own copy of the binding library.
#include <pybind11/pybind11.h>

#include <cstddef>


namespace quarnel::python {
namespace keyword_names {

namespace py = pybind11;

// How CPython calls a METH_FASTCALL | METH_KEYWORDS function, and how the
// binding library declares its dispatcher, which every bound function of this
// module shares.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using Dispatch = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

inline Dispatch bound_dispatch = nullptr;

inline bool refuses_name(PyObject* self, PyObject* name) {
  if (PyUnicode_AsUTF8AndSize(name, nullptr) != nullptr) return false;
  PyErr_Clear();
  const py::detail::function_record* record = py::detail::function_record_ptr_from_PyObject(self);
  PyObject* escaped = PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace");
  if (escaped == nullptr) return true;
  // Property accessors have no name of their own.
  const bool named = record != nullptr && record->name != nullptr && *record->name != '\0';
  PyErr_Format(PyExc_TypeError, "%s%s got an unexpected keyword argument '%s' (not valid UTF-8)",
               named ? record->name : "a property accessor", named ? "()" : "", PyBytes_AS_STRING(escaped));
  Py_DECREF(escaped);
  return true;
}

inline PyObject* front(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t names = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < names; ++i)
    if (refuses_name(self, PyTuple_GET_ITEM(kwnames, i))) return nullptr;
  return bound_dispatch(self, args, static_cast<std::size_t>(nargsf), kwnames);
}

inline void guard(py::handle callable) {
  const py::handle function = py::detail::get_function(callable);
  if (!function || !PyCFunction_Check(function.ptr())) return;
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
  const auto meth = reinterpret_cast<Dispatch>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (meth != bound_dispatch || def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) return;
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(static_cast<FastCall>(&front)));
}

inline void guard_class(py::handle cls) {
  const auto attributes = py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict);
  for (const auto item : attributes) {
    const py::handle value = item.second;
    if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
      for (const char* accessor : {"fget", "fset", "fdel"}) guard(value.attr(accessor));
    } else {
      guard(value);
    }
  }
}

}  // namespace keyword_names

// Guards the module's functions and the methods and properties of its
// classes; `any_function` is one of its bound functions, which shows the
// binding library's dispatcher.
inline void guard_keyword_names(pybind11::module_& m, pybind11::handle any_function) {
  namespace kn = keyword_names;
  const pybind11::handle function = pybind11::detail::get_function(any_function);
  const auto dispatch =
      reinterpret_cast<kn::Dispatch>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(function.ptr())));
  if (reinterpret_cast<void (*)()>(dispatch) == reinterpret_cast<void (*)()>(static_cast<kn::FastCall>(&kn::front)))
    return;  // guarded already
  kn::bound_dispatch = dispatch;
  for (const auto item : pybind11::reinterpret_borrow<pybind11::dict>(m.attr("__dict__"))) {
    if (PyType_Check(item.second.ptr())) kn::guard_class(item.second);
    else kn::guard(item.second);
  }
}

}  // namespace quarnel::python
