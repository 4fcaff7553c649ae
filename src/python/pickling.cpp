#include "python/pickling.hpp"

namespace quarnel::python {

py::tuple reduce_to(const char* class_name, const py::tuple& state) {
  const py::object restore = py::module_::import("quarnel._native").attr("restore");
  return py::make_tuple(restore, py::make_tuple(class_name, state));
}

}  // namespace quarnel::python
