"""The demo job (examples/select_context.py) and the modules it is built from."""

import collections
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SCRIPT = EXAMPLES / "select_context.py"
sys.path.insert(0, str(EXAMPLES))

import docs_corpus  # noqa: E402
import embedders  # noqa: E402
import selection  # noqa: E402

HAS_WORDLLAMA = bool(__import__("importlib").util.find_spec("wordllama"))


# ---- corpus, embeddings, baselines (pure Python and NumPy) ------------------


def test_passages_are_bounded_unique_and_located():
    chunks = docs_corpus.build_chunks(docs_corpus.load_topics())
    assert len(chunks) > 100 and len({c.topic for c in chunks}) > 10
    assert len({c.chunk_id for c in chunks}) == len(chunks)
    assert len({docs_corpus.normalise(c.text) for c in chunks}) == len(chunks), "exact copies kept"
    for c in chunks:
        assert docs_corpus.FRAGMENT_WORDS <= c.words <= docs_corpus.MAX_WORDS, c.chunk_id
        assert c.chunk_id == f"{c.topic}#{c.index}"


def test_chunking_follows_headings_and_folds_a_short_tail():
    para = " ".join(["word"] * 70)
    text = f"Intro\n*****\n\n{para}\n\nSecond\n======\n\n{para}\n\ntail words " + "x " * 20
    passages = docs_corpus.chunk_topic(text)
    assert len(passages) == 2
    assert passages[0].startswith("Intro") and "Second" not in passages[0]
    assert passages[1].startswith("Second") and passages[1].rstrip().endswith("x")
    assert "*****" not in passages[0] and "======" not in passages[1]
    assert docs_corpus.topic_title('The "try" statement\n*****\n\ntext') == "The try statement"


def test_terms_embeddings_and_word_coverage():
    assert embedders.tokenize("Raises raised RAISE the") == ["rais"] * 3
    # Python keywords are what readers ask about; they are not stop words here.
    assert embedders.tokenize("with the if") == ["with", "if"]

    model = embedders.HashedTfidf(["try finally except", "with statement"])
    assert model.known("try zebra") == ["try"]
    vectors = model.embed(["try finally", "statement", "zebra"])
    assert vectors.dtype == np.float32 and vectors.shape == (3, embedders.EMBEDDING_DIM)
    assert np.allclose(np.linalg.norm(vectors[:2], axis=1), 1.0) and not vectors[2].any()
    assert (vectors >= 0).all(), "negative weights make unrelated passages look anti-redundant"
    matrix, weights = model.coverage("try the statement", ["try it", "a statement", "nothing"])
    assert matrix.tolist() == [[1, 0, 0], [0, 1, 0]] and weights.shape == (2,)
    assert model.count_tokens(["one two three four"]) == [5]


def test_embedding_does_not_depend_on_the_hash_seed():
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import embedders as m; "
        "print(m.HashedTfidf(['alpha beta']).embed(['alpha gamma'])[0].nonzero()[0].tolist())"
    )
    runs = [
        subprocess.run([sys.executable, "-c", code, str(EXAMPLES)], capture_output=True, text=True,
                       env={**os.environ, "PYTHONHASHSEED": seed}, check=True).stdout
        for seed in ("1", "2")
    ]
    assert runs[0] == runs[1] != "[]\n"


def test_roles_from_surface_cues():
    assert docs_corpus.classify_role(">>> 1 + 1\n2") == "example"
    assert docs_corpus.classify_role("+----+----+\n| a  | b  |\n+----+----+\n| 1  | 2  |\n+----+----+") == "table"
    assert docs_corpus.classify_role("The argument must not be negative.") == "constraint"
    assert docs_corpus.classify_role("A coroutine is a function that can be suspended.") == "definition"
    assert docs_corpus.classify_role("Nothing to see.") == ""


def test_baselines_respect_every_limit_and_mmr_trades_relevance_for_novelty():
    # Candidates 0 and 1 are near-copies; 2 is less relevant but new.
    emb = np.array([[1.0, 0.0], [0.999, 0.045], [0.6, 0.8], [0.7, 0.71]], np.float32)
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)
    relevance = np.array([0.9, 0.89, 0.6, 0.5])
    tokens = np.array([100, 100, 100, 250])
    limits = selection.Limits(budget=200)
    assert selection.top_k(relevance, tokens, limits) == [0, 1]
    assert selection.mmr(relevance, emb, tokens, limits, lam=1.0) == [0, 1]
    assert selection.mmr(relevance, emb, tokens, limits, lam=0.5) == [0, 2]

    # A candidate that does not fit is skipped, not the end of the selection.
    assert selection.top_k(relevance, np.array([100, 100, 300, 50]), limits) == [0, 1]
    assert selection.top_k(relevance, np.array([150, 100, 60, 40]), limits) == [0, 3]
    capped = selection.Limits(budget=1000, max_chunks=3, clusters=np.array([7, 7, 7, 8]), per_cluster=2)
    for chosen in (selection.top_k(relevance, tokens, capped), selection.mmr(relevance, emb, tokens, capped)):
        assert len(chosen) == 3 and collections.Counter(capped.clusters[chosen])[7] == 2


