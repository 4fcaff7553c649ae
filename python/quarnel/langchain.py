"""LangChain adapter: `QuarnelCompressor`, a document compressor that selects.

Needs langchain-core: ``pip install 'quarnel_solver[langchain]'``.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from ._extras import missing_extra

try:
    from langchain_core.callbacks import Callbacks
    from langchain_core.documents import BaseDocumentCompressor, Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables import RunnableConfig, RunnableSerializable
    from pydantic import ConfigDict, Field
except ImportError as error:
    raise missing_extra("langchain", "langchain-core", "langchain") from error

from ._documents import metadata_columns
from .selection import Selection
from .selector import ContextSelector

__all__ = ["QuarnelCompressor"]


class QuarnelCompressor(BaseDocumentCompressor, RunnableSerializable[Mapping[str, Any], list[Document]]):
    """Keeps the documents that best serve the query within a token budget.

    It embeds the query and the documents' text with `embeddings`, lets
    `selector` choose, and returns the chosen documents most relevant first,
    as copies whose metadata gains "relevance_score" (the cosine with the
    query). Metadata keys give the per-document data: `source_key` the source
    that `per_source` caps, `role_key` a role name, `token_count_key` a token
    count (otherwise the selector counts the text), `score_keys` secondary
    scores by name, e.g. {"recency": "freshness"}.

    Use it as the `base_compressor` of a `ContextualCompressionRetriever`, or
    as a runnable step taking {"documents": [...], "query": "..."}.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    embeddings: Embeddings
    selector: ContextSelector = Field(default_factory=ContextSelector)
    source_key: str | None = "source"
    role_key: str | None = None
    token_count_key: str | None = None
    score_keys: dict[str, str] = Field(default_factory=dict)

    def select(self, documents: Sequence[Document], query: str) -> Selection[Document]:
        """The full `Selection` for these documents, for callers who want its report."""
        texts = [doc.page_content for doc in documents]
        vectors = self.embeddings.embed_documents(texts) if texts else []
        return self._select(documents, texts, self.embeddings.embed_query(query), vectors)

    def _select(
        self, documents: Sequence[Document], texts: list[str], query_vector: Any, vectors: Any
    ) -> Selection[Document]:
        try:
            given = len(vectors)
        except TypeError:
            given = None
        if given is not None and given != len(documents):
            raise ValueError(
                f"embeddings: {type(self.embeddings).__name__} returned {given} vectors for {len(documents)} "
                "documents; expected one per document"
            )
        columns = metadata_columns(
            [doc.metadata for doc in documents],
            "documents[{}].metadata",
            source_key=self.source_key,
            role_key=self.role_key,
            token_count_key=self.token_count_key,
            score_keys=self.score_keys,
        )
        ids = [doc.id if doc.id is not None else k for k, doc in enumerate(documents)]
        return self.selector.select(query_vector, vectors, texts=texts, ids=ids, items=documents, **columns)

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
        texts = [doc.page_content for doc in documents]
        vectors = await self.embeddings.aembed_documents(texts) if texts else []
        query_vector = await self.embeddings.aembed_query(query)
        return self._chosen(self._select(documents, texts, query_vector, vectors))

    def invoke(self, input: Mapping[str, Any], config: RunnableConfig | None = None, **kwargs: Any) -> list[Document]:
        return self._call_with_config(lambda step: self._chosen(self.select(*_step_input(step))), input, config)


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
