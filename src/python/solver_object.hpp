#pragma once
// What a TabuSearchSolver holds, and the hand-over of a finished instance to
// the solve driver.
#include <memory>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/constraints.hpp"
#include "core/output.hpp"
#include "core/problem.hpp"
#include "core/stop_check.hpp"

namespace quarnel::python {

// Immutable after construction, so concurrent solves may share it.
struct SolverObject {
  SolverSettings settings;
  std::unique_ptr<SimilarityBackend> backend;

  // The solve driver; touches no Python object, so callers release the lock around it.
  SolveResult solve(const ProblemInstance& instance, const PreparedConstraints& constraints,
                    const StopCheck& stop = {}) const;
};

// Prepares the constraints and runs the driver with the interpreter lock
// released; the caller holds it on entry and holds it again on return (also
// when the driver throws). A signal handler that raises on the main thread
// (Ctrl-C) ends the solve with its exception.
SolveResult run_driver(const SolverObject& solver, const ProblemInstance& instance,
                       const quarnel::SolverConstraints& constraints);

}  // namespace quarnel::python
