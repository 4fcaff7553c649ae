#pragma once
// quarnel._native.gram and quarnel._native.row_dots: the dot products of the
// selection layer on the solver's own dot8 kernels, the same bits on every
// vector path and thread count.
#include <pybind11/pybind11.h>

namespace quarnel::native {

void register_dots(pybind11::module_& m);

}  // namespace quarnel::native
