"""The selectors the demo and the quality benchmark compare, on one candidate set.

Every selector sees the same candidates (unit embedding rows), the same
query relevance, token counts and limits, and returns the positions it chose:

- ``top_k``: the most relevant candidates, in order, while they fit;
- ``mmr``: maximal marginal relevance, each step taking the candidate with the
  best ``lam * relevance - (1 - lam) * (highest similarity to a chosen one)``;
- ``solver``: ``quarnel.ContextSelector`` (the solver with the layer's defaults).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Limits:
    """What every selector must respect."""

    budget: int
    max_chunks: int = 50
    clusters: np.ndarray | None = None  # one source id per candidate, or None
    per_cluster: int | None = None


class _Fit:
    """Running totals that say whether one more candidate still fits the limits."""

    def __init__(self, tokens: np.ndarray, limits: Limits):
        self.tokens, self.limits = tokens, limits
        self.used, self.count, self.per_cluster = 0, 0, {}

    def fits(self, i: int) -> bool:
        limits = self.limits
        if self.count >= limits.max_chunks or self.used + int(self.tokens[i]) > limits.budget:
            return False
        if limits.clusters is not None and limits.per_cluster is not None:
            return self.per_cluster.get(int(limits.clusters[i]), 0) < limits.per_cluster
        return True

    def take(self, i: int) -> None:
        self.used += int(self.tokens[i])
        self.count += 1
        if self.limits.clusters is not None:
            key = int(self.limits.clusters[i])
            self.per_cluster[key] = self.per_cluster.get(key, 0) + 1


def top_k(relevance: np.ndarray, tokens: np.ndarray, limits: Limits) -> list[int]:
    """Greedy by relevance: each candidate in turn, skipped when it does not fit."""
    fit, chosen = _Fit(tokens, limits), []
    for i in np.argsort(-relevance, kind="stable"):
        if fit.fits(int(i)):
            fit.take(int(i))
            chosen.append(int(i))
    return chosen


def mmr(relevance: np.ndarray, embeddings: np.ndarray, tokens: np.ndarray, limits: Limits,
        lam: float = 0.5) -> list[int]:
    """Maximal marginal relevance under the limits; ties go to the lower position."""
    similarity = embeddings @ embeddings.T
    closest = np.full(len(relevance), -np.inf)  # highest similarity to a chosen candidate
    open_ = np.ones(len(relevance), dtype=bool)
    fit, chosen = _Fit(tokens, limits), []
    while True:
        for i in np.flatnonzero(open_):
            if not fit.fits(int(i)):
                open_[i] = False  # the limits only tighten, so it never fits again
        if not open_.any():
            return chosen
        penalty = np.where(np.isfinite(closest), closest, 0.0)
        value = np.where(open_, lam * relevance - (1.0 - lam) * penalty, -np.inf)
        best = int(np.argmax(value))
        fit.take(best)
        chosen.append(best)
        open_[best] = False
        closest = np.maximum(closest, similarity[best])


@dataclass
class SolverChoice:
    chosen: list[int]
    satisfied: bool
    violations: list[str]


def solver(query_embedding: np.ndarray, embeddings: np.ndarray, tokens: np.ndarray, limits: Limits,
           coverage: np.ndarray | None = None, token_weights: np.ndarray | None = None,
           roles: list[str] | None = None, required_roles: list[str] = ()) -> SolverChoice:
    """``quarnel.ContextSelector`` with its defaults, on relevance, redundancy
    and (when given) how well each candidate covers each query token."""
    import quarnel

    selector = quarnel.ContextSelector(limits.budget, max_chunks=limits.max_chunks, per_source=limits.per_cluster,
                                       must_include_roles=required_roles)
    selection = selector.select(query_embedding, embeddings, token_counts=[int(t) for t in tokens],
                                sources=None if limits.clusters is None else limits.clusters.tolist(),
                                roles=roles, coverage=coverage, query_token_weights=token_weights)
    return SolverChoice(list(selection.indices), selection.satisfied, list(selection.violations))
