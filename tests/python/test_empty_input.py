"""No candidates: every solve path returns the empty selection, checked against the constraints."""
import numpy as np
import pytest

import quarnel_solver as qs

EMPTY_F32 = np.zeros(0, np.float32)
EMPTY_ARRAYS = dict(token_costs=np.zeros(0, np.uint32), density_scores=EMPTY_F32, centrality_scores=EMPTY_F32,
                    recency_scores=EMPTY_F32, auxiliary_scores=EMPTY_F32, roles=np.zeros(0, np.uint8),
                    cluster_ids=np.zeros(0, np.int32))
QUERY = np.ones(4, np.float32)

PATHS = {
    "chunks": lambda solver, c: solver.solve([], QUERY, c),
    "numpy": lambda solver, c: solver.solve_numpy(np.zeros((0, 4), np.float32), QUERY, **EMPTY_ARRAYS,
                                                  constraints=c),
    "precomputed": lambda solver, c: solver.solve_precomputed_numpy(
        np.zeros((0, 4), np.float32), **EMPTY_ARRAYS, relevance_scores=EMPTY_F32, constraints=c),
}

CASES = [
    (None, ["Too few chunks: 0 < 1"]),
    (qs.SolverConstraints(min_chunks=0), []),
    (qs.SolverConstraints(required_chunks=["x"], min_chunks=3, min_tokens=100, must_include_roles=["risk"]),
     ["Minimum tokens not met: 0 < 100", "Too few chunks: 0 < 3", "Missing required role: Risk",
      "Required chunk missing: x"]),
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("constraints, violations", CASES)
def test_empty_input_reports_the_constraints_it_cannot_meet(path, constraints, violations):
    out = PATHS[path](qs.TabuSearchSolver(), constraints)
    assert out.constraint_violations == violations
    assert out.constraints_satisfied == (not violations)
    assert out.selected_indices == [] and out.num_selected == 0 and out.objective_score == 0.0
    assert out.iterations_run == 0 and not out.exact_window_used
