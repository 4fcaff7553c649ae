#pragma once
// Constraints as the caller states them, and prepared for one instance:
// chunk-id sets resolved to per-candidate flags and dense slots, so that the
// search's feasibility tests are array lookups instead of hash lookups.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/problem.hpp"
#include "core/role.hpp"

namespace quarnel {

struct SolverConstraints {
  std::uint32_t max_tokens = 8192;
  std::uint32_t min_tokens = 0;
  std::uint64_t min_chunks = 1;
  std::uint64_t max_chunks = 50;
  std::uint64_t max_per_cluster = 3;
  std::vector<Role> must_include_roles;      // duplicates allowed; prepared as a set
  std::vector<std::string> excluded_chunks;  // duplicates allowed; prepared as a set
  std::vector<std::string> required_chunks;
};

inline constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

struct PreparedConstraints {
  std::uint32_t max_tokens = 8192;
  std::uint32_t min_tokens = 0;
  std::uint64_t min_chunks = 1;
  std::uint64_t max_chunks = 50;
  std::uint64_t max_per_cluster = 3;

  // Sets, each value once, in first-seen order (any fixed order is allowed).
  std::vector<Role> must_include_roles;
  std::vector<std::string> excluded_ids;
  std::vector<std::string> required_ids;

  // Per candidate: 1 when its chunk id is in the excluded / required set.
  std::vector<std::uint8_t> is_excluded;
  std::vector<std::uint8_t> is_required;
  std::vector<std::size_t> excluded_indices;  // ascending
  std::vector<std::size_t> required_indices;  // ascending

  // Candidates with equal chunk ids share an id slot.
  std::vector<std::uint32_t> id_slot;
  std::size_t id_slot_count = 0;
  // For each required id: the id slot of the candidates holding it, or kNoSlot.
  std::vector<std::uint32_t> required_id_slots;

  // Dense numbering of the cluster ids present; kNoSlot for candidates without one.
  std::vector<std::uint32_t> cluster_slot;
  std::vector<std::int32_t> cluster_id_of_slot;

  bool role_required(Role role) const {
    for (Role r : must_include_roles)
      if (r == role) return true;
    return false;
  }
};

PreparedConstraints prepare_constraints(const SolverConstraints& constraints, const ProblemInstance& instance);

}  // namespace quarnel
