#pragma once
// The solve driver: the one entry point of the search engine.
#include <span>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/constraints.hpp"
#include "core/output.hpp"
#include "core/problem.hpp"
#include "core/stop_check.hpp"

namespace quarnel {

// Never fails for a consistent instance: infeasible constraints are reported
// in the result. An inconsistent instance raises InternalError. `stop` runs
// between the stages, every search iteration and every block of window nodes.
SolveResult solve(const SolverSettings& settings, const SimilarityBackend& backend,
                  const ProblemInstance& instance, const PreparedConstraints& constraints,
                  const StopCheck& stop = {});

// The same search, which also considers the caller's start selections (one
// byte per candidate each; infeasible ones are ignored): it starts from the
// best of the constructions and these starts, and returns nothing worse on the objective than any feasible
// start, and nothing infeasible when one of them is feasible.
SolveResult solve_with_starts(const SolverSettings& settings, const SimilarityBackend& backend,
                              const ProblemInstance& instance, const PreparedConstraints& constraints,
                              std::span<const SelectionMask> warm_starts, const StopCheck& stop = {});

}  // namespace quarnel
