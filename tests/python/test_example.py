"""End-to-end runs of examples/select_context.py, the project's demo job."""

import collections
import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "select_context.py"


def load_script():
    module_spec = importlib.util.spec_from_file_location("select_context", SCRIPT)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up there
    module_spec.loader.exec_module(module)
    return module


ex = load_script()


@pytest.fixture(scope="module")
def corpus():
    return ex.build_corpus()


# ---- candidate preparation (pure Python and NumPy) -------------------------


def test_passages_are_bounded_unique_and_priced(corpus):
    chunks = corpus.chunks
    assert len(chunks) > 100 and corpus.num_topics > 10
    assert len({c.chunk_id for c in chunks}) == len(chunks)
    assert len({" ".join(c.text.split()) for c in chunks}) == len(chunks), "exact copies kept"
    for c in chunks:
        assert ex.FRAGMENT_WORDS <= c.words <= ex.MAX_WORDS, c.chunk_id
        assert c.tokens == round(ex.TOKENS_PER_WORD * c.words)
        assert 0.0 <= c.position < 1.0


def test_chunking_follows_headings_and_folds_a_short_tail():
    para = " ".join(["word"] * 70)
    text = f"Intro\n*****\n\n{para}\n\nSecond\n======\n\n{para}\n\ntail words " + "x " * 20
    passages = ex.chunk_topic(text)
    assert len(passages) == 2
    assert passages[0].startswith("Intro") and "Second" not in passages[0]
    assert passages[1].startswith("Second") and passages[1].rstrip().endswith("x")
    assert "*****" not in passages[0] and "======" not in passages[1]


def test_terms_and_embeddings():
    assert ex.tokenize("Raises raised RAISE the") == ["rais"] * 3
    # Python keywords are what readers ask about; they are not stop words here.
    assert ex.tokenize("with the if") == ["with", "if"]

    model = ex.HashedTfidf([ex.tokenize("try finally except"), ex.tokenize("with statement")])
    assert model.known(ex.tokenize("try zebra")) == ["try"]
    vectors = model.embed_all([ex.tokenize("try finally"), ex.tokenize("statement"), []])
    assert vectors.dtype == np.float32 and vectors.shape == (3, ex.EMBEDDING_DIM)
    assert np.allclose(np.linalg.norm(vectors[:2], axis=1), 1.0) and not vectors[2].any()
    assert (vectors >= 0).all(), "negative weights make unrelated passages look anti-redundant"


def test_embedding_does_not_depend_on_the_hash_seed():
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import select_context as m; "
        "print(m.HashedTfidf([['alpha', 'beta']]).embed(['alpha', 'gamma']).nonzero()[0].tolist())"
    )
    runs = [
        subprocess.run([sys.executable, "-c", code, str(SCRIPT.parent)], capture_output=True, text=True,
                       env={**os.environ, "PYTHONHASHSEED": seed}, check=True).stdout
        for seed in ("1", "2")
    ]
    assert runs[0] == runs[1] != "[]\n"


def test_roles_from_surface_cues():
    assert ex.classify_role(">>> 1 + 1\n2") == "example"
    assert ex.classify_role("+----+----+\n| a  | b  |\n+----+----+\n| 1  | 2  |\n+----+----+") == "table"
    assert ex.classify_role("The argument must not be negative.") == "constraint"
    assert ex.classify_role("A coroutine is a function that can be suspended.") == "definition"
    assert ex.classify_role("Nothing to see.") == ""


# ---- the whole job against the module ---------------------------------------


def run_example(*flags):
    # The child inherits the environment, so it imports the same module build.
    return subprocess.run(
        [sys.executable, str(SCRIPT), *flags], capture_output=True, text=True, timeout=120
    )


def select(*flags):
    pytest.importorskip("quarnel_solver")
    proc = run_example("--json", *flags)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def assert_valid_selection(report, budget, max_chunks):
    selected = report["selected"]
    assert selected, "the selection is empty"
    ids = [item["chunk_id"] for item in selected]
    assert len(set(ids)) == len(ids), f"duplicate chunk ids: {ids}"

    # Recount from the chosen chunks instead of trusting the solver's totals.
    tokens = sum(item["tokens"] for item in selected)
    assert tokens == report["total_tokens"]
    assert tokens <= budget
    assert len(selected) <= max_chunks

    limits = report["constraints"]
    assert limits["max_tokens"] == budget and limits["max_chunks"] == max_chunks
    per_topic = collections.Counter(item["cluster"] for item in selected)
    assert max(per_topic.values()) <= limits["max_per_cluster"]
    roles = {item["role"] for item in selected}
    assert set(limits["must_include_roles"]) <= roles

    assert report["constraints_satisfied"] is True
    assert report["constraint_violations"] == []
    assert report["corpus"]["candidates"] <= report["corpus"]["matching"] <= report["corpus"]["passages"]


def test_default_query_selects_within_limits():
    report = select("--budget", "1500", "--max-chunks", "6", "--candidates", "120")
    assert_valid_selection(report, budget=1500, max_chunks=6)
    assert report["corpus"]["candidates"] <= 120
    # The answer to the default question lives on the "try" statement's page.
    assert any(item["topic"] == "try" for item in report["selected"])
    parts = report["objective"]
    assert parts["objective_score"] > 0 and parts["relevance_total"] > 0


def test_custom_query_changes_the_selection():
    query = "what does the with statement do with context managers"
    report = select("--query", query)
    assert report["query"] == query
    assert_valid_selection(report, budget=2048, max_chunks=8)
    topics = {item["topic"] for item in report["selected"]}
    assert topics & {"with", "context-managers"}, topics


def test_unusable_input_fails_with_a_message():
    # A query of words the documentation never uses has nothing to rank by.
    proc = run_example("--query", "zzyzx qwxv")
    assert proc.returncode != 0 and "occurs in the documentation" in proc.stderr
    # A budget outside the token counter's range is refused before any work.
    proc = run_example("--budget", "0")
    assert proc.returncode == 2 and "--budget" in proc.stderr
