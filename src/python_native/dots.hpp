#pragma once
// quarnel._native.gram, cosines and unit_rows: the selection layer's vector
// arithmetic in a fixed order, the same bits on every vector path and thread
// count. gram runs on the solver's own dot8 tile kernel.
#include <pybind11/pybind11.h>

namespace quarnel::native {

void register_dots(pybind11::module_& m);

}  // namespace quarnel::native
