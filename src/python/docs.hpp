#pragma once
// Raw docstrings that start with a text signature, "name(parameters)\n--\n\n",
// which Python shows as __text_signature__ while __doc__ keeps the rest.
#include <string>

namespace quarnel::python {

inline std::string signed_doc(const std::string& name, const std::string& parameters, const std::string& doc) {
  return name + "(" + parameters + ")\n--\n\n" + doc;
}

// The constructor's own signature, so that inspect.signature(cls) shows the
// parameters. A plain `self`: inspect drops the first parameter of __init__ itself.
inline std::string init_doc(const std::string& parameters) {
  return signed_doc("__init__", parameters.empty() ? "self" : "self, " + parameters, "");
}

}  // namespace quarnel::python
