#include "core/role.hpp"

#include <array>

namespace quarnel {

std::string_view role_name(Role role) {
  static constexpr std::array<std::string_view, kRoleCount> kNames = {
      "Unknown", "Definition", "Example",   "Evidence", "Conclusion",
      "Risk",    "Constraint", "DataTable", "Procedure"};
  return kNames[role_slot(role)];
}

Role role_from_byte(std::uint8_t code) {
  return code <= 7 ? static_cast<Role>(code) : Role::Unknown;
}

Role role_from_lowercase_text(std::string_view lowered) {
  if (lowered == "definition") return Role::Definition;
  if (lowered == "example") return Role::Example;
  if (lowered == "evidence") return Role::Evidence;
  if (lowered == "conclusion") return Role::Conclusion;
  if (lowered == "risk") return Role::Risk;
  if (lowered == "constraint") return Role::Constraint;
  if (lowered == "datatable" || lowered == "data_table" || lowered == "table") return Role::DataTable;
  if (lowered == "procedure") return Role::Procedure;
  return Role::Unknown;
}

}  // namespace quarnel
