#pragma once
// The record behind the Python SolverConstraints: limits and lists as the
// caller gave them. Role names stay text until a solve turns them into roles.
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/constraints.hpp"

namespace quarnel::python {

struct ConstraintsRecord {
  std::uint32_t max_tokens = 8192;
  std::uint32_t min_tokens = 0;
  std::uint64_t min_chunks = 1;
  std::uint64_t max_chunks = 50;
  std::uint64_t max_per_cluster = 3;
  std::vector<std::string> must_include_roles;
  std::vector<std::string> excluded_chunks;
  std::vector<std::string> required_chunks;

  // The solver's record: role names lower-cased with Python's str.lower()
  // and parsed. Needs the interpreter lock.
  quarnel::SolverConstraints to_core() const;
};

// The `constraints` argument of a solve: a copy of the given SolverConstraints,
// the defaults for None or an omitted argument, TypeError naming it otherwise.
ConstraintsRecord constraints_argument(const pybind11::object& value);

}  // namespace quarnel::python
