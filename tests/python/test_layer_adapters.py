"""The LangChain, Haystack and LlamaIndex adapters, offline: documents in, the chosen documents out."""

import asyncio
import os
import re
import subprocess
import sys
import warnings
import zlib

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
    "adapter, package, extra",
    [
        ("langchain", "langchain_core", "langchain"),
        ("haystack", "haystack", "haystack"),
        ("llama_index", "llama_index.core", "llama-index"),
    ],
)
def test_adapter_without_its_framework_names_the_extra(adapter, package, extra):
    code = f"import sys; sys.modules[{package!r}] = None\nimport quarnel.{adapter}"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 1
    assert f"pip install 'quarnel_solver[{extra}]'" in run.stderr.splitlines()[-1]


def word_vector(text, dim=64):
    """A deterministic bag-of-words embedding: each word hashed into one of `dim` buckets."""
    vector = [0.0] * dim
    for word in re.findall(r"\w+", text.lower()):
        vector[zlib.crc32(word.encode()) % dim] += 1.0
    return vector


def spy_selector(seen, *args, **kwargs):
    """A ContextSelector that records the query_text each select receives."""

    class Spy(quarnel.ContextSelector):
        def select(self, *a, **k):
            seen.append(k.get("query_text"))
            return super().select(*a, **k)

    return Spy(*args, **kwargs)


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

    def test_runnable_step_and_compression_retriever_agree(self, setup):
        from langchain_core.runnables import RunnablePassthrough
        from langchain_core.vectorstores import InMemoryVectorStore

        from quarnel.langchain import QuarnelCompressor

        docs, embeddings = setup
        retriever = InMemoryVectorStore.from_documents(docs, embeddings).as_retriever(search_kwargs={"k": 12})
        compressor = QuarnelCompressor(embeddings=embeddings, selector=quarnel.ContextSelector(200, per_source=1))
        step = {"documents": retriever, "query": RunnablePassthrough()} | compressor
        chosen = step.invoke("passage 3")
        assert 0 < len(chosen) * 52 <= 200  # 40 words each, 52 tokens by the word estimate
        scores = [d.metadata["relevance_score"] for d in chosen]
        assert scores == sorted(scores, reverse=True) and min(scores) > 0
        assert len({d.metadata["source"] for d in chosen}) == len(chosen)  # one per source
        by_text = {d.page_content: d for d in docs}  # langchain-core 0.3.0's store gives new ids
        for d in chosen:  # metadata kept on copies; the originals untouched
            assert d.metadata["n"] == by_text[d.page_content].metadata["n"]
            assert "relevance_score" not in by_text[d.page_content].metadata
        again = asyncio.run(compressor.acompress_documents(retriever.invoke("passage 3"), "passage 3"))
        assert [d.id for d in again] == [d.id for d in chosen]
        # ContextualCompressionRetriever lives in langchain-classic (langchain before 1.0).
        classic = pytest.importorskip("langchain_classic.retrievers")
        retrieve = classic.ContextualCompressionRetriever(base_compressor=compressor, base_retriever=retriever)
        assert [d.id for d in retrieve.invoke("passage 3")] == [d.id for d in chosen]

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


class TestLangChainOptions:
    @pytest.fixture
    def parts(self):
        pytest.importorskip("langchain_core")
        from langchain_core.documents import Document
        from langchain_core.embeddings import Embeddings

        class AsyncOnly(Embeddings):
            """Embeds only through the async methods, so a sync call on a worker thread fails."""

            def embed_documents(self, texts):
                raise AssertionError("sync embed_documents called")

            def embed_query(self, text):
                raise AssertionError("sync embed_query called")

            async def aembed_documents(self, texts):
                return [word_vector(t) for t in texts]

            async def aembed_query(self, text):
                return word_vector(text)

        docs = [Document(page_content=f"topic {k % 4} note {k} " + "word " * 30, id=f"d{k}") for k in range(12)]
        return docs, AsyncOnly()

    def test_options_build_the_selector_and_unknown_ones_raise(self, parts):
        from pydantic import ValidationError

        from quarnel.langchain import QuarnelCompressor

        _, embeddings = parts
        compressor = QuarnelCompressor(embeddings=embeddings, token_budget=100, per_source=2, strict=True)
        assert (compressor.selector.token_budget, compressor.selector.per_source) == (100, 2)
        assert compressor.selector.strict
        with pytest.raises(ValidationError, match="token_bugdet"):
            QuarnelCompressor(embeddings=embeddings, token_bugdet=100)
        with pytest.raises(ValidationError, match="give either selector or token_budget"):
            QuarnelCompressor(embeddings=embeddings, selector=quarnel.ContextSelector(), token_budget=100)

    def test_async_calls_embed_asynchronously_with_the_query_text(self, parts):
        from quarnel.langchain import QuarnelCompressor

        docs, embeddings = parts
        seen = []
        compressor = QuarnelCompressor(embeddings=embeddings, selector=spy_selector(seen, 200))
        step = {"documents": docs + docs[:5], "query": "topic 1"}  # five documents twice
        one = asyncio.run(compressor.ainvoke(step))
        assert len({d.id for d in one}) == len(one) > 0
        both = asyncio.run(compressor.abatch([step, step]))
        assert [[d.id for d in b] for b in both] == [[d.id for d in one]] * 2
        assert seen == ["topic 1"] * 3

    def test_short_selections_and_miscounted_embeddings_are_reported(self, parts):
        from langchain_core.embeddings import DeterministicFakeEmbedding

        from quarnel.langchain import QuarnelCompressor

        docs, _ = parts

        class OneShort(DeterministicFakeEmbedding):
            def embed_documents(self, texts):
                return super().embed_documents(texts)[:-1]

        with pytest.warns(quarnel.SelectionWarning, match="chunk exceeds the budget of 30 tokens"):
            chosen = QuarnelCompressor(embeddings=DeterministicFakeEmbedding(size=16), token_budget=30)\
                .compress_documents(docs, "note")
        assert chosen == []
        with pytest.raises(ValueError, match=r"embeddings\.embed_documents: returned 11 vectors for 12 texts"):
            QuarnelCompressor(embeddings=OneShort(size=16)).compress_documents(docs, "note")


