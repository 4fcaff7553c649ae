#include "search/context.hpp"

#include "core/move_scoring.hpp"
#include "core/panic.hpp"
#include "core/role.hpp"

namespace quarnel {

SearchContext::SearchContext(const SolverSettings& settings_, const ProblemInstance& instance_,
                             const PreparedConstraints& constraints_, std::span<const float> similarity_,
                             const ObjectiveWeights& weights_, const SimilarityBackend& backend_, bool mirrored,
                             const StopCheck* stop_)
    : settings(settings_),
      instance(instance_),
      constraints(constraints_),
      similarity(similarity_),
      symmetric_similarity(similarity_.size() == instance_.num_candidates * instance_.num_candidates &&
                           (mirrored || is_bitwise_symmetric(similarity_, instance_.num_candidates))),
      weights(weights_),
      backend(backend_),
      view(make_problem_view(instance_, similarity_, weights_)),
      n(instance_.num_candidates),
      unary(unary_scores(settings_, instance_)),
      size_powers(instance_),
      stop(stop_) {
  greedy_base.resize(n);
  for (std::size_t i = 0; i < n; ++i) greedy_base[i] = unary[i] / size_powers.p85[i];
  // Counting sort of the candidates into their cluster slots and role slots.
  auto group = [&](std::size_t groups, auto group_of, std::vector<std::size_t>& start, std::vector<std::size_t>& members) {
    start.assign(groups + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
      if (const std::size_t g = group_of(i); g < groups) ++start[g + 1];
    for (std::size_t g = 0; g < groups; ++g) start[g + 1] += start[g];
    members.resize(start[groups]);
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
      if (const std::size_t g = group_of(i); g < groups) members[next[g]++] = i;
  };
  check_length(constraints_.cluster_slot.size(), n, "cluster slots");
  check_length(instance_.roles.size(), n, "roles");
  group(constraints_.cluster_id_of_slot.size(), [&](std::size_t i) { return std::size_t{constraints_.cluster_slot[i]}; },
        cluster_start, cluster_members);
  group(kRoleCount, [&](std::size_t i) { return role_slot(instance_.roles[i]); }, role_start, role_members);
}

ObjectiveBreakdown SearchContext::evaluate(const SelectionMask& mask) const {
  return quarnel::evaluate(instance, mask, weights, similarity, backend);
}

ObjectiveBreakdown SearchContext::evaluate(const SelectionMask& mask, std::span<const std::size_t> selected) const {
  if (backend.kind() != BackendKind::CpuReference) return evaluate(mask);
  return evaluate_selected(instance, mask, selected, weights, similarity);
}

std::vector<std::size_t> selected_indices(const SelectionMask& mask) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i] != 0) out.push_back(i);
  return out;
}

}  // namespace quarnel
