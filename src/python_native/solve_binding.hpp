#pragma once
// quarnel._native.solve: the selection layer's solve, which also takes start
// selections and an optional node limit for the exact window.
#include <pybind11/pybind11.h>

namespace quarnel::native {

void register_solve(pybind11::module_& m);

}  // namespace quarnel::native
