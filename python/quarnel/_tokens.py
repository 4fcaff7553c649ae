"""What prices a chunk: a token-counting callable, or a tokenizer."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from . import _inputs


class EncodedLength:
    """The token count of a text as a tokenizer with `encode(text)` sees it:
    `tokenizers.Tokenizer`, a transformers tokenizer, a tiktoken encoding.
    A class rather than a closure so that a selector holding it pickles."""

    def __init__(self, tokenizer: Any) -> None:
        self.tokenizer = tokenizer

    def __call__(self, text: str) -> int:
        return len(self.tokenizer.encode(text))

    def __repr__(self) -> str:
        return f"EncodedLength({self.tokenizer!r})"


def token_counter(value: object) -> Callable[[str], int] | None:
    """A counter from a callable or a tokenizer; None stays None."""
    if value is None:
        return None
    # A tokenizer object is used through encode(): a transformers tokenizer is
    # also callable, but its call returns the encoding, not a count.
    if callable(getattr(value, "encode", None)) and not isinstance(value, (str, bytes)):
        return EncodedLength(value)
    if callable(value):
        return value
    raise TypeError(
        "token_counter: expected a callable taking a text, or a tokenizer with encode(text), "
        f"got {_inputs.describe(value)}"
    )
