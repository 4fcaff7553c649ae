"""LangChain adapter: `QuarnelCompressor`, a document compressor that selects.

Needs langchain-core: ``pip install 'quarnel_solver[langchain]'``.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Optional

from ._extras import missing_extra

try:
    from langchain_core.callbacks import Callbacks
    from langchain_core.documents import BaseDocumentCompressor, Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables import RunnableConfig, RunnableSerializable
    from pydantic import ConfigDict, Field, model_validator
except ImportError as error:
    raise missing_extra("langchain", "langchain-core", "langchain") from error

from ._adapters import embedded, first_copies, selector_from
from ._documents import metadata_columns
from .selection import Selection
from .selector import ContextSelector

__all__ = ["QuarnelCompressor"]


class QuarnelCompressor(BaseDocumentCompressor, RunnableSerializable[Mapping[str, Any], list[Document]]):
    """Keeps the documents that best serve the query within a token budget.

    It embeds the query and the documents' text with `embeddings`, lets the
    selector choose (with the query text as well as its embedding), and
    returns the chosen documents most relevant first, as copies whose
    metadata gains "relevance_score" (the cosine with the query). A document
    given twice (the same id, or the same text) counts once.

    The selector is `selector`, or one built from the options `token_budget`,
    `max_chunks`, `min_chunks`, `per_source`, `must_include_roles`,
    `weights`, `pool_size`, `relevance_floor`, `token_counter` and `strict`
    (those of `quarnel.ContextSelector`); not both. Metadata keys give the
    per-document data: `source_key` the source that `per_source` caps,
    `role_key` a role name, `token_count_key` a token count (otherwise the
    selector counts the text), `score_keys` secondary scores by name, e.g.
    {"recency": "freshness"}.

    Use it as the `base_compressor` of a `ContextualCompressionRetriever`, or
    as a runnable step taking {"documents": [...], "query": "..."}; `ainvoke`,
    `abatch` and `acompress_documents` embed through the model's async methods.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    embeddings: Embeddings
    selector: ContextSelector = Field(default_factory=ContextSelector)
    source_key: Optional[str] = "source"
    role_key: Optional[str] = None
    token_count_key: Optional[str] = None
    score_keys: dict[str, str] = Field(default_factory=dict)
    # Selector options; None leaves the default of ContextSelector.
    token_budget: Optional[int] = None
    max_chunks: Optional[int] = None
    min_chunks: Optional[int] = None
    per_source: Optional[int] = None
    must_include_roles: Optional[list[str]] = None
    weights: Optional[dict[str, float]] = None
    pool_size: Optional[int] = None
    relevance_floor: Optional[float] = None
    token_counter: Any = None
    strict: Optional[bool] = None

    @model_validator(mode="after")
    def _build_selector(self) -> QuarnelCompressor:
        given = {name: getattr(self, name) for name in self.model_fields_set}
        selector = self.selector if "selector" in self.model_fields_set else None
        self.__dict__["selector"] = selector_from("QuarnelCompressor", given, selector)
        return self

    def select(self, documents: Sequence[Document], query: str) -> Selection[Document]:
        """The full `Selection` for these documents, for callers who want its report."""
        documents = _distinct(documents)
        texts = [doc.page_content for doc in documents]
        vectors = self.embeddings.embed_documents(texts) if texts else []
        return self._select(documents, query, self.embeddings.embed_query(query), vectors)

    async def aselect(self, documents: Sequence[Document], query: str) -> Selection[Document]:
        """`select` through the embedding model's async methods."""
        documents = _distinct(documents)
        texts = [doc.page_content for doc in documents]
        vectors = await self.embeddings.aembed_documents(texts) if texts else []
        return self._select(documents, query, await self.embeddings.aembed_query(query), vectors)

    def _select(
        self, documents: list[Document], query: str, query_vector: Any, vectors: Any
    ) -> Selection[Document]:
        columns = metadata_columns(
            [doc.metadata for doc in documents],
            "documents[{}].metadata",
            source_key=self.source_key,
            role_key=self.role_key,
            token_count_key=self.token_count_key,
            score_keys=self.score_keys,
        )
        vectors = embedded("embeddings.embed_documents", vectors, len(documents))
        ids = [doc.id if doc.id is not None else k for k, doc in enumerate(documents)]
        texts = [doc.page_content for doc in documents]
        return self.selector.select(
            query_vector, vectors, texts=texts, ids=ids, items=documents, query_text=query, **columns
        )

    @staticmethod
    def _chosen(selection: Selection[Document]) -> list[Document]:
        relevance = dict(zip(selection.indices, selection.relevance))
        return [
            doc.model_copy(update={"metadata": {**doc.metadata, "relevance_score": relevance[index]}})
            for index, doc in zip(selection.ranked_indices, selection.ranked_items)
        ]

    def compress_documents(
        self, documents: Sequence[Document], query: str, callbacks: Callbacks | None = None
    ) -> Sequence[Document]:
        return self._chosen(self.select(documents, query))

    async def acompress_documents(
        self, documents: Sequence[Document], query: str, callbacks: Callbacks | None = None
    ) -> Sequence[Document]:
        return self._chosen(await self.aselect(documents, query))

    def invoke(self, input: Mapping[str, Any], config: RunnableConfig | None = None, **kwargs: Any) -> list[Document]:
        return self._call_with_config(lambda step: self._chosen(self.select(*_step_input(step))), input, config)

    async def ainvoke(
        self, input: Mapping[str, Any], config: RunnableConfig | None = None, **kwargs: Any
    ) -> list[Document]:
        # Runnable's own ainvoke (and abatch, which calls it) would run the
        # sync embedding calls on a worker thread.
        async def step(value: Mapping[str, Any]) -> list[Document]:
            return self._chosen(await self.aselect(*_step_input(value)))

        return await self._acall_with_config(step, input, config)


def _distinct(documents: Sequence[Document]) -> list[Document]:
    documents = list(documents)
    kept = first_copies([doc.id for doc in documents], [doc.page_content for doc in documents])
    return documents if len(kept) == len(documents) else [documents[k] for k in kept]


def _step_input(value: Mapping[str, Any]) -> tuple[Sequence[Document], str]:
    if not isinstance(value, Mapping) or "documents" not in value or "query" not in value:
        raise TypeError(
            "QuarnelCompressor.invoke: expected a mapping with 'documents' and 'query', "
            f"got {type(value).__name__}"
        )
    query = value["query"]
    if not isinstance(query, str):
        raise TypeError(f"QuarnelCompressor.invoke: 'query' must be a str, got {type(query).__name__}")
    return list(value["documents"]), query
