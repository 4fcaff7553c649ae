// SolverConstraints: limits, required roles and pinned chunk ids for one solve.
#include <array>
#include <span>
#include <string>

#include "core/role.hpp"
#include "python/classes.hpp"
#include "python/constraints_record.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/fields.hpp"
#include "python/pickling.hpp"

namespace quarnel::python {
namespace {

using Record = ConstraintsRecord;

constexpr const char* kConstraintsParameters =
    "max_tokens=8192, min_tokens=0, min_chunks=1, max_chunks=50, max_per_cluster=3, "
    "must_include_roles=None, excluded_chunks=None, required_chunks=None";

// Constructor parameters in signature order; the first five are also attributes.
constexpr std::array<Field<Record>, 8> kConstraintsFields = {
    field<&Record::max_tokens, to_u32>("max_tokens"),
    field<&Record::min_tokens, to_u32>("min_tokens"),
    field<&Record::min_chunks, to_u64>("min_chunks"),
    field<&Record::max_chunks, to_u64>("max_chunks"),
    field<&Record::max_per_cluster, to_u64>("max_per_cluster"),
    field<&Record::must_include_roles, to_text_list>("must_include_roles"),
    field<&Record::excluded_chunks, to_text_list>("excluded_chunks"),
    field<&Record::required_chunks, to_text_list>("required_chunks"),
};
constexpr std::size_t kExposedFields = 5;

std::string constraints_repr(const Record& c) {
  return "SolverConstraints(max_tokens=" + std::to_string(c.max_tokens) +
         ", max_chunks=" + std::to_string(c.max_chunks) + ", max_per_cluster=" + std::to_string(c.max_per_cluster) +
         ")";
}

}  // namespace

quarnel::SolverConstraints ConstraintsRecord::to_core() const {
  quarnel::SolverConstraints core;
  core.max_tokens = max_tokens;
  core.min_tokens = min_tokens;
  core.min_chunks = min_chunks;
  core.max_chunks = max_chunks;
  core.max_per_cluster = max_per_cluster;
  core.must_include_roles.reserve(must_include_roles.size());
  for (const std::string& name : must_include_roles) {
    core.must_include_roles.push_back(role_from_lowercase_text(lower_text(name)));
  }
  core.excluded_chunks = excluded_chunks;
  core.required_chunks = required_chunks;
  return core;
}

ConstraintsRecord constraints_argument(const py::object& value) {
  if (is_absent(value)) return ConstraintsRecord{};
  if (!py::isinstance<Record>(value)) {
    raise_argument_error("constraints", "expected SolverConstraints or None, got '" + type_name(value) + "'");
  }
  return constructed<Record>(value);
}

void register_constraints_class(py::module_& m) {
  const std::string doc = signed_doc("SolverConstraints", kConstraintsParameters, "Python-exposed solver constraints");
  py::class_<Record> cls(m, "SolverConstraints", doc.c_str());
  cls.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
            return construct_from_arguments<Record>("SolverConstraints", kConstraintsFields, args, kwargs);
          }),
          init_doc(kConstraintsParameters).c_str());
  for (const Field<Record>& f : std::span(kConstraintsFields).first(kExposedFields)) def_writable_attribute(cls, f);
  cls.def("__repr__", [](py::handle self) { return constraints_repr(constructed<Record>(self)); });
  // The state holds the three lists too, which are not attributes.
  def_reduce_to_fields(cls, "SolverConstraints", std::span<const Field<Record>>(kConstraintsFields));
}

}  // namespace quarnel::python
