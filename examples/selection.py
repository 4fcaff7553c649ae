"""The selectors the demo and the quality benchmark compare, on one candidate set.

Every selector sees the same candidates (unit embedding rows), the same
query relevance, token counts and limits, and returns the positions it chose:

- ``top_k``: the most relevant candidates, in order, while they fit;
- ``mmr``: maximal marginal relevance, each step taking the candidate with the
  best ``lam * relevance - (1 - lam) * (highest similarity to a chosen one)``;
- ``solver``: ``TabuSearchSolver`` on relevance and redundancy.
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


# Settings of the solver path: relevance and redundancy both measured above the
# pool's mean cosine, query-word coverage weighted by FULFILMENT.
LAMBDA = 0.1
FULFILMENT = 1.0


def _above_mean(values: np.ndarray) -> np.ndarray:
    return values - values.mean() if len(values) else values


_ROLE_CODES = {"definition": 0, "example": 1, "constraint": 5, "table": 6}


@dataclass
class SolverChoice:
    chosen: list[int]
    satisfied: bool
    violations: list[str]


def solver(query_embedding: np.ndarray, embeddings: np.ndarray, tokens: np.ndarray, limits: Limits,
           coverage: np.ndarray | None = None, token_weights: np.ndarray | None = None,
           roles: list[str] | None = None, required_roles: list[str] = (),
           lambda_: float = LAMBDA, fulfilment: float = FULFILMENT) -> SolverChoice:
    """TabuSearchSolver on relevance, redundancy and (when given) query-token coverage."""
    import quarnel_solver as qs

    n = len(tokens)
    emb = np.ascontiguousarray(embeddings, dtype=np.float32)
    relevance = _above_mean(emb @ np.asarray(query_embedding, np.float32))
    similarity = emb @ emb.T
    if n > 1:
        off_diagonal = similarity[~np.eye(n, dtype=bool)]
        similarity = np.maximum(similarity - off_diagonal.mean(), 0.0)
    zeros = np.zeros(n, np.float32)
    clusters = np.full(n, -1, np.int32) if limits.clusters is None else np.asarray(limits.clusters, np.int32)
    extra = {}
    if coverage is not None and len(coverage):
        weights = np.asarray(token_weights, np.float64)
        extra = dict(coverage_matrix=np.ascontiguousarray(coverage, np.float32),
                     query_token_weights=(weights / max(weights.sum(), 1e-12)).astype(np.float32))
    config = qs.SolverConfig(alpha=1.0, beta=0.0, gamma=0.0, delta=0.0, epsilon=0.0,
                             mu=fulfilment if extra else 0.0, lambda_=lambda_)
    constraints = qs.SolverConstraints(max_tokens=limits.budget, max_chunks=limits.max_chunks,
                                       max_per_cluster=limits.per_cluster or max(n, 1),
                                       must_include_roles=list(required_roles))
    role_codes = np.array([_ROLE_CODES.get(r, 255) for r in roles], np.uint8) if roles else np.full(n, 255, np.uint8)
    out = qs.TabuSearchSolver(config).solve_precomputed_numpy(
        embeddings=emb, token_costs=np.asarray(tokens, np.uint32), density_scores=zeros,
        centrality_scores=zeros, recency_scores=zeros, auxiliary_scores=zeros,
        roles=role_codes, cluster_ids=clusters,
        relevance_scores=relevance.astype(np.float32), similarity_matrix=similarity.astype(np.float32),
        constraints=constraints, **extra)
    return SolverChoice(list(out.selected_indices), out.constraints_satisfied, list(out.constraint_violations))
