"""The selectors the demo and the quality benchmark compare, on one candidate set.

Every selector sees the same candidates (unit embedding rows), the same
query relevance, token counts and limits, and returns the positions it chose:

- ``top_k``: the most relevant candidates, in order, while they fit;
- ``mmr``: maximal marginal relevance, each step taking the candidate with the
  best ``lam * relevance - (1 - lam) * (highest similarity to a chosen one)``;
- ``bm25_top_k`` and ``hybrid``: top-k by BM25, and by the reciprocal-rank
  fusion of the dense and BM25 ranks (hybrid retrieval);
- ``dpp``: pyversity's greedy determinantal point process;
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
    duplicates: tuple = ()


def bm25_top_k(query: str, texts: list[str], tokens: np.ndarray, limits: Limits) -> list[int]:
    """Top-k by the candidates' BM25 scores for the query (IDF over the candidates)."""
    from quarnel.coverage import bm25_scores

    return top_k(bm25_scores(query, texts), tokens, limits)


def hybrid(query: str, texts: list[str], relevance: np.ndarray, tokens: np.ndarray, limits: Limits,
           k: int = 60) -> list[int]:
    """Hybrid retrieval: reciprocal-rank fusion of the dense and the BM25 ranks, then top-k."""
    from quarnel.coverage import bm25_scores

    fused = np.zeros(len(relevance))
    for scores in (relevance, bm25_scores(query, texts)):
        ranks = np.empty(len(scores))
        ranks[np.argsort(-np.asarray(scores), kind="stable")] = np.arange(1, len(scores) + 1)
        fused += 1.0 / (k + ranks)
    return top_k(fused, tokens, limits)


def dpp(relevance: np.ndarray, embeddings: np.ndarray, tokens: np.ndarray, limits: Limits,
        diversity: float = 0.5) -> list[int]:
    """pyversity's greedy DPP order of all candidates, taken while it fits."""
    from pyversity import Strategy, diversify

    order = diversify(embeddings, relevance, len(relevance), strategy=Strategy.DPP, diversity=diversity).indices
    rank = np.full(len(relevance), -np.inf)
    rank[np.asarray(order, np.int64)] = -np.arange(len(order), dtype=float)
    return [k for k in top_k(rank, tokens, limits) if np.isfinite(rank[k])]


def solver(query_embedding: np.ndarray, embeddings: np.ndarray, tokens: np.ndarray, limits: Limits,
           coverage: np.ndarray | None = None, token_weights: np.ndarray | None = None,
           roles: list[str] | None = None, required_roles: list[str] = (), texts: list[str] | None = None,
           query_text: str | None = None, options: dict | None = None) -> SolverChoice:
    """``quarnel.ContextSelector`` with its defaults (or ``options``), on relevance,
    redundancy and (when given) how well each candidate covers the query: the
    coverage matrix given, and the lexical match of ``query_text`` in ``texts``."""
    import quarnel

    selector = quarnel.ContextSelector(limits.budget, max_chunks=limits.max_chunks, per_source=limits.per_cluster,
                                       must_include_roles=required_roles, **(options or {}))
    selection = selector.select(query_embedding, embeddings, token_counts=[int(t) for t in tokens],
                                sources=None if limits.clusters is None else limits.clusters.tolist(),
                                roles=roles, coverage=coverage, query_token_weights=token_weights,
                                texts=texts, query_text=query_text)
    return SolverChoice(list(selection.indices), selection.satisfied, list(selection.violations),
                        selection.duplicates)
