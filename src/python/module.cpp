#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(quarnel_solver, m) {
  m.doc() = "Python module definition";
  m.def("version", [] { return "0.1.6"; });
}
