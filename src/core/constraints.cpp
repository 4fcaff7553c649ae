#include "core/constraints.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quarnel {
namespace {

// Each value once, in first-seen order; a hash set keeps it linear for the
// long id lists callers pass.
std::vector<std::string> unique_in_order(const std::vector<std::string>& values) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(values.size());
  std::vector<std::string> out;
  for (const std::string& v : values)
    if (seen.insert(v).second) out.push_back(v);
  return out;
}

std::vector<Role> unique_in_order(const std::vector<Role>& roles) {
  std::vector<Role> out;
  for (Role role : roles)
    if (std::find(out.begin(), out.end(), role) == out.end()) out.push_back(role);  // at most 9 distinct
  return out;
}

}  // namespace

PreparedConstraints prepare_constraints(const SolverConstraints& constraints, const ProblemInstance& instance) {
  instance.validate();
  const std::size_t n = instance.num_candidates;
  PreparedConstraints p;
  p.max_tokens = constraints.max_tokens;
  p.min_tokens = constraints.min_tokens;
  p.min_chunks = constraints.min_chunks;
  p.max_chunks = constraints.max_chunks;
  p.max_per_cluster = constraints.max_per_cluster;
  p.must_include_roles = unique_in_order(constraints.must_include_roles);
  p.excluded_ids = unique_in_order(constraints.excluded_chunks);
  p.required_ids = unique_in_order(constraints.required_chunks);

  std::unordered_map<std::string_view, std::uint32_t> slot_of_id;
  slot_of_id.reserve(n);
  p.id_slot.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto [it, inserted] = slot_of_id.emplace(instance.chunk_ids[i], static_cast<std::uint32_t>(slot_of_id.size()));
    p.id_slot[i] = it->second;
  }
  p.id_slot_count = slot_of_id.size();

  const std::unordered_set<std::string_view> excluded(p.excluded_ids.begin(), p.excluded_ids.end());
  const std::unordered_set<std::string_view> required(p.required_ids.begin(), p.required_ids.end());
  p.is_excluded.assign(n, 0);
  p.is_required.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (excluded.count(instance.chunk_ids[i])) {
      p.is_excluded[i] = 1;
      p.excluded_indices.push_back(i);
    }
    if (required.count(instance.chunk_ids[i])) {
      p.is_required[i] = 1;
      p.required_indices.push_back(i);
    }
  }
  for (const std::string& id : p.required_ids) {
    auto it = slot_of_id.find(id);
    p.required_id_slots.push_back(it == slot_of_id.end() ? kNoSlot : it->second);
  }

  std::unordered_map<std::int32_t, std::uint32_t> slot_of_cluster;
  p.cluster_slot.assign(n, kNoSlot);
  for (std::size_t i = 0; i < n; ++i) {
    if (!instance.has_cluster(i)) continue;
    auto [it, inserted] = slot_of_cluster.emplace(instance.cluster_ids[i],
                                                  static_cast<std::uint32_t>(p.cluster_id_of_slot.size()));
    if (inserted) p.cluster_id_of_slot.push_back(instance.cluster_ids[i]);
    p.cluster_slot[i] = it->second;
  }
  return p;
}

}  // namespace quarnel
