#include "search/context.hpp"

namespace quarnel {

SearchContext::SearchContext(const SolverSettings& settings_, const ProblemInstance& instance_,
                             const PreparedConstraints& constraints_, std::span<const float> similarity_,
                             const ObjectiveWeights& weights_, const SimilarityBackend& backend_,
                             const StopCheck* stop_)
    : settings(settings_),
      instance(instance_),
      constraints(constraints_),
      similarity(similarity_),
      weights(weights_),
      backend(backend_),
      view(make_problem_view(instance_, similarity_, weights_)),
      n(instance_.num_candidates),
      unary(unary_scores(settings_, instance_)),
      size_powers(instance_),
      stop(stop_) {}

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
