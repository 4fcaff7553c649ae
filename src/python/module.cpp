// The quarnel_solver extension module: classes first, then functions, each
// name appended to __all__ in registration order.
#include <pybind11/pybind11.h>

#include <new>

#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/keyword_names.hpp"
#include "python/main_interpreter.hpp"
#include "python/maxsim_bindings.hpp"
#include "python/unlocked.hpp"

namespace py = pybind11;
namespace qp = quarnel::python;

namespace {

bool no_experimental_backend() { return false; }

ternaryfunc call_bound_class = nullptr;

// pybind11 aborts the process when a class without a bound C++ type is
// called: the common base of the bound classes, or a Python class derived
// from it alone (pickle protocols 0 and 1 call the base). The metaclass's
// call refuses those with TypeError and leaves every other call as it was.
PyObject* call_class(PyObject* type, PyObject* args, PyObject* kwargs) {
  try {
    if (py::detail::all_type_info(reinterpret_cast<PyTypeObject*>(type)).empty()) {
      PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", reinterpret_cast<PyTypeObject*>(type)->tp_name);
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
  return call_bound_class(type, args, kwargs);
}

// The metaclass is shared by every module on the same binding internals;
// patching it twice would make the call recurse.
void guard_class_calls(py::handle bound_class) {
  PyTypeObject* metaclass = Py_TYPE(bound_class.ptr());
  if (metaclass->tp_call == &call_class) return;
  call_bound_class = metaclass->tp_call;
  metaclass->tp_call = &call_class;
}

// Names added to the module since `before` was taken, in insertion order.
void append_new_names(py::module_& m, const py::dict& before, py::list& all) {
  for (auto item : m.attr("__dict__").cast<py::dict>()) {
    if (!before.contains(item.first)) all.append(item.first);
  }
}

}  // namespace

#define PyInit_quarnel_solver quarnel_solver_bound_init
PYBIND11_MODULE(quarnel_solver, m) {
  // Every docstring below starts with its own text signature.
  py::options options;
  options.disable_function_signatures();

  m.doc() = "Python module definition";
  qp::register_exceptions(m);

  py::list all;
  qp::register_config_class(m);
  qp::register_constraints_class(m);
  qp::register_output_class(m);
  qp::register_solver_class(m);
  guard_class_calls(m.attr("SolverConfig"));
  for (const char* name : {"SolverConfig", "SolverConstraints", "SolverOutput", "TabuSearchSolver"}) {
    // The classes present themselves without a module prefix.
    m.attr(name).attr("__module__") = "builtins";
    all.append(name);
  }

  m.def("gpu_available", &no_experimental_backend, "gpu_available()\n--\n\nCheck if GPU is available");
  m.def("cuda_available", &no_experimental_backend, "cuda_available()\n--\n\nCheck if CUDA is available");
  m.def("version", [] { return "0.1.6"; }, "version()\n--\n\nGet library version");
  for (const char* name : {"gpu_available", "cuda_available", "version"}) all.append(name);

  const py::dict before = m.attr("__dict__").cast<py::dict>().attr("copy")();
  qp::register_maxsim_functions(m);
  append_new_names(m, before, all);

  m.attr("__all__") = all;
  qp::guard_keyword_names(m, m.attr("version"));
  // Threads taking the interpreter lock back pass before finalization starts.
  py::module_::import("atexit").attr("register")(py::cpp_function(&qp::close_exit_gate));
}
#undef PyInit_quarnel_solver

extern "C" PYBIND11_EXPORT PyObject* PyInit_quarnel_solver() {
  return qp::in_main_interpreter("quarnel_solver") ? quarnel_solver_bound_init() : nullptr;
}
