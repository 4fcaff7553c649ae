#pragma once
// Rhetorical role of a chunk: a signed 8-bit code with a display name.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarnel {

enum class Role : std::int8_t {
  Unknown = -1,
  Definition = 0,
  Example = 1,
  Evidence = 2,
  Conclusion = 3,
  Risk = 4,
  Constraint = 5,
  DataTable = 6,
  Procedure = 7,
};

// Number of role values, Unknown included; role_slot() maps a role to 0..kRoleCount-1.
inline constexpr std::size_t kRoleCount = 9;

constexpr std::size_t role_slot(Role role) { return static_cast<std::size_t>(static_cast<int>(role) + 1); }
constexpr std::int8_t role_code(Role role) { return static_cast<std::int8_t>(role); }

std::string_view role_name(Role role);

// A byte from a roles array: 0..7 name a role, every other value is Unknown.
Role role_from_byte(std::uint8_t code);

// Matches already lower-cased text (the caller applies full Unicode lower-casing).
Role role_from_lowercase_text(std::string_view lowered);

}  // namespace quarnel
