"""LlamaIndex adapter: `QuarnelNodePostprocessor`, a node postprocessor that selects.

Needs llama-index-core: ``pip install 'quarnel_solver[llama-index]'``.
"""

from __future__ import annotations

from typing import Any, Optional

from ._extras import missing_extra

try:
    from llama_index.core import Settings
    from llama_index.core.base.embeddings.base import BaseEmbedding
    from llama_index.core.bridge.pydantic import ConfigDict, Field, model_validator
    from llama_index.core.postprocessor.types import BaseNodePostprocessor
    from llama_index.core.schema import MetadataMode, NodeWithScore, QueryBundle
except ImportError as error:
    raise missing_extra("llama_index", "llama-index-core", "llama-index") from error

from ._adapters import embedded, first_copies, selector_from
from ._documents import metadata_columns
from .selection import Selection
from .selector import ContextSelector

__all__ = ["QuarnelNodePostprocessor"]


class QuarnelNodePostprocessor(BaseNodePostprocessor):
    """Keeps the nodes that best serve the query within a token budget.

    Nodes that come without an embedding (retrievers usually return them so)
    are embedded with `embed_model`, else `Settings.embed_model`, as is the
    query unless the query bundle holds its embedding; the query text goes to
    the selector too. It returns the chosen nodes most relevant first, each
    in a new `NodeWithScore` whose `score` is its cosine with the query. A
    node given twice (the same id, or the same text) counts once.

    The selector is `selector`, or one built from the options `token_budget`,
    `max_chunks`, `min_chunks`, `per_source`, `must_include_roles`,
    `weights`, `pool_size`, `relevance_floor`, `token_counter` and `strict`
    (those of `quarnel.ContextSelector`); not both. Metadata keys give the
    per-node data: `source_key` the source that `per_source` caps,
    `role_key` a role name, `token_count_key` a token count (otherwise the
    selector counts the text the LLM sees), `score_keys` secondary scores
    by name.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    embed_model: Optional[BaseEmbedding] = None
    selector: ContextSelector = Field(default_factory=ContextSelector, exclude=True)
    source_key: Optional[str] = "file_path"
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
    token_counter: Any = Field(default=None, exclude=True)
    strict: Optional[bool] = None

    @model_validator(mode="after")
    def _build_selector(self) -> QuarnelNodePostprocessor:
        given = {name: getattr(self, name) for name in self.model_fields_set}
        selector = self.selector if "selector" in self.model_fields_set else None
        self.__dict__["selector"] = selector_from("QuarnelNodePostprocessor", given, selector)
        return self

    @classmethod
    def class_name(cls) -> str:
        return "QuarnelNodePostprocessor"

    def _model(self) -> BaseEmbedding:
        if self.embed_model is not None:
            return self.embed_model
        try:
            return Settings.embed_model
        except (ImportError, ValueError) as error:
            raise ValueError(
                f"embed_model: not given, and Settings.embed_model is not available ({error})"
            ) from error

    def select(self, nodes: list[NodeWithScore], query_bundle: Optional[QueryBundle]) -> Selection[NodeWithScore]:
        """The full `Selection` for these nodes, for callers who want its report."""
        nodes, texts, query = _prepared(nodes, query_bundle)
        missing = [k for k, n in enumerate(nodes) if n.node.embedding is None]
        vectors: list[Any] = [n.node.embedding for n in nodes]
        if missing:
            model = self._model()
            found = model.get_text_embedding_batch([_embedding_text(nodes[k]) for k in missing])
            for k, vector in zip(missing, embedded("embed_model.get_text_embedding_batch", found, len(missing))):
                vectors[k] = vector
        query_vector = query.embedding
        if query_vector is None:
            query_vector = self._model().get_agg_embedding_from_queries(query.embedding_strs)
        return self._select(nodes, texts, query, query_vector, vectors)

    async def aselect(
        self, nodes: list[NodeWithScore], query_bundle: Optional[QueryBundle]
    ) -> Selection[NodeWithScore]:
        """`select` through the embedding model's async methods."""
        nodes, texts, query = _prepared(nodes, query_bundle)
        missing = [k for k, n in enumerate(nodes) if n.node.embedding is None]
        vectors: list[Any] = [n.node.embedding for n in nodes]
        if missing:
            model = self._model()
            found = await model.aget_text_embedding_batch([_embedding_text(nodes[k]) for k in missing])
            for k, vector in zip(missing, embedded("embed_model.aget_text_embedding_batch", found, len(missing))):
                vectors[k] = vector
        query_vector = query.embedding
        if query_vector is None:
            query_vector = await self._model().aget_agg_embedding_from_queries(query.embedding_strs)
        return self._select(nodes, texts, query, query_vector, vectors)

    def _select(
        self, nodes: list[NodeWithScore], texts: list[str], query: QueryBundle, query_vector: Any, vectors: Any
    ) -> Selection[NodeWithScore]:
        columns = metadata_columns(
            [n.node.metadata for n in nodes],
            "nodes[{}].node.metadata",
            source_key=self.source_key,
            role_key=self.role_key,
            token_count_key=self.token_count_key,
            score_keys=self.score_keys,
        )
        return self.selector.select(
            query_vector, vectors, texts=texts, ids=[n.node.node_id for n in nodes], items=nodes,
            query_text=query.query_str, **columns,
        )

    def _postprocess_nodes(
        self, nodes: list[NodeWithScore], query_bundle: Optional[QueryBundle] = None
    ) -> list[NodeWithScore]:
        return _chosen(self.select(nodes, query_bundle))

    async def _apostprocess_nodes(
        self, nodes: list[NodeWithScore], query_bundle: Optional[QueryBundle] = None
    ) -> list[NodeWithScore]:
        return _chosen(await self.aselect(nodes, query_bundle))

    if not hasattr(BaseNodePostprocessor, "apostprocess_nodes"):  # older llama-index-core: no async entry point

        async def apostprocess_nodes(
            self,
            nodes: list[NodeWithScore],
            query_bundle: Optional[QueryBundle] = None,
            query_str: Optional[str] = None,
        ) -> list[NodeWithScore]:
            if query_str is not None and query_bundle is not None:
                raise ValueError("Cannot specify both query_str and query_bundle")
            if query_str is not None:
                query_bundle = QueryBundle(query_str)
            return await self._apostprocess_nodes(nodes, query_bundle)


def _prepared(
    nodes: list[NodeWithScore], query_bundle: Optional[QueryBundle]
) -> tuple[list[NodeWithScore], list[str], QueryBundle]:
    """The distinct nodes, the text each puts before the LLM, and the query."""
    if query_bundle is None:
        raise ValueError("query_bundle: required; the selection serves a query (pass query_str or query_bundle)")
    for k, node in enumerate(nodes):
        if not isinstance(node, NodeWithScore):
            raise TypeError(f"nodes[{k}]: expected a NodeWithScore, got {type(node).__name__}")
    texts = [n.node.get_content(metadata_mode=MetadataMode.LLM) for n in nodes]
    kept = first_copies([n.node.node_id for n in nodes], texts)
    return [nodes[k] for k in kept], [texts[k] for k in kept], query_bundle


def _embedding_text(node: NodeWithScore) -> str:
    return node.node.get_content(metadata_mode=MetadataMode.EMBED)


def _chosen(selection: Selection[NodeWithScore]) -> list[NodeWithScore]:
    relevance = dict(zip(selection.indices, selection.relevance))
    return [
        NodeWithScore(node=n.node, score=relevance[index])
        for index, n in zip(selection.ranked_indices, selection.ranked_items)
    ]
