#include <gtest/gtest.h>

#include "core/role.hpp"

namespace quarnel {

TEST(Role, NamesAndParsing) {
  EXPECT_EQ(role_name(Role::Unknown), "Unknown");
  EXPECT_EQ(role_name(Role::DataTable), "DataTable");
  EXPECT_EQ(role_from_lowercase_text("data_table"), Role::DataTable);
  EXPECT_EQ(role_from_lowercase_text("table"), Role::DataTable);
  EXPECT_EQ(role_from_lowercase_text("risk"), Role::Risk);
  EXPECT_EQ(role_from_lowercase_text("defintion"), Role::Unknown);
  EXPECT_EQ(role_from_lowercase_text(""), Role::Unknown);
  EXPECT_EQ(role_from_byte(7), Role::Procedure);
  EXPECT_EQ(role_from_byte(9), Role::Unknown);
}

}  // namespace quarnel
