#include "core/constraint_check.hpp"

#include <string>

#include "core/panic.hpp"

namespace quarnel {
namespace {

// The constraints must have been prepared for this instance: every per-candidate
// table the checks index has one entry per candidate.
void check_prepared_for(const PreparedConstraints& constraints, const ProblemInstance& instance) {
  const std::size_t n = instance.num_candidates;
  require(constraints.id_slot.size() == n && constraints.cluster_slot.size() == n &&
              constraints.is_excluded.size() == n && constraints.is_required.size() == n,
          "constraints were prepared for another instance");
  require(instance.token_costs.size() == n && instance.roles.size() == n && instance.chunk_ids.size() == n,
          "instance sequences do not match the candidate count");
}

// The checks below read these tables at index i.
void check_candidate(std::size_t i, const PreparedConstraints& constraints, const ProblemInstance& instance) {
  check_index(i, instance.token_costs.size(), "candidate token cost");
  check_index(i, instance.roles.size(), "candidate role");
  check_index(i, constraints.id_slot.size(), "candidate id slot");
  check_index(i, constraints.cluster_slot.size(), "candidate cluster slot");
  check_index(i, constraints.is_excluded.size(), "candidate exclusion flag");
  check_index(i, constraints.is_required.size(), "candidate requirement flag");
}

std::size_t checked_role_slot(Role role) {
  const std::size_t slot = role_slot(role);
  check_index(slot, kRoleCount, "role");
  return slot;
}

std::uint64_t decrement_to_zero(std::uint64_t value) { return value == 0 ? 0 : value - 1; }

Violation violation_of(ViolationKind kind) {
  Violation v{};
  v.kind = kind;
  return v;
}

Violation make_violation(ViolationKind kind, std::uint64_t first, std::uint64_t second, std::uint64_t third = 0) {
  Violation v = violation_of(kind);
  v.first = first;
  v.second = second;
  v.third = third;
  return v;
}

}  // namespace

SelectionState SelectionState::from_mask(const SelectionMask& mask, const ProblemInstance& instance,
                                         const PreparedConstraints& constraints) {
  check_prepared_for(constraints, instance);
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");
  SelectionState state;
  state.cluster_counts.assign(constraints.cluster_id_of_slot.size(), 0);
  state.id_counts.assign(constraints.id_slot_count, 0);
  for (std::size_t i = 0; i < n; ++i)
    if (mask[i] != 0) state.add(i, instance, constraints);
  return state;
}

void SelectionState::add(std::size_t i, const ProblemInstance& instance, const PreparedConstraints& constraints) {
  check_candidate(i, constraints, instance);
  total_tokens += instance.token_costs[i];
  exact_tokens += instance.token_costs[i];
  ++count;
  ++role_counts[checked_role_slot(instance.roles[i])];
  const std::uint32_t cluster = constraints.cluster_slot[i];
  if (cluster != kNoSlot) {
    check_index(cluster, cluster_counts.size(), "cluster slot");
    ++cluster_counts[cluster];
  }
  const std::uint32_t id = constraints.id_slot[i];
  check_index(id, id_counts.size(), "chunk id slot");
  ++id_counts[id];
}

void SelectionState::remove(std::size_t i, const ProblemInstance& instance, const PreparedConstraints& constraints) {
  check_candidate(i, constraints, instance);
  total_tokens -= instance.token_costs[i];
  exact_tokens = exact_tokens >= instance.token_costs[i] ? exact_tokens - instance.token_costs[i] : 0;
  count = decrement_to_zero(count);
  std::uint64_t& role = role_counts[checked_role_slot(instance.roles[i])];
  role = decrement_to_zero(role);
  const std::uint32_t cluster = constraints.cluster_slot[i];
  if (cluster != kNoSlot) {
    check_index(cluster, cluster_counts.size(), "cluster slot");
    cluster_counts[cluster] = decrement_to_zero(cluster_counts[cluster]);
  }
  const std::uint32_t id = constraints.id_slot[i];
  check_index(id, id_counts.size(), "chunk id slot");
  if (id_counts[id] != 0) --id_counts[id];
}

std::string Violation::message() const {
  using std::to_string;
  switch (kind) {
    case ViolationKind::TokenBudgetExceeded:
      return "Token budget exceeded: " + to_string(first) + " > " + to_string(second);
    case ViolationKind::MinTokensNotMet:
      return "Minimum tokens not met: " + to_string(first) + " < " + to_string(second);
    case ViolationKind::TooFewChunks:
      return "Too few chunks: " + to_string(first) + " < " + to_string(second);
    case ViolationKind::TooManyChunks:
      return "Too many chunks: " + to_string(first) + " > " + to_string(second);
    case ViolationKind::MissingRole:
      return "Missing required role: " + std::string(role_name(role));
    case ViolationKind::ClusterOverflow:
      return "Cluster " + to_string(first) + " overflow: " + to_string(second) + " > " + to_string(third);
    case ViolationKind::RequiredChunkMissing:
      return "Required chunk missing: " + chunk_id;
    case ViolationKind::ExcludedChunkSelected:
      return "Excluded chunk selected: " + chunk_id;
  }
  throw_internal("unknown violation kind");
}

std::vector<std::string> ConstraintReport::messages() const {
  std::vector<std::string> out;
  out.reserve(violations.size());
  for (const Violation& v : violations) out.push_back(v.message());
  return out;
}

bool can_add(const PreparedConstraints& constraints, std::size_t i, const SelectionState& state,
             const ProblemInstance& instance) {
  check_candidate(i, constraints, instance);
  if (state.id_selected(i, constraints)) return false;
  if (constraints.is_excluded[i]) return false;
  if (state.exact_tokens + instance.token_costs[i] > constraints.max_tokens) return false;
  if (state.count >= constraints.max_chunks) return false;
  if (constraints.cluster_slot[i] == kNoSlot) return true;
  return state.cluster_count_of(i, constraints) < constraints.max_per_cluster;
}

bool can_swap(const PreparedConstraints& constraints, std::size_t in, std::size_t out, const SelectionState& state,
              const ProblemInstance& instance) {
  check_candidate(in, constraints, instance);
  check_candidate(out, constraints, instance);
  if (!state.id_selected(out, constraints)) return false;
  if (state.id_selected(in, constraints)) return false;
  if (constraints.is_required[out]) return false;
  if (constraints.is_excluded[in]) return false;

  // total + in - out against both bounds, rearranged so that nothing wraps.
  const std::uint64_t plus_in = state.exact_tokens + instance.token_costs[in];
  const std::uint64_t out_tokens = instance.token_costs[out];
  if (plus_in > constraints.max_tokens + out_tokens || plus_in < constraints.min_tokens + out_tokens) return false;

  const std::uint32_t cluster_in = constraints.cluster_slot[in];
  const std::uint32_t cluster_out = constraints.cluster_slot[out];
  if (cluster_out != kNoSlot) {
    const std::uint64_t after =
        decrement_to_zero(state.cluster_count_of(out, constraints)) + (cluster_in == cluster_out ? 1 : 0);
    if (after > constraints.max_per_cluster) return false;
  }
  if (cluster_in != kNoSlot) {
    const std::uint64_t after = state.cluster_count_of(in, constraints) + (cluster_out == cluster_in ? 0 : 1);
    if (after > constraints.max_per_cluster) return false;
  }

  const Role role_in = instance.roles[in];
  const Role role_out = instance.roles[out];
  for (Role required : constraints.must_include_roles) {
    std::uint64_t held = state.role_count(required);
    if (role_out == required) held = decrement_to_zero(held);
    if (role_in == required) ++held;
    if (held == 0) return false;
  }
  return true;
}

SwapScreen::SwapScreen(const PreparedConstraints& constraints, const SelectionState& state,
                       const ProblemInstance& instance, std::span<const std::size_t> outgoing)
    : constraints_(constraints), state_(state), instance_(instance), cap_(constraints.max_per_cluster) {
  check_prepared_for(constraints, instance);
  for (Role required : constraints.must_include_roles)
    if (state.role_count(required) == 0) missing_roles_ |= 1u << checked_role_slot(required);
  out_.resize(outgoing.size());
  for (std::size_t k = 0; k < outgoing.size(); ++k) {
    const std::size_t out = outgoing[k];
    check_candidate(out, constraints, instance);
    Out& o = out_[k];
    o.ok = state.id_selected(out, constraints) && !constraints.is_required[out];
    o.max_total = std::uint64_t{constraints.max_tokens} + instance.token_costs[out];
    o.min_total = std::uint64_t{constraints.min_tokens} + instance.token_costs[out];
    o.cluster = constraints.cluster_slot[out];
    if (o.cluster != kNoSlot) {
      o.after_other = decrement_to_zero(state.cluster_count_of(out, constraints));
      o.after_same = o.after_other + 1;
    }
    const Role role = instance.roles[out];
    if (constraints.role_required(role) && decrement_to_zero(state.role_count(role)) == 0)
      o.critical_role = 1u << checked_role_slot(role);
  }
}

void SwapScreen::set_incoming(std::size_t in) {
  check_candidate(in, constraints_, instance_);
  in_ok_ = !state_.id_selected(in, constraints_) && !constraints_.is_excluded[in];
  plus_in_ = state_.exact_tokens + instance_.token_costs[in];
  in_role_ = 1u << checked_role_slot(instance_.roles[in]);
  in_cluster_ = constraints_.cluster_slot[in];
  in_cluster_count_ = state_.cluster_count_of(in, constraints_);
}

ConstraintReport check_constraints(const PreparedConstraints& constraints, const SelectionMask& mask,
                                   const ProblemInstance& instance) {
  check_prepared_for(constraints, instance);
  const std::size_t n = instance.num_candidates;
  check_length(mask.size(), n, "selection mask");

  ConstraintReport report;
  std::uint64_t exact_tokens = 0;
  std::array<bool, kRoleCount> role_held{};
  std::vector<std::uint64_t> cluster_counts(constraints.cluster_id_of_slot.size(), 0);
  std::vector<std::uint8_t> id_held(constraints.id_slot_count, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (mask[i] != 1) continue;
    report.total_tokens += instance.token_costs[i];
    exact_tokens += instance.token_costs[i];
    ++report.count;
    role_held[checked_role_slot(instance.roles[i])] = true;
    const std::uint32_t cluster = constraints.cluster_slot[i];
    if (cluster != kNoSlot) {
      check_index(cluster, cluster_counts.size(), "cluster slot");
      ++cluster_counts[cluster];
    }
    check_index(constraints.id_slot[i], id_held.size(), "chunk id slot");
    id_held[constraints.id_slot[i]] = 1;
  }

  std::vector<Violation>& out = report.violations;
  if (report.count > 0 && exact_tokens > constraints.max_tokens)
    out.push_back(make_violation(ViolationKind::TokenBudgetExceeded, exact_tokens, constraints.max_tokens));
  if (exact_tokens < constraints.min_tokens)
    out.push_back(make_violation(ViolationKind::MinTokensNotMet, exact_tokens, constraints.min_tokens));
  if (report.count < constraints.min_chunks)
    out.push_back(make_violation(ViolationKind::TooFewChunks, report.count, constraints.min_chunks));
  if (report.count > constraints.max_chunks)
    out.push_back(make_violation(ViolationKind::TooManyChunks, report.count, constraints.max_chunks));

  for (Role role : constraints.must_include_roles) {
    if (role_held[checked_role_slot(role)]) continue;
    Violation v = violation_of(ViolationKind::MissingRole);
    v.role = role;
    out.push_back(std::move(v));
  }

  for (std::size_t slot = 0; slot < cluster_counts.size(); ++slot) {
    if (cluster_counts[slot] <= constraints.max_per_cluster) continue;
    const auto cluster_id = static_cast<std::uint32_t>(constraints.cluster_id_of_slot[slot]);
    out.push_back(make_violation(ViolationKind::ClusterOverflow, cluster_id, cluster_counts[slot],
                                 constraints.max_per_cluster));
  }

  require(constraints.required_id_slots.size() == constraints.required_ids.size(),
          "required chunk ids without their slots");
  for (std::size_t k = 0; k < constraints.required_ids.size(); ++k) {
    const std::uint32_t slot = constraints.required_id_slots[k];
    if (slot != kNoSlot && slot < id_held.size() && id_held[slot]) continue;
    Violation v = violation_of(ViolationKind::RequiredChunkMissing);
    v.chunk_id = constraints.required_ids[k];
    out.push_back(std::move(v));
  }

  for (std::size_t i = 0; i < n; ++i) {
    if (mask[i] != 1 || !constraints.is_excluded[i]) continue;
    Violation v = violation_of(ViolationKind::ExcludedChunkSelected);
    v.chunk_id = instance.chunk_ids[i];
    out.push_back(std::move(v));
  }

  report.satisfied = out.empty();
  return report;
}

bool constraints_satisfied(const PreparedConstraints& constraints, std::span<const std::size_t> selected,
                           const ProblemInstance& instance) {
  check_prepared_for(constraints, instance);
  const std::size_t n = instance.num_candidates;
  const std::size_t cluster_slot_count = constraints.cluster_id_of_slot.size();
  const std::size_t id_slot_count = constraints.id_slot_count;
  // Raw pointers held in locals: the byte stores below could otherwise alias
  // the vectors' members and force a reload on every step.
  const std::uint32_t* tokens = instance.token_costs.data();
  const Role* roles = instance.roles.data();
  const std::uint32_t* cluster_slot = constraints.cluster_slot.data();
  const std::uint32_t* id_slot = constraints.id_slot.data();
  const std::uint8_t* excluded = constraints.is_excluded.data();

  // Every index and slot is checked here, so nothing below throws with the
  // scratch counters half filled.
  std::uint64_t total_tokens = 0;
  std::uint32_t roles_held = 0;  // bit per role slot
  bool excluded_selected = false;
  for (std::size_t i : selected) {
    check_index(i, n, "selected candidate");
    if (cluster_slot[i] != kNoSlot) check_index(cluster_slot[i], cluster_slot_count, "cluster slot");
    check_index(id_slot[i], id_slot_count, "chunk id slot");
    total_tokens += tokens[i];
    roles_held |= 1u << checked_role_slot(roles[i]);
    excluded_selected |= excluded[i] != 0;
  }
  const std::uint64_t count = selected.size();
  if (excluded_selected) return false;
  if (count > 0 && total_tokens > constraints.max_tokens) return false;
  if (total_tokens < constraints.min_tokens) return false;
  if (count < constraints.min_chunks || count > constraints.max_chunks) return false;
  for (Role role : constraints.must_include_roles)
    if ((roles_held & (1u << checked_role_slot(role))) == 0) return false;
  if (cluster_slot_count == 0 && constraints.required_id_slots.empty()) return true;

  // Per-thread scratch counters, returned to zero before leaving, so that the
  // exact window can call this for every node without allocating.
  thread_local std::vector<std::uint64_t> cluster_scratch;
  thread_local std::vector<std::uint8_t> id_scratch;
  if (cluster_scratch.size() < cluster_slot_count) cluster_scratch.resize(cluster_slot_count, 0);
  if (id_scratch.size() < id_slot_count) id_scratch.resize(id_slot_count, 0);
  std::uint64_t* cluster_counts = cluster_scratch.data();
  std::uint8_t* id_held = id_scratch.data();

  const std::uint64_t cap = constraints.max_per_cluster;
  bool cluster_overflow = false;
  for (std::size_t i : selected) {
    const std::uint32_t cluster = cluster_slot[i];
    if (cluster != kNoSlot && ++cluster_counts[cluster] > cap) cluster_overflow = true;
    id_held[id_slot[i]] = 1;
  }
  bool required_missing = false;
  for (std::uint32_t slot : constraints.required_id_slots)
    if (slot == kNoSlot || slot >= id_slot_count || id_held[slot] == 0) required_missing = true;
  for (std::size_t i : selected) {
    if (cluster_slot[i] != kNoSlot) cluster_counts[cluster_slot[i]] = 0;
    id_held[id_slot[i]] = 0;
  }
  return !cluster_overflow && !required_missing;
}

}  // namespace quarnel
