"""The native solve behind `ContextSelector.select`, with warm starts.

The search starts from the best of its own constructions and of the fills
handed to it here, and returns nothing worse on its objective than any
feasible fill. The top-k fill (the most relevant chunks that fit) always
goes in, so the selection never loses to plain top-k on the objective;
callers may add fills built from other rankings (a lexical or hybrid rank,
say) through `rankings`.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import quarnel_solver
from numpy.typing import NDArray

from . import _native


class Limits(NamedTuple):
    """What a fill must respect, in pool positions."""

    token_budget: int
    max_chunks: int
    per_source: int
    required: tuple[int, ...]


def budget_fill(
    ranking: Iterable[int], costs: NDArray[np.uint32], clusters: NDArray[np.int32], limits: Limits
) -> list[int]:
    """The required chunks, then each ranked chunk in turn that still fits
    the budget, the chunk count and its source's cap (skipped otherwise)."""
    order = ranking.tolist() if isinstance(ranking, np.ndarray) else [int(k) for k in ranking]
    cost_of, cluster_of = costs.tolist(), clusters.tolist()
    chosen = list(dict.fromkeys(limits.required))
    taken = set(chosen)
    tokens = sum(cost_of[k] for k in chosen)
    per_cluster: dict[int, int] = {}
    for k in chosen:
        per_cluster[cluster_of[k]] = per_cluster.get(cluster_of[k], 0) + 1
    for k in order:
        if len(chosen) >= limits.max_chunks:
            break
        cost, cluster = cost_of[k], cluster_of[k]
        if k in taken or tokens + cost > limits.token_budget:
            continue
        if cluster >= 0 and per_cluster.get(cluster, 0) >= limits.per_source:
            continue
        chosen.append(k)
        taken.add(k)
        tokens += cost
        per_cluster[cluster] = per_cluster.get(cluster, 0) + 1
    return chosen

def solve_from_fills(
    solver: quarnel_solver.TabuSearchSolver,
    limits: Limits,
    rankings: Sequence[Iterable[int]],
    exact_window_nodes: int | None,
    **arrays: Any,
) -> quarnel_solver.SolverOutput:
    """`solver.solve_precomputed_numpy(**arrays)` that also starts from the
    budget fill of each ranking (pool positions, most preferred first).

    With `exact_window_nodes` the exact window stops after that many nodes
    rather than on the clock, so the result does not depend on machine load.
    """
    costs, clusters = arrays["token_costs"], arrays["cluster_ids"]
    starts = [budget_fill(ranking, costs, clusters, limits) for ranking in rankings]
    output: quarnel_solver.SolverOutput = _native.solve(
        solver, **arrays, warm_starts=starts, exact_window_nodes=exact_window_nodes
    )
    return output
