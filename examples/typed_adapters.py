"""The three framework adapters and `quarnel.maxsim`, fully typed (checked with mypy --strict and
basedpyright): LangChain, Haystack and LlamaIndex each choose documents within a token budget, offline.

Run it with ``python examples/typed_adapters.py`` (needs the langchain, haystack and llama-index extras).
"""

from __future__ import annotations

import asyncio
import os
import re
import zlib

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import quarnel


def word_vector(text: str, dim: int = 64) -> list[float]:
    """A deterministic bag-of-words embedding, for running offline."""
    vector = [0.0] * dim
    for word in re.findall(r"\w+", text.lower()):
        vector[zlib.crc32(word.encode()) % dim] += 1.0
    return vector


TEXTS = [f"topic {k % 4} note {k} " + "word " * (20 + k) for k in range(16)]


def langchain_choice() -> list[str]:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings

    from quarnel.langchain import QuarnelCompressor

    class Words(Embeddings):
        def embed_documents(self, texts: list[str]) -> list[list[float]]:
            return [word_vector(t) for t in texts]

        def embed_query(self, text: str) -> list[float]:
            return word_vector(text)

    compressor = QuarnelCompressor(embeddings=Words(), token_budget=200)
    docs = [Document(page_content=text, metadata={"source": f"s{k % 3}"}) for k, text in enumerate(TEXTS)]
    selection: quarnel.Selection[Document] = compressor.select(docs, "topic 1")
    chosen = asyncio.run(compressor.ainvoke({"documents": docs, "query": "topic 1"}))
    assert [d.page_content for d in chosen] == [d.page_content for d in selection.ranked_items]
    return [d.page_content for d in chosen]


def haystack_choice() -> list[str]:
    os.environ.setdefault("HAYSTACK_TELEMETRY_ENABLED", "False")
    from haystack import Document

    from quarnel.haystack import QuarnelRanker

    ranker = QuarnelRanker(token_budget=200, top_k=3)
    docs = [Document(content=text, embedding=word_vector(text)) for text in TEXTS]
    chosen: list[Document] = ranker.run(documents=docs, query_embedding=word_vector("topic 1"), query="topic 1")[
        "documents"
    ]
    return [d.content or "" for d in chosen]


def llama_index_choice() -> list[str]:
    from llama_index.core.base.embeddings.base import BaseEmbedding
    from llama_index.core.schema import NodeWithScore, TextNode

    from quarnel.llama_index import QuarnelNodePostprocessor

    class Words(BaseEmbedding):
        def _get_query_embedding(self, query: str) -> list[float]:
            return word_vector(query)

        def _get_text_embedding(self, text: str) -> list[float]:
            return word_vector(text)

        async def _aget_query_embedding(self, query: str) -> list[float]:
            return word_vector(query)

    postprocessor = QuarnelNodePostprocessor(embed_model=Words(), token_budget=200, source_key=None)
    nodes = [NodeWithScore(node=TextNode(text=text), score=0.5) for text in TEXTS]
    chosen = postprocessor.postprocess_nodes(nodes, query_str="topic 1")
    return [n.node.get_content() for n in chosen]


def best_document_per_query() -> NDArray[np.intp]:
    rng = np.random.default_rng(0)
    queries = rng.standard_normal((2, 4, 16)).astype(np.float32)
    documents = rng.standard_normal((5, 9, 16)).astype(np.float32)
    scores = assert_type(quarnel.maxsim(queries, documents), NDArray[np.float32])
    per_candidate = assert_type(
        quarnel.maxsim(queries, documents, candidates=[[0, 2], [4]]), list[NDArray[np.float32]]
    )
    assert len(per_candidate) == 2
    best: NDArray[np.intp] = scores.argmax(axis=1)  # an array in, an array out: no union to narrow
    return best


def texts_selection() -> quarnel.Selection[str]:
    vectors = np.array([word_vector(t) for t in TEXTS])
    selection = quarnel.ContextSelector(200).select(word_vector("topic 1"), vectors, texts=TEXTS, query_text="topic 1")
    return assert_type(selection, quarnel.Selection[str])


def main() -> None:
    for name, chosen in (
        ("LangChain", langchain_choice()),
        ("Haystack", haystack_choice()),
        ("LlamaIndex", llama_index_choice()),
    ):
        print(f"{name}: {len(chosen)} chosen, first {chosen[0][:16]!r}")
    print("best document per query:", best_document_per_query().tolist())
    first: str = texts_selection().items[0]
    print("a text item:", first[:16])


if __name__ == "__main__":
    main()
