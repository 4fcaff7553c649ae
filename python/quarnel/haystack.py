"""Haystack adapter (2.x and 3.x): `QuarnelRanker`, a component that selects documents.

Needs haystack-ai: ``pip install 'quarnel_solver[haystack]'``.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable, Mapping
from typing import Any

from ._extras import missing_extra

try:
    from haystack import Document, component, default_from_dict, default_to_dict
except ImportError as error:
    raise missing_extra("haystack", "haystack-ai", "haystack") from error

from . import _inputs
from ._documents import metadata_columns
from .defaults import DEFAULTS, CosineMeasure
from .selection import Selection
from .selector import ContextSelector

__all__ = ["QuarnelRanker"]


@component
class QuarnelRanker:
    """Keeps the documents that best serve the query within a token budget.

    `run(documents, query_embedding)` uses each document's `embedding`, and
    its `score` from the retriever when every document has one (scaled to
    0-1 over the documents given, as the auxiliary score). It returns the
    chosen documents most relevant first, as copies whose `score` is their
    cosine with the query. Meta fields give the per-document data:
    `source_key` the source that `per_source` caps, `role_key` a role name,
    `token_count_key` a token count (otherwise the content's words are
    counted), `score_keys` secondary scores by name, e.g. {"recency": "age_rank"}.
    The other parameters are those of `quarnel.ContextSelector`.
    """

    def __init__(
        self,
        token_budget: int = DEFAULTS.token_budget,
        max_chunks: int | None = DEFAULTS.max_chunks,
        min_chunks: int = 1,
        per_source: int | None = DEFAULTS.per_source,
        must_include_roles: list[str] | None = None,
        weights: dict[str, float] | None = None,
        pool_size: int | None = DEFAULTS.pool_size,
        relevance_floor: float | None = DEFAULTS.relevance_floor,
        relevance: CosineMeasure = DEFAULTS.relevance,
        redundancy: CosineMeasure = DEFAULTS.redundancy,
        source_key: str | None = "file_path",
        role_key: str | None = None,
        token_count_key: str | None = None,
        score_keys: dict[str, str] | None = None,
        use_document_scores: bool = True,
    ) -> None:
        self._init_parameters: dict[str, Any] = {
            "token_budget": token_budget,
            "max_chunks": max_chunks,
            "min_chunks": min_chunks,
            "per_source": per_source,
            "must_include_roles": must_include_roles,
            "weights": weights,
            "pool_size": pool_size,
            "relevance_floor": relevance_floor,
            "relevance": relevance,
            "redundancy": redundancy,
            "source_key": source_key,
            "role_key": role_key,
            "token_count_key": token_count_key,
            "score_keys": score_keys,
            "use_document_scores": use_document_scores,
        }
        self.selector = ContextSelector(
            token_budget,
            max_chunks=max_chunks,
            min_chunks=min_chunks,
            per_source=per_source,
            must_include_roles=must_include_roles or (),
            weights=weights,
            pool_size=pool_size,
            relevance_floor=relevance_floor,
            relevance=relevance,
            redundancy=redundancy,
        )
        self.source_key = source_key
        self.role_key = role_key
        self.token_count_key = token_count_key
        self.score_keys = dict(score_keys or {})
        self.use_document_scores = use_document_scores

    def to_dict(self) -> dict[str, Any]:
        return default_to_dict(self, **self._init_parameters)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> QuarnelRanker:
        return default_from_dict(cls, data)

    def select(self, documents: list[Document], query_embedding: Iterable[float]) -> Selection[Document]:
        """The full `Selection` for these documents, for callers who want its report."""
        texts, vectors = [], []
        for k, doc in enumerate(documents):
            if not isinstance(doc, Document):
                raise TypeError(f"documents[{k}]: expected a haystack Document, got {type(doc).__name__}")
            if doc.embedding is None:
                raise ValueError(
                    f"documents[{k}].embedding: missing; embed the documents first "
                    "(a document embedder, or a retriever with return_embedding=True)"
                )
            if not isinstance(doc.content, str):
                raise TypeError(f"documents[{k}].content: expected str, got {type(doc.content).__name__}")
            texts.append(doc.content)
            vectors.append(doc.embedding)
        columns = metadata_columns(
            [doc.meta for doc in documents],
            "documents[{}].meta",
            source_key=self.source_key,
            role_key=self.role_key,
            token_count_key=self.token_count_key,
            score_keys=self.score_keys,
        )
        if self.use_document_scores and documents and all(doc.score is not None for doc in documents):
            retriever_scores = [
                _inputs.finite_number(f"documents[{k}].score", doc.score) for k, doc in enumerate(documents)
            ]
            columns.setdefault("scores", {})["auxiliary"] = _unit_range(retriever_scores)
        return self.selector.select(
            query_embedding, vectors, texts=texts, ids=[doc.id for doc in documents], items=documents, **columns
        )

    @component.output_types(documents=list[Document])
    def run(self, documents: list[Document], query_embedding: list[float]) -> dict[str, list[Document]]:
        selection = self.select(documents, query_embedding)
        relevance: Mapping[int, float] = dict(zip(selection.indices, selection.relevance))
        return {
            "documents": [
                dataclasses.replace(doc, score=relevance[index])
                for index, doc in zip(selection.ranked_indices, selection.ranked_items)
            ]
        }


def _unit_range(scores: list[float]) -> list[float]:
    """Scores mapped linearly onto 0-1 (all 1 when they are equal): retrievers'
    scales differ (BM25 is unbounded), the order within one call is what counts."""
    low, high = min(scores), max(scores)
    if not high > low:
        return [1.0] * len(scores)
    if math.isinf(high - low):  # a span past the float range: halving is exact and changes no ratio
        scores, low, high = [s * 0.5 for s in scores], low * 0.5, high * 0.5
    return [(s - low) / (high - low) for s in scores]
