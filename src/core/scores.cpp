#include "core/scores.hpp"

#include <algorithm>
#include <cmath>

#include "core/panic.hpp"

namespace quarnel {
namespace {

constexpr double kSizeExponent = 0.85;
constexpr double kNewRoleBonus = 0.08;
constexpr double kNoClusterBonus = 0.03;
constexpr double kNewClusterBonus = 0.12;
constexpr double kClusterMatePenalty = -0.04;

constexpr std::size_t kInsertionSortLimit = 20;

// `before(a, b)` is a strict comparison of keys; with NaN keys it answers
// false both ways, so a NaN neither overtakes nor is overtaken by the element
// it is compared with. The order around NaN then depends on which comparisons
// the sort makes, but every index stays in the output exactly once.
template <typename Before>
void insertion_sort(std::size_t* first, std::size_t count, Before before) {
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t value = first[i];
    std::size_t j = i;
    while (j > 0 && before(value, first[j - 1])) {
      first[j] = first[j - 1];
      --j;
    }
    first[j] = value;
  }
}

// Stable top-down merge sort on [first, first + count) using scratch of the same length.
// Runs of at most the insertion-sort limit are sorted by insertion.
template <typename Before>
void merge_sort(std::size_t* first, std::size_t count, std::size_t* scratch, Before before) {
  if (count <= kInsertionSortLimit) {
    insertion_sort(first, count, before);
    return;
  }
  const std::size_t half = count / 2;
  merge_sort(first, half, scratch, before);
  merge_sort(first + half, count - half, scratch, before);
  std::copy(first, first + count, scratch);
  std::size_t left = 0, right = half, out = 0;
  // Take from the right run only when it is strictly before the left: ties keep input order.
  while (left < half && right < count)
    first[out++] = before(scratch[right], scratch[left]) ? scratch[right++] : scratch[left++];
  while (left < half) first[out++] = scratch[left++];
  while (right < count) first[out++] = scratch[right++];
}

template <typename Before>
void stable_sort_indices(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index, Before before) {
  for (std::size_t i : indices) check_index(i, key_of_index.size(), "sort key");
  if (indices.size() <= kInsertionSortLimit) {
    insertion_sort(indices.data(), indices.size(), before);
    return;
  }
  std::vector<std::size_t> scratch(indices.size());
  merge_sort(indices.data(), indices.size(), scratch.data(), before);
}

}  // namespace

double unary_score(const SolverSettings& settings, std::size_t i, const ProblemInstance& instance) {
  check_index(i, instance.relevance_scores.size(), "relevance score");
  check_index(i, instance.density_scores.size(), "density score");
  check_index(i, instance.centrality_scores.size(), "centrality score");
  check_index(i, instance.recency_scores.size(), "recency score");
  check_index(i, instance.auxiliary_scores.size(), "auxiliary score");
  check_index(i, instance.fulfilment_scores.size(), "fulfilment score");
  const SolverConfig& c = settings.config;
  const bool secondary = settings.secondary_weights_active;
  const double alpha = c.alpha;
  const double beta = secondary ? c.beta : 0.0f;
  const double gamma = secondary ? c.gamma : 0.0f;
  const double delta = secondary ? c.delta : 0.0f;
  const double epsilon = c.epsilon;
  const double mu = c.mu;
  const double rel = instance.relevance_scores[i];
  const double den = instance.density_scores[i];
  const double cen = instance.centrality_scores[i];
  const double rec = instance.recency_scores[i];
  const double aux = instance.auxiliary_scores[i];
  const double ful = instance.fulfilment_scores[i];
  return ((((alpha * rel + beta * den) + gamma * cen) + delta * rec) + epsilon * aux) + mu * ful;
}

std::vector<double> unary_scores(const SolverSettings& settings, const ProblemInstance& instance) {
  std::vector<double> scores(instance.num_candidates);
  for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = unary_score(settings, i, instance);
  return scores;
}

double greedy_priority(double unary, std::size_t i, const ProblemInstance& instance,
                       const PreparedConstraints& constraints, const SelectionState& state) {
  check_index(i, instance.token_costs.size(), "candidate token cost");
  const double tokens = std::max<std::uint32_t>(instance.token_costs[i], 1);
  return greedy_priority_from_base(unary / std::pow(tokens, kSizeExponent), i, instance, constraints, state);
}

double greedy_priority_from_base(double base, std::size_t i, const ProblemInstance& instance,
                                 const PreparedConstraints& constraints, const SelectionState& state) {
  check_index(i, instance.roles.size(), "candidate role");
  double priority = base;
  const Role role = instance.roles[i];
  if (role != Role::Unknown && state.role_count(role) == 0) priority += kNewRoleBonus;
  check_index(i, constraints.cluster_slot.size(), "candidate cluster slot");
  if (constraints.cluster_slot[i] == kNoSlot) {
    priority += kNoClusterBonus;
  } else {
    const std::uint64_t mates = state.cluster_count_of(i, constraints);
    priority += mates == 0 ? kNewClusterBonus : kClusterMatePenalty * static_cast<double>(mates);
  }
  return priority;
}

double construction_key(double unary, std::uint64_t freq, std::uint32_t tokens) {
  return (unary - 0.03 * static_cast<double>(freq)) - 0.0003 * static_cast<double>(tokens);
}

double destroy_key(double unary, std::uint64_t freq, std::uint32_t tokens) {
  return (unary - 0.05 * static_cast<double>(freq)) - 0.0002 * static_cast<double>(tokens);
}

void stable_sort_by_key_descending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index) {
  stable_sort_indices(indices, key_of_index,
                      [&key_of_index](std::size_t a, std::size_t b) { return key_of_index[a] > key_of_index[b]; });
}

void stable_top_by_key_descending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index,
                                  std::size_t count) {
  bool any_nan = false;
  for (std::size_t i : indices) {
    check_index(i, key_of_index.size(), "sort key");
    any_nan |= std::isnan(key_of_index[i]);
  }
  // A NaN key makes the merge sort's order depend on the comparisons it
  // happens to make: only the full sort reproduces it.
  if (count >= indices.size() || any_nan) {
    stable_sort_by_key_descending(indices, key_of_index);
    return;
  }
  // Without NaN, the stable order is the total order "greater key first,
  // then lower index" (the input is ascending), which a selection can use.
  const auto before = [&](std::size_t a, std::size_t b) {
    const double ka = key_of_index[a], kb = key_of_index[b];
    return ka > kb || (ka == kb && a < b);
  };
  if (count == 0) return;
  std::nth_element(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(count - 1), indices.end(), before);
  std::sort(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(count - 1), before);
}

void stable_sort_by_key_ascending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index) {
  stable_sort_indices(indices, key_of_index,
                      [&key_of_index](std::size_t a, std::size_t b) { return key_of_index[a] < key_of_index[b]; });
}

SizePowers::SizePowers(const ProblemInstance& instance) {
  const std::size_t n = instance.num_candidates;
  p85.resize(n), p65.resize(n), p90.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double tokens = static_cast<double>(std::max<std::uint32_t>(instance.token_costs[i], 1));
    p85[i] = std::pow(tokens, 0.85);
    p65[i] = std::pow(tokens, 0.65);
    p90[i] = std::pow(tokens, 0.9);
  }
}

}  // namespace quarnel
