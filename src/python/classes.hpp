#pragma once
// Registration of the module's four classes, in the order the module lists them.
#include <pybind11/pybind11.h>

namespace quarnel::python {

namespace py = pybind11;

void register_config_class(py::module_& m);
void register_constraints_class(py::module_& m);
void register_output_class(py::module_& m);
void register_solver_class(py::module_& m);

}  // namespace quarnel::python
