"""How well each candidate covers each query term: the fulfilment input.

Two sources, usable alone or together:

- `lexical_coverage` needs only texts: query terms x chunks, each entry the
  BM25 term saturation of that term in that chunk (a term repeated counts with
  diminishing returns, a long chunk needs more repeats), scaled into [0, 1);
  each term weighs its BM25 IDF, over the pool of candidates or over the
  caller's corpus (`CorpusStatistics`).
- `token_coverage` needs token vectors (a late-interaction model, or a static
  one's word vectors): query tokens x chunks, each entry the best cosine of
  the query token with any token of the chunk (a MaxSim per query token,
  through `quarnel.maxsim`).

`combine_coverage` stacks both so that each source carries a chosen share of
the fulfilment weight. `bm25_scores` ranks chunks by the same lexical match,
the lexical half of a hybrid retriever.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _inputs
from ._tokenize import term_counts, terms
from .maxsim import maxsim

__all__ = [
    "CorpusStatistics",
    "lexical_coverage",
    "bm25_scores",
    "hybrid_ranking",
    "token_coverage",
    "combine_coverage",
    "query_terms",
    "covered_terms",
]

#: BM25's term-frequency saturation and length normalisation.
K1 = 1.2
B = 0.75


@dataclass(frozen=True)
class CorpusStatistics:
    """Term statistics of a whole corpus, for IDF weights that do not depend on
    which chunks a query happened to retrieve. Build one with `from_texts`."""

    num_documents: int
    document_frequency: Mapping[str, int] = field(default_factory=dict)
    average_length: float = 0.0  # terms per document

    @classmethod
    def from_texts(cls, texts: Iterable[str]) -> CorpusStatistics:
        frequency: dict[str, int] = {}
        count = total = 0
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"texts: expected str items, got {_inputs.describe(text)}")
            counts, length = term_counts(text)
            for term in counts:
                frequency[term] = frequency.get(term, 0) + 1
            count += 1
            total += length
        return cls(count, MappingProxyType(frequency), total / count if count else 0.0)


@dataclass(frozen=True)
class LexicalCoverage:
    terms: tuple[str, ...]  # the query's distinct terms, in query order
    matrix: NDArray[np.float32]  # terms x chunks, in [0, 1)
    weights: NDArray[np.float32]  # IDF per term


def query_terms(query_text: str) -> tuple[str, ...]:
    """The distinct search terms of a query, in order."""
    return tuple(dict.fromkeys(terms(query_text)))


def covered_terms(query_text: str, text: str) -> tuple[str, ...]:
    """The terms of the query that a text contains."""
    counts, _ = term_counts(text)
    return tuple(t for t in query_terms(query_text) if t in counts)


def _idf(document_frequency: int, num_documents: int) -> float:
    # BM25's IDF in its non-negative form: a term in every document weighs
    # almost nothing, never less than nothing.
    return math.log(1.0 + (num_documents - document_frequency + 0.5) / (document_frequency + 0.5))


def lexical_coverage(
    query_text: str, texts: Sequence[str], statistics: CorpusStatistics | None = None
) -> LexicalCoverage:
    """Query terms x texts: BM25 term saturation scaled into [0, 1), with IDF term weights.

    Without `statistics` the document frequencies and the average length come
    from `texts` themselves.
    """
    q_terms = query_terms(query_text)
    counted = [term_counts(text) for text in texts]
    n = len(counted)
    matrix = np.zeros((len(q_terms), n), np.float32)
    if statistics is None:
        lengths = [length for _, length in counted]
        average = sum(lengths) / n if n else 0.0
        frequency = {t: sum(1 for counts, _ in counted if t in counts) for t in q_terms}
        weights = [_idf(frequency[t], n) for t in q_terms]
    else:
        average = statistics.average_length
        weights = [_idf(statistics.document_frequency.get(t, 0), max(statistics.num_documents, 1)) for t in q_terms]
    if average <= 0.0:
        average = 1.0
    row_of = {t: r for r, t in enumerate(q_terms)}
    for column, (counts, length) in enumerate(counted):
        norm = K1 * (1.0 - B + B * length / average)
        for t, r in row_of.items():
            tf = counts.get(t)
            if tf:
                # tf (k1 + 1) / (tf + norm) is BM25's saturation; divided by
                # k1 + 1 it approaches 1 for a term the chunk is full of.
                matrix[r, column] = tf / (tf + norm)
    return LexicalCoverage(q_terms, matrix, np.array(weights, np.float32).reshape(len(q_terms)))


def bm25_scores(query_text: str, texts: Sequence[str], statistics: CorpusStatistics | None = None) -> NDArray[np.float64]:
    """Each text's BM25 score for the query (the IDF-weighted sum of its term saturations)."""
    cover = lexical_coverage(query_text, texts, statistics)
    weights = cover.weights.astype(np.float64) * (K1 + 1.0)
    return weights @ cover.matrix.astype(np.float64)


