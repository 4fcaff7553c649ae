#pragma once
// The extension modules keep process-wide state (binding internals, the
// worker pool, exception classes) and take the GIL through PyGILState, which
// knows only the main interpreter: in a sub-interpreter, pybind11's module
// init would wait for ever for the GIL its own thread holds. Each module's
// entry point checks first, and pybind11's own runs under another name:
//
//   #define PyInit_name name_bound_init
//   PYBIND11_MODULE(name, m) { ... }
//   #undef PyInit_name
//   extern "C" PYBIND11_EXPORT PyObject* PyInit_name() {
//     return in_main_interpreter("name") ? name_bound_init() : nullptr;
//   }
#include <Python.h>

namespace quarnel::python {

// False, with ImportError set, in a sub-interpreter. Reads only the
// current thread state, never the GIL state.
inline bool in_main_interpreter(const char* module) {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
  PyErr_Format(PyExc_ImportError, "%s supports only the main interpreter, not a sub-interpreter", module);
  return false;
}

}  // namespace quarnel::python
