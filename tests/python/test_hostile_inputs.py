"""Inputs a hostile or just unusual caller gives: sub-interpreters, numbers past float32, and natural
forms of data the layer used to refuse or mislabel."""
import subprocess
import sys
import threading

import numpy as np
import pytest

import quarnel

SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
for module in ("quarnel_solver", "quarnel", "quarnel._native"):
    interp = interpreters.create()
    interpreters.run_string(interp, f'''
try:
    import {module}
except ImportError as error:
    assert "supports only the main interpreter" in str(error), error
else:
    raise AssertionError("{module} imported in a sub-interpreter")
''')
    interpreters.destroy(interp)
import quarnel  # the main interpreter still imports it, after the refusals
print("refused")
"""


@pytest.mark.parametrize("imported_first", [False, True])
def test_sub_interpreters_are_refused_without_hanging(imported_first):
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    script = ("import quarnel\n" if imported_first else "") + SUBINTERPRETERS
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["refused"]


def select(**kwargs):
    rng = np.random.default_rng(3)
    embeddings = rng.standard_normal((8, 6))
    kwargs.setdefault("token_counts", [10] * 8)
    weights = kwargs.pop("weights", None)
    return quarnel.ContextSelector(token_budget=45, weights=weights).select(embeddings[0], embeddings, **kwargs)


def test_numbers_past_float32_are_refused_by_name_or_rescaled():
    coverage = np.random.default_rng(4).random((2, 8))
    cases = [
        (dict(scores={"density": [1e300] + [0.5] * 7}), r"scores\['density'\]\[0\]"),
        (dict(weights={"redundancy": 1e300}), r"weights\['redundancy'\]"),
        (dict(coverage=np.where(np.eye(2, 8) > 0, -1e39, coverage)), r"coverage\[0\]\[0\]"),
    ]
    for kwargs, name in cases:
        with pytest.raises(ValueError, match=name + ": expected a finite number within the float32 range"):
            select(**kwargs)
    # Query-token weights count only by their ratios: huge ones are scaled down, not overflowed.
    scaled = select(coverage=coverage, query_token_weights=[1e300, 1e299])
    plain = select(coverage=coverage, query_token_weights=[10.0, 1.0])
    assert scaled.indices == plain.indices and scaled.satisfied and np.isfinite(scaled.objective)
    with pytest.raises(ValueError, match=r"queries\[0\]\[0\]\[0\]: expected values within the float32 range"):
        quarnel.maxsim(np.full((1, 1, 2), 1e300), np.ones((1, 1, 2), np.float32))


def test_natural_forms_of_maxsim_arguments():
    rng = np.random.default_rng(5)
    queries = rng.standard_normal((2, 3, 8)).astype(np.float32)
    documents = rng.standard_normal((5, 4, 8)).astype(np.float32)
    # No documents as an empty list, like the padded empty form.
    assert quarnel.maxsim(queries, []).shape == (2, 0)
    assert quarnel.maxsim([], documents).shape == (0, 5)
    # A (queries, k) index array, as ANN indexes return it, means what its list of rows means.
    ann = np.array([[0, 4], [3, 1]], np.int64)
    from_array = quarnel.maxsim(queries, documents, candidates=ann)
    from_lists = quarnel.maxsim(queries, documents, candidates=[list(row) for row in ann])
    assert all(np.array_equal(a, b) for a, b in zip(from_array, from_lists))
    # The value given, not its int64 wrap.
    lengths = np.array([1, 2, 3, 4, 2**64 - 1], np.uint64)
    with pytest.raises(ValueError, match=r"document_lengths\[4\]: 18446744073709551615 is not between 0 and 4"):
        quarnel.maxsim(queries, documents, document_lengths=lengths)
    codes, meta = np.zeros((2, 3, 1), np.uint8), np.zeros((2, 3, 4), np.float32)
    with pytest.raises(TypeError, match="num_bits: expected an int"):
        quarnel.maxsim_quantized(codes, meta, codes, meta, 8.0, 8)


class Pair(tuple):
    """A tuple subclass whose constructor takes two arguments, as named tuples do."""

    def __new__(cls, a, b):
        return super().__new__(cls, (a, b))


def test_to_dict_keeps_ids_that_cannot_be_deep_copied():
    lock = threading.Lock()
    ids = [Pair(k, lock) for k in range(8)]
    report = select(ids=ids).to_dict()
    assert report["ids"] and all(isinstance(chunk["id"], Pair) for chunk in report["chunks"])
    assert report["chunks"][0]["id"][1] is lock


def test_adapter_messages_name_the_real_fault():
    pytest.importorskip("langchain_core")
    from langchain_core.documents import Document
    from langchain_core.embeddings import DeterministicFakeEmbedding

    from quarnel.langchain import QuarnelCompressor

    class OneShort(DeterministicFakeEmbedding):
        def embed_documents(self, texts):
            return super().embed_documents(texts)[:-1]

    docs = [Document(page_content=f"passage {k}") for k in range(9)]
    with pytest.raises(ValueError, match=r"embeddings\.embed_documents: returned 8 vectors for 9 texts"):
        QuarnelCompressor(embeddings=OneShort(size=16)).compress_documents(docs, "passage")


def test_haystack_scores_across_the_whole_float_range():
    pytest.importorskip("haystack")
    from haystack import Document

    from quarnel.haystack import QuarnelRanker

    rng = np.random.default_rng(6)
    vectors = rng.standard_normal((4, 8))
    docs = [Document(content=f"text {k}", embedding=v.tolist(), score=s)
            for k, (v, s) in enumerate(zip(vectors, [1e308, -1e308, 0.0, 5.0]))]
    selection = QuarnelRanker(token_budget=1000).select(docs, vectors[0].tolist())
    assert selection.satisfied and np.isfinite(selection.objective)
