"""Coverage built from the query text, copies collapsed, and the query_text errors."""

import numpy as np
import pytest

import quarnel
from quarnel import coverage
from quarnel._tokenize import terms


def test_identifiers_are_kept_whole_and_split_into_stemmed_parts():
    found = terms("Call os.path.join, then snake_case_name and HTTPServerError.__init__; raises Übergrößen")
    for whole in ("os.path.join", "snake_case_name", "httpservererror.__init"):
        assert whole in found
    assert {"path", "join", "snake", "case", "http", "server", "error", "init", "rais"} <= set(found)
    assert "then" not in found and terms("the and is") == []  # stop words, but not statements
    assert {"if", "with"} <= set(terms("the if with"))
    assert terms("RAISED raise") == ["rais", "rais"]  # case folding, then one stem


def test_lexical_coverage_saturates_normalises_length_and_weighs_rare_terms():
    texts = ["finally finally finally", "finally " + "word " * 30, "try finally", "other text"]
    cover = coverage.lexical_coverage("try finally", texts)
    assert cover.terms == ("tri", "final")
    m = cover.matrix
    assert np.all((m >= 0) & (m < 1))
    assert m[1, 0] > m[1, 2] > m[1, 1] > 0  # more repeats, shorter text: more coverage
    assert m[0, 3] == 0 and m[1, 3] == 0
    assert cover.weights[0] > cover.weights[1]  # "try" is rarer in this pool than "finally"
    stats = coverage.CorpusStatistics.from_texts(texts + ["try"] * 50)
    assert coverage.lexical_coverage("try finally", texts, stats).weights[0] < cover.weights[1]
    scores = coverage.bm25_scores("try finally", texts)
    assert scores[2] == scores.max() and scores[3] == 0


def test_token_coverage_is_the_best_cosine_per_query_token_and_combines():
    rng = np.random.default_rng(1)
    query = rng.standard_normal((3, 8))
    chunks = [rng.standard_normal((5, 8)), 2.0 * query[1:2], np.zeros((0, 8))]
    m = coverage.token_coverage(query, chunks)
    unit = lambda v: v / np.linalg.norm(v, axis=-1, keepdims=True)  # noqa: E731
    expected = (unit(query) @ unit(chunks[0]).T).max(1)
    np.testing.assert_allclose(m[:, 0], expected, rtol=1e-5)
    assert m[1, 1] == pytest.approx(1.0, abs=1e-6) and np.all(m[:, 2] == 0)
    stacked, weights = coverage.combine_coverage([(m, [1, 1, 2]), (np.ones((2, 3)), None)], shares=[0.75, 0.25])
    assert stacked.shape == (5, 3)
    np.testing.assert_allclose(weights, [0.1875, 0.1875, 0.375, 0.125, 0.125])


def test_query_text_errors_name_the_arguments():
    selector = quarnel.ContextSelector(token_budget=100)
    e = np.eye(3)
    with pytest.raises(ValueError, match="query_text.*texts"):
        selector.select(e[0], e, query_text="words")
    with pytest.raises(TypeError, match="query_text"):
        selector.select(e[0], e, texts=["a", "b", "c"], query_text=b"words")
    with pytest.raises(TypeError, match="corpus_statistics"):
        selector.select(e[0], e, texts=["a", "b", "c"], query_text="a", corpus_statistics={"a": 1})


def test_query_words_steer_the_choice_between_equally_close_chunks():
    # Two chunks equally close to the query; only one names its words.
    e = np.array([[1.0, 0.0, 0.0], [0.8, 0.6, 0.0], [0.8, 0.0, 0.6], [0.0, 0.0, 1.0]])
    texts = ["intro " * 40, "about the with statement " * 10, "about something unrelated " * 10, "misc " * 40]
    selector = quarnel.ContextSelector(token_budget=110)
    plain = selector.select(e[0], e, texts=texts)
    lexical = selector.select(e[0], e, texts=texts, query_text="with statement")
    assert 1 in lexical.indices and lexical.breakdown["fulfilment"] > 0
    assert plain.breakdown["fulfilment"] == 0


def test_copies_are_collapsed_and_reported():
    rng = np.random.default_rng(0)
    e = rng.standard_normal((20, 16))
    near = e[3] + 1e-3 * rng.standard_normal(16)
    e = np.vstack([e, e[0], near])
    texts = [f"passage {k} " + "text " * 20 for k in range(20)] + ["passage 0 " + "text " * 20, "different words"]
    query = e[0] + 0.05 * rng.standard_normal(16)
    selection = quarnel.ContextSelector(token_budget=400, relevance_floor=None).select(query, e, texts=texts)
    assert 20 not in selection.indices and 0 in selection.indices
    assert (20, 0) in selection.duplicates and (21, 3) in selection.duplicates
    # Same normalised text, unrelated vectors: still a copy.
    texts2 = texts[:20] + ["  PASSAGE 5 " + "Text " * 20, "different words"]
    e2 = np.vstack([e[:20], rng.standard_normal((2, 16))])
    dup = quarnel.ContextSelector(token_budget=4000).select(e2[5], e2, texts=texts2)
    assert (20, 5) in dup.duplicates and 20 not in dup.indices
    assert dup.to_dict()["duplicates"] == [list(p) for p in dup.duplicates]


def test_a_required_copy_is_kept():
    e = np.vstack([np.eye(4), np.eye(4)[0]])
    selection = quarnel.ContextSelector(token_budget=1000, required_ids=[4]).select(
        np.eye(4)[0], e, texts=["a b c"] * 5
    )
    assert 4 in selection.indices and all(pair[0] != 4 for pair in selection.duplicates)
