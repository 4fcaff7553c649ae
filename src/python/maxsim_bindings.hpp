#pragma once
// Python bindings of the MaxSim scorers: compute_max_sim_batch (quantised
// codes) and compute_max_sim_batch_f32 (float32 token vectors).
#include <pybind11/pybind11.h>

namespace quarnel::python {

void register_maxsim_functions(pybind11::module_& m);

}  // namespace quarnel::python