def match_scores(cover: LexicalCoverage) -> NDArray[np.float32]:
    """Each chunk's BM25 score scaled so that the best chunk scores 1 (all 0 when none matches)."""
    scores = cover.weights.astype(np.float64) @ cover.matrix.astype(np.float64)
    peak = float(scores.max()) if scores.size else 0.0
    return (scores / peak if peak > 0.0 else scores).astype(np.float32)


def hybrid_ranking(dense: NDArray[np.floating], lexical: NDArray[np.floating], k: int = 60) -> NDArray[np.intp]:
    """Positions best first by reciprocal-rank fusion of two scores (ties: the earlier position)."""
    fused = np.zeros(len(dense), np.float64)
    for scores in (dense, lexical):
        ranks = np.empty(len(scores), np.float64)
        ranks[np.argsort(-np.asarray(scores, np.float64), kind="stable")] = np.arange(1, len(scores) + 1)
        fused += 1.0 / (k + ranks)
    return np.argsort(-fused, kind="stable")


def token_coverage(query_tokens: Any, chunk_tokens: Any, *, chunk_lengths: Any = None) -> NDArray[np.float32]:
    """Query tokens x chunks: the best cosine of each query token with any token of each chunk.

    `query_tokens` is a (tokens, dim) array of the query's token vectors;
    `chunk_tokens` holds each chunk's token vectors in any form
    `quarnel.maxsim` accepts (a list of 2-D arrays, or a padded 3-D array
    with `chunk_lengths`). Vectors are scaled to unit length first, so the
    entries are cosines; a chunk without tokens covers nothing (0).
    """
    query = np.asarray(query_tokens, dtype=np.float32)
    if query.ndim != 2:
        raise ValueError(f"query_tokens: expected a (tokens, dim) array, got {query.ndim} dimensions")
    unit_query = _unit(query)
    if isinstance(chunk_tokens, np.ndarray) and chunk_tokens.ndim == 3:
        documents: Any = _unit(chunk_tokens.astype(np.float32, copy=False))
    else:
        documents = [_unit(np.asarray(tokens, dtype=np.float32)) for tokens in chunk_tokens]
    # One "query" per token: its MaxSim against a chunk is the token's best cosine there.
    scores = maxsim(unit_query[:, None, :], documents, document_lengths=chunk_lengths)
    matrix = np.asarray(scores, dtype=np.float32)
    matrix[~np.isfinite(matrix)] = 0.0  # chunks without tokens
    return matrix


def _unit(vectors: NDArray[np.float32]) -> NDArray[np.float32]:
    norms = np.linalg.norm(vectors.astype(np.float64), axis=-1, keepdims=True)
    return (vectors / np.where(norms > 0.0, norms, 1.0)).astype(np.float32)


def combine_coverage(
    parts: Sequence[tuple[Any, Any]], shares: Sequence[float] | None = None
) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """Stack coverage matrices of one set of chunks, (matrix, token weights) each.

    Each part's token weights are scaled to add up to its share (equal shares
    when not given), so a query of many lexical terms does not outvote a
    source of few tokens. Returns the stacked matrix and weights.
    """
    if not parts:
        raise ValueError("parts: expected at least one (matrix, weights) pair")
    shares = [1.0 / len(parts)] * len(parts) if shares is None else [float(s) for s in shares]
    if len(shares) != len(parts):
        raise ValueError(f"shares: expected {len(parts)} values, got {len(shares)}")
    matrices, weights = [], []
    for (matrix, token_weights), share in zip(parts, shares):
        m = np.asarray(matrix, dtype=np.float32)
        w = np.ones(len(m), np.float64) if token_weights is None else np.asarray(token_weights, np.float64)
        total = w.sum()
        matrices.append(m)
        weights.append(w * (share / total) if total > 0 else w * 0.0)
    return np.vstack(matrices).astype(np.float32), np.concatenate(weights).astype(np.float32)
