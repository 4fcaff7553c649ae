#pragma once
// What a TabuSearchSolver holds, and the hand-over of a finished instance to
// the solve driver.
#include <memory>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/constraints.hpp"
#include "core/output.hpp"
#include "core/problem.hpp"

namespace quarnel::python {

// Immutable after construction, so concurrent solves may share it.
struct SolverObject {
  SolverSettings settings;
  std::unique_ptr<SimilarityBackend> backend;

  // The solve driver; touches no Python object, so callers release the lock around it.
  SolveResult solve(const ProblemInstance& instance, const PreparedConstraints& constraints) const;
};

// Runs the driver with the interpreter lock released; the caller holds it on
// entry and holds it again on return (also when the driver throws).
SolveResult run_driver(const SolverObject& solver, const ProblemInstance& instance,
                       const PreparedConstraints& constraints);

}  // namespace quarnel::python
