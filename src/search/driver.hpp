#pragma once
// The solve driver: the one entry point of the search engine.
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

}  // namespace quarnel