class TestHaystackOptions:
    @pytest.fixture
    def documents(self):
        pytest.importorskip("haystack")
        from haystack import Document

        return [
            Document(content=head + " word" * 30, embedding=word_vector(head), meta={"file_path": f"f{k}"},
                     score=float(k))
            for k, head in enumerate(f"topic {k % 4} note {k}" for k in range(12))
        ]

    def test_top_k_overrides_query_text_and_the_retriever_score(self, documents):
        from quarnel.haystack import QuarnelRanker

        seen = []
        ranker = QuarnelRanker(token_budget=500, top_k=3)
        ranker.selector = spy_selector(seen, 500, max_chunks=3)
        query = word_vector("topic 1")
        chosen = ranker.run(documents=documents + documents[:4], query_embedding=query, query="topic 1")["documents"]
        assert len(chosen) == 3 and len({d.id for d in chosen}) == 3 and seen == ["topic 1"]
        by_id = {d.id: d for d in documents}
        assert all(d.meta["retriever_score"] == by_id[d.id].score for d in chosen)
        assert len(ranker.run(documents=documents, query_embedding=query, top_k=1)["documents"]) == 1
        assert len(ranker.run(documents=documents, query_embedding=query, token_budget=45)["documents"]) == 1
        with pytest.warns(quarnel.SelectionWarning, match="chunk exceeds the budget of 20 tokens"):
            assert ranker.run(documents=documents, query_embedding=query, token_budget=20)["documents"] == []
        with pytest.raises(quarnel.SelectionError):
            QuarnelRanker(token_budget=20, strict=True).run(documents=documents, query_embedding=query)

    def test_token_counter_serialises_by_import_path(self, documents):
        from quarnel.haystack import QuarnelRanker

        ranker = QuarnelRanker(token_budget=500, token_counter=len)
        data = ranker.to_dict()
        assert data["init_parameters"]["token_counter"] == "builtins.len"
        again = QuarnelRanker.from_dict(data)
        assert again.select(documents, word_vector("topic 1")).tokens[0] == len(documents[0].content)
        with pytest.raises(ValueError, match="token_counter: expected a module-level function"):
            QuarnelRanker(token_counter=lambda text: 1)


class TestLlamaIndex:
    @pytest.fixture
    def index(self):
        pytest.importorskip("llama_index.core")
        from llama_index.core import Document, VectorStoreIndex
        from llama_index.core.base.embeddings.base import BaseEmbedding

        class WordEmbedding(BaseEmbedding):
            calls: int = 0

            def _get_query_embedding(self, query):
                return word_vector(query)

            def _get_text_embedding(self, text):
                self.calls += 1
                return word_vector(text)

            async def _aget_query_embedding(self, query):
                return word_vector(query)

        model = WordEmbedding()
        docs = [
            Document(text=f"topic {k % 5} note {k} " + "word " * (20 + k), metadata={"file_path": f"f{k % 5}.md"})
            for k in range(30)
        ]
        return VectorStoreIndex.from_documents(docs, embed_model=model), model

    def test_query_engine_sync_and_async_choose_the_same_nodes(self, index):
        from llama_index.core.llms import MockLLM

        from quarnel.llama_index import QuarnelNodePostprocessor

        index, model = index
        seen = []
        post = QuarnelNodePostprocessor(embed_model=model, selector=spy_selector(seen, 200, per_source=1))
        engine = index.as_query_engine(similarity_top_k=12, node_postprocessors=[post], llm=MockLLM())
        model.calls = 0
        chosen = engine.query("topic 3 notes").source_nodes
        assert 0 < len(chosen) and model.calls == 12  # the retriever's nodes come without embeddings
        assert len({n.node.metadata["file_path"] for n in chosen}) == len(chosen)
        assert [n.score for n in chosen] == sorted(n.score for n in chosen)[::-1]
        nodes = index.as_retriever(similarity_top_k=12).retrieve("topic 3 notes")
        again = asyncio.run(post.apostprocess_nodes(nodes + nodes[:3], query_str="topic 3 notes"))
        assert [n.node.node_id for n in again] == [n.node.node_id for n in chosen]
        assert seen == ["topic 3 notes"] * 2

    def test_settings_model_options_and_short_selections(self, index):
        from llama_index.core import Settings

        from quarnel.llama_index import QuarnelNodePostprocessor

        index, model = index
        nodes = index.as_retriever(similarity_top_k=8).retrieve("topic 2")
        previous, Settings.embed_model = Settings._embed_model, model
        try:
            post = QuarnelNodePostprocessor(token_budget=10)
            with pytest.warns(quarnel.SelectionWarning, match="chunk exceeds the budget of 10 tokens"):
                assert post.postprocess_nodes(nodes, query_str="topic 2") == []
        finally:
            Settings._embed_model = previous
        with pytest.raises(ValueError, match="give either selector or token_budget"):
            QuarnelNodePostprocessor(embed_model=model, selector=quarnel.ContextSelector(), token_budget=5)
        with pytest.raises(ValueError, match="budget"):
            QuarnelNodePostprocessor(embed_model=model, budget=5)
