"""Copies among the candidates, found before the solver sees them.

A retriever that indexes a page twice, or two sources quoting one paragraph,
would otherwise spend the budget on the same text twice. Two candidates are
copies when they have the same id (where ids are derived from the content,
as the framework adapters do), the same text once whitespace and case are
normalised, or embeddings whose cosine is at least the threshold
(`DEFAULTS.duplicate_cosine`). Of a group of copies the most relevant one
stays (ties: the earlier input); a required candidate is never dropped.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence

import numpy as np
from numpy.typing import NDArray


def normalised(text: str) -> str:
    return " ".join(text.casefold().split())


def find_copies(
    order: Sequence[int],
    cosines: NDArray[np.float32],
    threshold: float | None,
    texts: Sequence[str] | None,
    keys: Sequence[Hashable] | None,
    keep: Sequence[bool],
) -> dict[int, int]:
    """Positions (into `order`'s index space) dropped as copies, each mapped to the one kept.

    `order` lists the positions most relevant first; `cosines` is their
    pairwise cosine matrix indexed by position; `keys` are ids that mark
    copies when equal (None: ids say nothing); `keep[p]` pins a position.
    """
    kept: list[int] = []
    by_text: dict[str, int] = {}
    by_key: dict[Hashable, int] = {}
    dropped: dict[int, int] = {}
    # Only a candidate with some more relevant one at or above the threshold
    # can be a near copy: found for all at once, most have none.
    near = _has_close_predecessor(order, cosines, threshold)
    for rank, p in enumerate(order):
        original = None
        if keys is not None:
            original = by_key.get(keys[p])
        text = normalised(texts[p]) if texts is not None else None
        if original is None and text is not None:
            original = by_text.get(text)
        if original is None and near[rank] and kept:
            row = cosines[p, kept]
            best = int(np.argmax(row))
            if row[best] >= threshold:
                original = kept[best]
        if original is not None and not keep[p]:
            dropped[p] = original
            continue
        kept.append(p)
        if keys is not None:
            by_key.setdefault(keys[p], p)
        if text is not None:
            by_text.setdefault(text, p)
    return dropped


def _has_close_predecessor(
    order: Sequence[int], cosines: NDArray[np.float32], threshold: float | None
) -> NDArray[np.bool_]:
    if threshold is None or len(order) == 0:
        return np.zeros(len(order), dtype=bool)
    positions = np.asarray(order, dtype=np.intp)
    close = cosines[np.ix_(positions, positions)] >= threshold
    return np.asarray(np.tril(close, k=-1).any(axis=1), dtype=np.bool_)
