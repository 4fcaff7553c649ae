#include "python/maxsim_bindings.hpp"

namespace quarnel::python {

void register_maxsim_functions(pybind11::module_& m) { (void)m; }

}  // namespace quarnel::python