@pytest.mark.skipif(not HAS_WORDLLAMA, reason="the demo extra (wordllama) is not installed")
def test_wordllama_loads_from_its_wheel_and_covers_query_tokens():
    model = embedders.WordLlamaEmbedder(["the try statement", "a list display"])
    vectors = model.embed(["the try statement", "lists and tuples", ""])
    assert vectors.shape == (3, embedders.WORDLLAMA_DIM) and vectors.dtype == np.float32
    assert np.allclose(np.linalg.norm(vectors[:2], axis=1), 1.0) and np.isfinite(vectors).all()
    assert model.count_tokens(["the try statement", ""])[0] >= 3
    matrix, weights = model.coverage("try", ["the try statement", "a list display"])
    # A query token that occurs in the text is covered fully.
    assert matrix.shape == (len(weights), 2) and np.allclose(matrix.max(axis=1)[:, None], matrix[:, :1])
    assert matrix[:, 0].min() == pytest.approx(1.0, abs=1e-6) and matrix[:, 1].max() < 0.99


def test_lexical_baselines_rank_by_the_query_words():
    texts = ["decorators wrap functions", "generators yield values", "unrelated prose here", "more prose"]
    tokens = np.array([10, 10, 10, 10])
    limits = selection.Limits(budget=20)
    assert selection.bm25_top_k("generators and decorators", texts, tokens, limits) == [0, 1]
    # Fusion: the dense favourite and the lexical favourite both make it.
    dense = np.array([0.1, 0.2, 0.9, 0.8])
    assert set(selection.hybrid("generators", texts, dense, tokens, limits)) == {1, 2}
    pytest.importorskip("pyversity")
    emb = np.array([[1.0, 0.0], [0.99, 0.1], [0.0, 1.0], [0.7, 0.7]])
    assert sorted(selection.dpp(np.array([0.9, 0.89, 0.5, 0.1]), emb, tokens, limits)) == [0, 2]


def test_minilm_in_numpy_matches_the_documented_similarities():
    pytest.importorskip("all_minilm_l6_v2")
    pytest.importorskip("tokenizers")
    import minilm

    assert minilm.MiniLM().check() < 0.002


# ---- the whole job against the module ---------------------------------------


def run_example(*flags, env=None):
    # The child inherits the environment, so it imports the same module build.
    return subprocess.run([sys.executable, str(SCRIPT), *flags], capture_output=True, text=True,
                          timeout=120, env=env)


def select(*flags, env=None):
    pytest.importorskip("quarnel_solver")
    proc = run_example("--json", *flags, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def assert_within_limits(report):
    limits = report["limits"]
    for name, selection in report["selections"].items():
        items = selection["selected"]
        assert items, f"{name} chose nothing"
        ids = [item["chunk_id"] for item in items]
        assert len(set(ids)) == len(ids), f"{name}: duplicate chunk ids {ids}"
        assert sum(item["tokens"] for item in items) == selection["total_tokens"] <= limits["max_tokens"]
        assert len(items) <= limits["max_chunks"]
        assert max(collections.Counter(item["topic"] for item in items).values()) <= limits["max_per_topic"]
        relevance = [item["relevance"] for item in items]
        assert relevance == sorted(relevance, reverse=True), "listed most relevant first"
        assert set(selection["words_covered"]) | set(selection["words_missing"]) == set(report["query_words"])
    assert report["constraints_satisfied"] is True and report["constraint_violations"] == []


def test_default_query_compares_the_selectors_within_limits():
    report = select("--budget", "1500", "--max-chunks", "6")
    assert_within_limits(report)
    assert list(report["selections"]) == ["solver", "top-k", "hybrid RRF", "MMR 0.5"]
    for item in report["selections"]["solver"]["selected"]:
        assert set(item["covers"]) <= set(report["selections"]["solver"]["words_covered"])
    assert all(d["dropped"] != d["copy_of"] for d in report["duplicates_dropped"])
    assert report["limits"]["must_include_roles"] == []
    # The default question names three things; the solver's pick covers every one.
    assert report["selections"]["solver"]["words_missing"] == []
    assert {"context-managers", "with"} & set(report["selections"]["solver"]["topics"])


def test_required_roles_only_on_request():
    report = select("--query", "what is a decorator", "--budget", "600",
                    "--require-role", "example", "--require-role", "definition")
    assert_within_limits(report)
    assert report["limits"]["must_include_roles"] == ["example", "definition"]
    assert {"example", "definition"} <= {item["role"] for item in report["selections"]["solver"]["selected"]}


def test_falls_back_to_tfidf_without_the_embedding_model(tmp_path):
    # A wordllama that cannot be imported stands in for a missing demo extra.
    (tmp_path / "wordllama").mkdir()
    (tmp_path / "wordllama" / "__init__.py").write_text("raise ImportError('not installed')\n")
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    report = select("--query", "what does the with statement do", env={**os.environ, "PYTHONPATH": path})
    assert report["embedder"].startswith("hashed TF-IDF")
    assert_within_limits(report)
    assert {"with", "context-managers"} & set(report["selections"]["solver"]["topics"])


@pytest.mark.skipif(not HAS_WORDLLAMA, reason="the demo extra (wordllama) is not installed")
def test_real_embeddings_run_without_a_network():
    unshare = shutil.which("unshare")
    prefix = [unshare, "-n"] if unshare and subprocess.run([unshare, "-n", "true"]).returncode == 0 else []
    proc = subprocess.run([*prefix, sys.executable, str(SCRIPT), "--json", "--budget", "800"],
                          capture_output=True, text=True, timeout=120, env={**os.environ, "HF_HUB_OFFLINE": "1"})
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["embedder"].startswith("WordLlama")


def test_unusable_input_fails_with_a_message():
    # A query of words the documentation never uses has nothing to rank by.
    proc = run_example("--query", "zzyzx qwxv", "--embedder", "tfidf")
    assert proc.returncode != 0 and "occurs in the documentation" in proc.stderr
    # A budget outside the token counter's range is refused before any work.
    proc = run_example("--budget", "0")
    assert proc.returncode == 2 and "--budget" in proc.stderr
