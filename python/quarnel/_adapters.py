"""What the framework adapters share: the selector built from their options,
documents received twice, and the vectors an embedding model returned."""

from __future__ import annotations

from collections.abc import Hashable, Mapping, Sequence
from typing import Any

from .selector import ContextSelector

#: Options of `ContextSelector` that the pydantic adapters take as fields of
#: their own; given any, they build the selector, which then may not be given.
SELECTOR_OPTIONS = (
    "token_budget", "max_chunks", "min_chunks", "per_source", "must_include_roles",
    "weights", "pool_size", "relevance_floor", "token_counter", "strict",
)


def selector_from(adapter: str, given: Mapping[str, Any], selector: ContextSelector | None) -> ContextSelector:
    """`selector`, or one built from the selector options the caller gave."""
    options = {name: value for name, value in given.items() if name in SELECTOR_OPTIONS}
    if options and selector is not None:
        raise ValueError(
            f"{adapter}: give either selector or {', '.join(options)}, not both; "
            "the selector already holds its limits"
        )
    if selector is not None:
        if not isinstance(selector, ContextSelector):
            raise TypeError(f"{adapter}: selector must be a quarnel.ContextSelector, got {type(selector).__name__}")
        return selector
    if "must_include_roles" in options and options["must_include_roles"] is None:
        options["must_include_roles"] = ()
    return ContextSelector(**options)


def first_copies(ids: Sequence[Hashable | None], texts: Sequence[str]) -> list[int]:
    """Positions of the documents not seen before, by id (when there is one)
    or by text: a retriever that merges several searches may hand over one
    document twice, and it must not be chosen twice."""
    seen_ids: set[Hashable] = set()
    seen_texts: set[str] = set()
    kept = []
    for k, (doc_id, text) in enumerate(zip(ids, texts)):
        if (doc_id is not None and doc_id in seen_ids) or text in seen_texts:
            continue
        if doc_id is not None:
            seen_ids.add(doc_id)
        seen_texts.add(text)
        kept.append(k)
    return kept


def embedded(where: str, vectors: Any, count: int) -> Any:
    """The vectors an embedding model returned for `count` texts, checked for number."""
    try:
        returned = len(vectors)
    except TypeError:
        raise TypeError(f"{where}: expected a list of vectors, got {type(vectors).__name__}") from None
    if returned != count:
        raise ValueError(f"{where}: returned {returned} vectors for {count} texts")
    return vectors
