"""Per-chunk data read from framework documents' metadata, for the adapters."""

from __future__ import annotations

from collections.abc import Hashable, Mapping, Sequence
from typing import Any

from . import _inputs


def metadata_columns(
    metadata: Sequence[Mapping[str, Any]],
    where: str,
    *,
    source_key: str | None,
    role_key: str | None,
    token_count_key: str | None,
    score_keys: Mapping[str, str],
) -> dict[str, Any]:
    """`select` keyword arguments from each document's metadata.

    `where` names a document's metadata in messages, with {} for its
    position: "documents[{}].metadata". A missing source, role or token
    count is None (no source, role Unknown, counted from the text); a score
    that `score_keys` names must be on every document.
    """
    columns: dict[str, Any] = {}
    if source_key is not None:
        sources: list[Hashable | None] = []
        for k, meta in enumerate(metadata):
            source = meta.get(source_key)
            try:
                hash(source)
            except TypeError:
                raise TypeError(
                    f"{where.format(k)}[{source_key!r}]: expected a hashable source, got {_inputs.describe(source)}"
                ) from None
            sources.append(source)
        columns["sources"] = sources
    if role_key is not None:
        columns["roles"] = [meta.get(role_key) for meta in metadata]
        for k, role in enumerate(columns["roles"]):
            _inputs.role_code(f"{where.format(k)}[{role_key!r}]", role)
    if token_count_key is not None:
        counts: list[int | None] = []
        for k, meta in enumerate(metadata):
            value = meta.get(token_count_key)
            name = f"{where.format(k)}[{token_count_key!r}]"
            counts.append(None if value is None else _inputs.token_count(name, value))
        columns["token_counts"] = counts
    if score_keys:
        scores: dict[str, list[float]] = {}
        for name, key in score_keys.items():
            values = []
            for k, meta in enumerate(metadata):
                if key not in meta:
                    raise ValueError(f"{where.format(k)}: no {key!r}; every document needs it for the {name} score")
                values.append(_inputs.float32_number(f"{where.format(k)}[{key!r}]", meta[key]))
            scores[name] = values
        columns["scores"] = scores
    return columns
