#pragma once
// Single-candidate scores used by the constructive stages: the linear unary
// score, the construction priority with its diversity bonuses, the two
// frequency-penalised ordering keys, and the stable sort they are used with.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/config.hpp"
#include "core/constraint_check.hpp"
#include "core/constraints.hpp"
#include "core/problem.hpp"

namespace quarnel {

double unary_score(const SolverSettings& settings, std::size_t i, const ProblemInstance& instance);

// Unary scores of all candidates, computed once per solve.
std::vector<double> unary_scores(const SolverSettings& settings, const ProblemInstance& instance);

// Roles held come from state.role_counts, cluster counts from state.cluster_counts.
double greedy_priority(double unary, std::size_t i, const ProblemInstance& instance,
                       const PreparedConstraints& constraints, const SelectionState& state);
// The same from the size-normalised part unary / max(t, 1)^0.85, which does
// not change while a selection is built.
double greedy_priority_from_base(double base, std::size_t i, const ProblemInstance& instance,
                                 const PreparedConstraints& constraints, const SelectionState& state);

// Frequency count of candidate i, 0 past the end of the memory.
inline std::uint64_t frequency_of(const std::vector<std::uint64_t>& freq, std::size_t i) {
  return i < freq.size() ? freq[i] : 0;
}
double construction_key(double unary, std::uint64_t freq, std::uint32_t tokens);  // key_c
double destroy_key(double unary, std::uint64_t freq, std::uint32_t tokens);       // key_d

// Token-size powers max(t, 1)^0.85, ^0.65 and ^0.9 of every candidate, used
// by the search's ordering values; computed once per solve.
struct SizePowers {
  std::vector<double> p85, p65, p90;
  explicit SizePowers(const ProblemInstance& instance);
};

// How promising an unselected candidate is: size-normalised unary score plus
// its fulfilment gain, less its redundancy with the selection.
inline double add_priority(const SizePowers& powers, std::size_t i, double unary, double gain, double redundancy) {
  return ((unary / powers.p85[i] + 1.45 * gain) + (0.35 * gain) / powers.p65[i]) - 0.06 * redundancy;
}

// How much a selected chunk is worth keeping: what its removal would cost the
// fulfilment, its size-normalised unary score, less its redundancy.
inline double retention_value(const SizePowers& powers, std::size_t i, double unary, double loss, double redundancy) {
  return (1.95 * loss + unary / powers.p90[i]) - 0.1 * redundancy;
}

// Stable sort of indices by a key; equal keys keep their input order.
void stable_sort_by_key_descending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index);
void stable_sort_by_key_ascending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index);

// Puts the first `count` entries of stable_sort_by_key_descending's order at
// the front of `indices` (which must be ascending), in that order; the rest
// follow in no particular order. O(size + count log count) instead of a full
// sort, for callers that read only a prefix of the order.
void stable_top_by_key_descending(std::vector<std::size_t>& indices, const std::vector<double>& key_of_index,
                                  std::size_t count);

}  // namespace quarnel
