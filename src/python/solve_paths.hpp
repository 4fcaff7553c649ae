#pragma once
// The three solve methods of TabuSearchSolver, bound as (*args, **kwargs).
#include <pybind11/pybind11.h>

#include "core/output.hpp"
#include "python/solver_object.hpp"

namespace quarnel::python {

namespace py = pybind11;

// Every per-candidate quantity given as an array, relevance included.
SolveResult solve_precomputed_numpy(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs);

// Arrays plus a query embedding; relevance is the cosine with the query.
SolveResult solve_numpy(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs);

// A list of chunk dictionaries with the callers' own chunk ids.
SolveResult solve_chunks(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs);

}  // namespace quarnel::python
