"""Haystack adapter (2.x and 3.x): `QuarnelRanker`, a component that selects documents.

Needs haystack-ai: ``pip install 'quarnel_solver[haystack]'``.
"""

# No `from __future__ import annotations` here: Haystack before 2.24 reads the
# run method's annotations as objects to type its sockets.

import dataclasses
import importlib
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Optional, Union

from ._extras import missing_extra

try:
    from haystack import Document, component, default_from_dict, default_to_dict
except ImportError as error:
    raise missing_extra("haystack", "haystack-ai", "haystack") from error

from . import _inputs
from ._adapters import first_copies
from ._documents import metadata_columns
from .defaults import DEFAULTS, CosineMeasure
from .selection import Selection
from .selector import ContextSelector

__all__ = ["QuarnelRanker"]


@component
class QuarnelRanker:
    """Keeps the documents that best serve the query within a token budget.

    `run(documents, query_embedding, query=None, token_budget=None,
    top_k=None)` uses each document's `embedding`, the query text when given,
    and each document's retriever `score` when every document has one
    (scaled to 0-1 over the documents given, as the auxiliary score). It
    returns at most `top_k` documents, the chosen ones most relevant first,
    as copies whose `score` is their cosine with the query; the retriever's
    score moves to `meta[score_meta_key]`. A document given twice (the same
    id, or the same content) counts once. `token_budget` and `top_k` given to
    `run` override the component's for that call.

    Meta fields give the per-document data: `source_key` the source that
    `per_source` caps, `role_key` a role name, `token_count_key` a token
    count (otherwise `token_counter`, a function or its import path such as
    "my_pkg.tokens.count", counts the content, else its words are counted),
    `score_keys` secondary scores by name, e.g. {"recency": "age_rank"}.
    The other parameters are those of `quarnel.ContextSelector`.
    """

    def __init__(
        self,
        token_budget: int = DEFAULTS.token_budget,
        top_k: Optional[int] = None,
        max_chunks: Optional[int] = DEFAULTS.max_chunks,
        min_chunks: int = 1,
        per_source: Optional[int] = DEFAULTS.per_source,
        must_include_roles: Optional[list[str]] = None,
        weights: Optional[dict[str, float]] = None,
        pool_size: Optional[int] = DEFAULTS.pool_size,
        relevance_floor: Optional[float] = DEFAULTS.relevance_floor,
        relevance: CosineMeasure = DEFAULTS.relevance,
        redundancy: CosineMeasure = DEFAULTS.redundancy,
        source_key: Optional[str] = "file_path",
        role_key: Optional[str] = None,
        token_count_key: Optional[str] = None,
        score_keys: Optional[dict[str, str]] = None,
        use_document_scores: bool = True,
        token_counter: Union[Callable[[str], int], str, None] = None,
        score_meta_key: Optional[str] = "retriever_score",
        strict: bool = False,
    ) -> None:
        counter_path = None if token_counter is None else _import_path(token_counter)
        self._init_parameters: dict[str, Any] = {
            "token_budget": token_budget,
            "top_k": top_k,
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
            "token_counter": counter_path,
            "score_meta_key": score_meta_key,
            "strict": strict,
        }
        self._options: dict[str, Any] = {
            "max_chunks": max_chunks,
            "min_chunks": min_chunks,
            "per_source": per_source,
            "must_include_roles": must_include_roles or (),
            "weights": weights,
            "pool_size": pool_size,
            "relevance_floor": relevance_floor,
            "relevance": relevance,
            "redundancy": redundancy,
            "token_counter": None if token_counter is None else _resolve(token_counter),
            "strict": strict,
        }
        self._selectors: dict[tuple[Any, Any], ContextSelector] = {}
        self.top_k = None if top_k is None else _positive("top_k", top_k)
        self.selector = self._selector(token_budget, self.top_k)
        self.source_key = source_key
        self.role_key = role_key
        self.token_count_key = token_count_key
        self.score_keys = dict(score_keys or {})
        self.use_document_scores = use_document_scores
        self.score_meta_key = score_meta_key

    def _selector(self, token_budget: int, top_k: Optional[int]) -> ContextSelector:
        """The selector for this budget and top_k, built once for each pair asked for."""
        selector = self._selectors.get((token_budget, top_k))
        if selector is None:
            options = dict(self._options)
            if top_k is not None:
                limit = options["max_chunks"]
                options["max_chunks"] = top_k if limit is None else min(limit, top_k)
            selector = ContextSelector(token_budget, **options)
            if len(self._selectors) < 64:  # run-time overrides are few; never grow without bound
                self._selectors[(token_budget, top_k)] = selector
        return selector

    def to_dict(self) -> dict[str, Any]:
        return default_to_dict(self, **self._init_parameters)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> "QuarnelRanker":
        return default_from_dict(cls, data)

    def select(
        self,
        documents: list[Document],
        query_embedding: Iterable[float],
        query: Optional[str] = None,
        token_budget: Optional[int] = None,
        top_k: Optional[int] = None,
    ) -> Selection[Document]:
        """The full `Selection` for these documents, for callers who want its report."""
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
        kept = first_copies([doc.id for doc in documents], [doc.content or "" for doc in documents])
        documents = [documents[k] for k in kept]
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
                _inputs.finite_number(f"documents[{kept[k]}].score", doc.score) for k, doc in enumerate(documents)
            ]
            columns.setdefault("scores", {})["auxiliary"] = _unit_range(retriever_scores)
        if token_budget is None and top_k is None:
            selector = self.selector
        else:
            budget = self.selector.token_budget if token_budget is None else token_budget
            selector = self._selector(budget, self.top_k if top_k is None else _positive("top_k", top_k))
        return selector.select(
            query_embedding,
            [doc.embedding for doc in documents],
            texts=[doc.content or "" for doc in documents],
            ids=[doc.id for doc in documents],
            items=documents,
            query_text=query,
            **columns,
        )

    @component.output_types(documents=list[Document])
    def run(
        self,
        documents: list[Document],
        query_embedding: list[float],
        query: Optional[str] = None,
        token_budget: Optional[int] = None,
        top_k: Optional[int] = None,
    ) -> dict[str, list[Document]]:
        selection = self.select(documents, query_embedding, query, token_budget, top_k)
        relevance: Mapping[int, float] = dict(zip(selection.indices, selection.relevance))
        return {"documents": [self._scored(doc, relevance[index]) for index, doc in
                              zip(selection.ranked_indices, selection.ranked_items)]}

    def _scored(self, doc: Document, relevance: float) -> Document:
        if self.score_meta_key is None or doc.score is None:
            return dataclasses.replace(doc, score=relevance)
        return dataclasses.replace(doc, score=relevance, meta={**doc.meta, self.score_meta_key: doc.score})


