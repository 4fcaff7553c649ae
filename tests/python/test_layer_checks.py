"""ContextSelector tells the caller what went wrong: a short selection warns
(or raises when strict), and misshapen input names the argument at fault."""

import pickle
import warnings

import numpy as np
import pytest

import quarnel
from quarnel import ContextSelector

rng = np.random.default_rng(3)
VECTORS = rng.standard_normal((10, 32))
QUERY = VECTORS[2] + 0.1 * rng.standard_normal(32)
TEXTS = [f"passage {k} " + "word " * 38 for k in range(10)]  # 52 tokens each by the word estimate


def test_a_short_selection_warns_naming_the_reason_or_raises_when_strict():
    with pytest.warns(quarnel.SelectionWarning, match="chunk exceeds the budget of 50 tokens"):
        assert len(ContextSelector(50).select(QUERY, VECTORS, texts=TEXTS)) == 0
    with pytest.warns(quarnel.SelectionWarning, match="Missing required role: Example"):
        selection = ContextSelector(500, must_include_roles=["example"]).select(QUERY, VECTORS, texts=TEXTS)
    assert len(selection) > 0 and not selection.satisfied
    with pytest.raises(quarnel.SelectionError, match="chunk exceeds the budget of 50 tokens") as caught:
        ContextSelector(50, strict=True).select(QUERY, VECTORS, texts=TEXTS)
    assert caught.value.selection.num_inputs == 10
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a selection that is what was asked for, or empty input, stays quiet
        assert ContextSelector(500, strict=True).select(QUERY, VECTORS, texts=TEXTS).satisfied
        assert len(ContextSelector(50, strict=True).select(QUERY, [], texts=[])) == 0


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: ContextSelector(0), ValueError, r"token_budget: expected a positive int, got int 0"),
        (lambda: ContextSelector().select(QUERY, VECTORS, texts=TEXTS, ids=["a"] * 10), ValueError,
         r"ids\[1\]: 'a' repeats ids\[0\]"),
        (lambda: ContextSelector().select(QUERY, VECTORS.T, texts=TEXTS), ValueError,
         r"embeddings: expected one row per chunk .* got shape \(32, 10\), one column per chunk"),
        (lambda: ContextSelector().select(QUERY, VECTORS, texts=TEXTS, query_text=b"q"), TypeError,
         r"query_text: expected (a )?str or None"),
        (lambda: ContextSelector().select(QUERY, VECTORS, token_counts=[5] * 10, query_text="q"), ValueError,
         r"query_text: .*texts"),
    ],
    ids=["zero budget", "duplicate ids", "transposed", "query_text type", "query_text alone"],
)
def test_bad_input_names_the_argument_at_fault(make, error, message):
    with pytest.raises(error, match=message):
        make()


class SpaceTokenizer:
    """A tokenizer in the shape of tokenizers/tiktoken: encode(text) gives the tokens."""

    def encode(self, text):
        return text.split(" ")


def test_token_counter_takes_a_tokenizer_and_still_pickles():
    selector = ContextSelector(500, token_counter=SpaceTokenizer())
    assert selector.select(QUERY, VECTORS, texts=TEXTS).tokens[0] == len(TEXTS[0].split(" "))
    assert pickle.loads(pickle.dumps(selector)).select(QUERY, VECTORS, texts=TEXTS).tokens[0] == 41
    tokenizers = pytest.importorskip("tokenizers")
    vocab = {"[UNK]": 0, "passage": 1, "word": 2}
    real = tokenizers.Tokenizer(tokenizers.models.WordLevel(vocab, unk_token="[UNK]"))
    real.pre_tokenizer = tokenizers.pre_tokenizers.Whitespace()
    assert ContextSelector(500, token_counter=real).select(QUERY, VECTORS, texts=TEXTS).tokens[0] == 40
