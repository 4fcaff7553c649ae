#pragma once
// quarnel._native.restore: the other half of the pickling of quarnel_solver's
// classes, whose __reduce__ names it (pickle cannot look those classes up by
// name, as their __module__ reads "builtins").
#include <pybind11/pybind11.h>

namespace quarnel::native {

void register_restore(pybind11::module_& m);

}  // namespace quarnel::native