def _positive(name: str, value: object) -> int:
    count = _inputs.token_count(name, value)
    if count == 0:
        raise ValueError(f"{name}: expected a positive int, got int 0")
    return count


def _import_path(counter: Union[Callable[[str], int], str]) -> str:
    """How a token counter serialises: the import path of a module-level function."""
    if isinstance(counter, str):
        return counter
    module, name = getattr(counter, "__module__", None), getattr(counter, "__qualname__", "")
    if not callable(counter) or module is None or "<" in name:
        raise ValueError(
            "token_counter: expected a module-level function or its import path ('package.module.function'), "
            f"which the component's to_dict can write; got {_inputs.describe(counter)}"
        )
    return f"{module}.{name}"


def _resolve(counter: Union[Callable[[str], int], str]) -> Callable[[str], int]:
    if not isinstance(counter, str):
        return counter
    module, _, name = counter.rpartition(".")
    try:
        target: Any = importlib.import_module(module)
        for part in name.split("."):
            target = getattr(target, part)
    except (ImportError, AttributeError, ValueError) as error:
        raise ValueError(f"token_counter: cannot import {counter!r} ({error})") from error
    if not callable(target):
        raise TypeError(f"token_counter: {counter!r} is not callable")
    return target  # type: ignore[no-any-return]


def _unit_range(scores: list[float]) -> list[float]:
    """Scores mapped linearly onto 0-1 (all 1 when they are equal): retrievers'
    scales differ (BM25 is unbounded), the order within one call is what counts."""
    low, high = min(scores), max(scores)
    if not high > low:
        return [1.0] * len(scores)
    return [(s - low) / (high - low) for s in scores]
