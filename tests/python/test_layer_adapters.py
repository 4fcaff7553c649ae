"""The LangChain and Haystack adapters, offline: documents in, the chosen documents out."""

import asyncio
import os
import subprocess
import sys

import numpy as np
import pytest

import quarnel

os.environ["HAYSTACK_TELEMETRY_ENABLED"] = "False"


def topic_vectors(count, dim=32, seed=0):
    """Document vectors around four topic directions, and a query near topic 1."""
    rng = np.random.default_rng(seed)
    topics = rng.standard_normal((4, dim))
    vectors = topics[np.arange(count) % 4] + 0.6 * rng.standard_normal((count, dim))
    return vectors, topics[1] + 0.1 * rng.standard_normal(dim)


@pytest.mark.parametrize(
    "adapter, package, extra", [("langchain", "langchain_core", "langchain"), ("haystack", "haystack", "haystack")]
)
def test_adapter_without_its_framework_names_the_extra(adapter, package, extra):
    code = f"import sys; sys.modules[{package!r}] = None\nimport quarnel.{adapter}"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 1
    assert f"pip install 'quarnel_solver[{extra}]'" in run.stderr.splitlines()[-1]


class TestLangChain:
    @pytest.fixture
    def setup(self):
        pytest.importorskip("langchain_core")
        from langchain_core.documents import Document
        from langchain_core.embeddings import DeterministicFakeEmbedding

        docs = [
            Document(page_content=f"passage {k} " * 20, metadata={"source": f"s{k % 3}", "n": k}, id=f"d{k}")
            for k in range(15)
        ]
        return docs, DeterministicFakeEmbedding(size=48)

    def test_compression_retriever_and_runnable_step_agree(self, setup):
        from langchain_classic.retrievers import ContextualCompressionRetriever
        from langchain_core.runnables import RunnablePassthrough
        from langchain_core.vectorstores import InMemoryVectorStore

        from quarnel.langchain import QuarnelCompressor

        docs, embeddings = setup
        retriever = InMemoryVectorStore.from_documents(docs, embeddings).as_retriever(search_kwargs={"k": 12})
        compressor = QuarnelCompressor(embeddings=embeddings, selector=quarnel.ContextSelector(200, per_source=1))
        retrieve = ContextualCompressionRetriever(base_compressor=compressor, base_retriever=retriever)
        chosen = retrieve.invoke("passage 3")
        assert 0 < len(chosen) * 52 <= 200  # 40 words each, 52 tokens by the word estimate
        scores = [d.metadata["relevance_score"] for d in chosen]
        assert scores == sorted(scores, reverse=True) and min(scores) > 0
        assert len({d.metadata["source"] for d in chosen}) == len(chosen)  # one per source
        by_id = {d.id: d for d in docs}
        for d in chosen:  # metadata kept on copies; the originals untouched
            assert d.page_content == by_id[d.id].page_content and d.metadata["n"] == by_id[d.id].metadata["n"]
            assert "relevance_score" not in by_id[d.id].metadata
        step = {"documents": retriever, "query": RunnablePassthrough()} | compressor
        assert [d.id for d in step.invoke("passage 3")] == [d.id for d in chosen]
        again = asyncio.run(compressor.acompress_documents(retriever.invoke("passage 3"), "passage 3"))
        assert [d.id for d in again] == [d.id for d in chosen]

    def test_metadata_errors_name_the_document(self, setup):
        from quarnel.langchain import QuarnelCompressor

        docs, embeddings = setup
        docs[4].metadata["tokens"] = "many"
        compressor = QuarnelCompressor(embeddings=embeddings, token_count_key="tokens")
        with pytest.raises(TypeError, match=r"documents\[4\]\.metadata\['tokens'\]: expected a non-negative int"):
            compressor.compress_documents(docs, "passage")
        assert compressor.compress_documents([], "passage") == []


class TestHaystack:
    @pytest.fixture
    def docs(self):
        pytest.importorskip("haystack")
        from haystack import Document

        vectors, query = topic_vectors(24)
        docs = [
            Document(content=f"text {k} " * 30, embedding=v.tolist(), meta={"file_path": f"f{k % 6}"}, score=float(k))
            for k, v in enumerate(vectors)
        ]
        return docs, query.tolist()

    def test_run_returns_the_chosen_documents_by_relevance(self, docs):
        from quarnel.haystack import QuarnelRanker

        documents, query = docs
        ranker = QuarnelRanker(token_budget=300, per_source=1)
        chosen = ranker.run(documents=documents, query_embedding=query)["documents"]
        selection = ranker.select(documents, query)
        assert [d.id for d in chosen] == [documents[i].id for i in selection.ranked_indices]
        assert [d.score for d in chosen] == sorted(d.score for d in chosen)[::-1]
        assert [d.score for d in documents] == [float(k) for k in range(24)]  # originals untouched
        assert len({d.meta["file_path"] for d in chosen}) == len(chosen)
        assert selection.breakdown["auxiliary"] > 0  # the retriever's scores took part
        assert QuarnelRanker(use_document_scores=False).select(documents, query).breakdown["auxiliary"] == 0

    def test_serialisation_round_trip_and_a_two_step_pipeline(self, docs):
        from haystack import Pipeline
        from haystack.components.retrievers.in_memory import InMemoryEmbeddingRetriever
        from haystack.document_stores.in_memory import InMemoryDocumentStore

        from quarnel.haystack import QuarnelRanker

        documents, query = docs
        ranker = QuarnelRanker(250, must_include_roles=["example"], role_key="kind", weights={"redundancy": 0.3})
        data = ranker.to_dict()
        assert data["type"] == "quarnel.haystack.QuarnelRanker"
        assert QuarnelRanker.from_dict(data).to_dict() == data

        store = InMemoryDocumentStore()
        store.write_documents(documents)
        pipeline = Pipeline()
        pipeline.add_component("retriever", InMemoryEmbeddingRetriever(store, top_k=10, return_embedding=True))
        pipeline.add_component("ranker", QuarnelRanker(token_budget=250))
        pipeline.connect("retriever.documents", "ranker.documents")
        result = pipeline.run({"retriever": {"query_embedding": query}, "ranker": {"query_embedding": query}})
        chosen = result["ranker"]["documents"]
        assert 0 < len(chosen) <= 6 and all(d.embedding is not None for d in chosen)

    def test_documents_without_embedding_are_named(self, docs):
        from haystack import Document

        from quarnel.haystack import QuarnelRanker

        documents, query = docs
        with pytest.raises(ValueError, match=r"documents\[1\]\.embedding: missing"):
            QuarnelRanker().run(documents=[documents[0], Document(content="x")], query_embedding=query)
