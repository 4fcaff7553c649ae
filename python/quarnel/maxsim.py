"""MaxSim (late-interaction) scores for items of their own lengths.

Encoders give every document, and often every query, its own number of token vectors. These functions
take each side in one of three forms:

- a padded 3-D array (items, tokens, dim), with optional ``*_lengths`` (one per item; the first
  ``length`` tokens of an item are real, the rest are never read);
- a list of 2-D arrays (tokens, dim), one per item, as encoders yield them;
- a packed 2-D array (all tokens, dim) with ``*_offsets``: item i is rows ``offsets[i]`` to
  ``offsets[i + 1]`` (cumulative lengths starting at 0 and ending at the number of rows, like
  ``cu_seqlens``).

The score of a query and a document is, summed over the query's real tokens in order, the best dot
product of that token with any real token of the document. Every score has exactly the bits that
``quarnel_solver.compute_max_sim_batch_f32`` (or ``compute_max_sim_batch``) gives for the same two
items trimmed to their lengths: the same dot product order, the same rule that a NaN never becomes the
best, the same summation order. A query without tokens scores 0.0; a document without tokens scores
-inf against any query that has tokens.

With ``candidates`` (one sequence of document indices per query) each query is scored against its
own candidate list only, and the result is a list of float32 arrays, one per query, in candidate
order; otherwise the result is a (queries, documents) float32 array.

The tokens are copied first; scoring then runs with the GIL released on the module's worker pool, so
other Python threads keep running (and may score at the same time) and may change their arrays
meanwhile without affecting a call in progress.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native

Scores = Union[NDArray[np.float32], list[NDArray[np.float32]]]

__all__ = ["maxsim", "maxsim_quantized", "maxsim_binary_documents"]


class _Side:
    """One side of a call: its tokens array and the index the native module reads."""

    def __init__(self, tokens: NDArray[Any], index: NDArray[np.int64], counts: NDArray[np.int64]):
        self.tokens = tokens  # 3-D padded (index holds lengths) or 2-D packed (index holds offsets)
        self.index = index
        self.counts = counts  # tokens per item

    @property
    def items(self) -> int:
        return len(self.counts)

    @property
    def width(self) -> int:
        return int(self.tokens.shape[-1])


def _array(name: str, value: Any, kind: str) -> NDArray[Any]:
    """value as an array of float32 (kind 'float') or uint8 (kind 'uint8'), converted once."""
    array = np.asarray(value)
    if kind == "float":
        if array.dtype.kind != "f" and not (array.size == 0 and array.dtype.kind in "iuO"):
            raise TypeError(f"{name}: expected floating-point values, got dtype {array.dtype}")
        return array.astype(np.float32, copy=False)
    if array.dtype != np.uint8 and not (array.size == 0 and array.dtype.kind in "iufO"):
        raise TypeError(f"{name}: expected uint8 codes, got dtype {array.dtype}")
    return array.astype(np.uint8, copy=False)


def _index(name: str, value: Any, count: int) -> NDArray[np.int64]:
    array = np.asarray(value)
    if array.ndim != 1 or (array.size and array.dtype.kind not in "iu"):
        raise ValueError(f"{name}: expected a 1-D sequence of ints")
    if len(array) != count:
        raise ValueError(f"{name}: expected {count} entries, got {len(array)}")
    return array.astype(np.int64)


def _side(name: str, prefix: str, value: Any, lengths: Any, offsets: Any, kind: str, width_name: str = "dim") -> _Side:
    lengths_name, offsets_name = f"{prefix}_lengths", f"{prefix}_offsets"
    if isinstance(value, (list, tuple)):
        if lengths is not None or offsets is not None:
            raise ValueError(f"{name}: a list of 2-D arrays carries its own lengths; pass no {lengths_name} "
                             f"or {offsets_name}")
        # A copy of the list: converting an item may run code that changes the caller's.
        items = [_array(f"{name}[{i}]", item, kind) for i, item in enumerate(list(value))]
        for i, item in enumerate(items):
            if item.ndim != 2:
                raise ValueError(f"{name}[{i}]: expected a 2-D array (tokens, {width_name}), got {item.ndim} "
                                 "dimensions")
        widths = {item.shape[1] for item in items}
        if len(widths) > 1:
            raise ValueError(f"{name}: items differ in {width_name} ({sorted(widths)})")
        counts = np.array([len(item) for item in items], np.int64)
        empty = np.zeros((0, 0), np.float32 if kind == "float" else np.uint8)
        packed = np.concatenate(items) if items else empty
        return _Side(packed, np.concatenate([[0], np.cumsum(counts)]).astype(np.int64), counts)

    array = _array(name, value, kind)
    if array.ndim == 3:
        if offsets is not None:
            raise ValueError(f"{name}: {offsets_name} go with a packed 2-D array; a 3-D array takes "
                             f"{lengths_name}")
        full = array.shape[1]
        counts = np.full(array.shape[0], full, np.int64) if lengths is None else _index(lengths_name, lengths,
                                                                                        array.shape[0])
        bad = np.flatnonzero((counts < 0) | (counts > full))
        if bad.size:
            raise ValueError(f"{lengths_name}[{bad[0]}]: {counts[bad[0]]} is not between 0 and {full}")
        return _Side(array, counts, counts)
    if array.ndim == 2:
        if lengths is not None:
            raise ValueError(f"{name}: a packed 2-D array takes {offsets_name}, not {lengths_name}")
        if offsets is None:
            raise ValueError(f"{name}: a packed 2-D array needs {offsets_name} (cumulative lengths from 0)")
        marks = np.asarray(offsets)
        if marks.ndim != 1 or len(marks) == 0 or (marks.size and marks.dtype.kind not in "iu"):
            raise ValueError(f"{offsets_name}: expected a 1-D sequence of ints starting at 0")
        marks = marks.astype(np.int64)
        if marks[0] != 0 or marks[-1] != len(array) or np.any(np.diff(marks) < 0):
            raise ValueError(f"{offsets_name}: must start at 0, never decrease and end at {len(array)} (the "
                             f"rows of {name})")
        return _Side(array, marks, np.diff(marks))
    raise ValueError(f"{name}: expected a 3-D padded array, a packed 2-D array or a list of 2-D arrays, got "
                     f"{array.ndim} dimensions")


def _pairs(candidates: Any, queries: int, documents: int) -> tuple[Any, Any, list[int]]:
    """The flat (query, document) pairs of the candidate lists, and each list's length."""
    if candidates is None:
        return None, None, []
    if not isinstance(candidates, Sequence) or isinstance(candidates, (str, bytes)):
        raise TypeError("candidates: expected one sequence of document indices per query")
    candidates = list(candidates)  # read once, whatever converting a list does to the caller's
    if len(candidates) != queries:
        raise ValueError(f"candidates: expected {queries} lists (one per query), got {len(candidates)}")
    lists = []
    for i, chosen in enumerate(candidates):
        chosen = np.asarray(chosen)
        if chosen.ndim != 1 or (chosen.size and chosen.dtype.kind not in "iu"):
            raise ValueError(f"candidates[{i}]: expected a 1-D sequence of document indices")
        bad = np.flatnonzero((chosen < 0) | (chosen >= documents))
        if bad.size:
            raise ValueError(f"candidates[{i}][{bad[0]}]: {chosen[bad[0]]} is not a document index "
                             f"(0 to {documents - 1})")
        lists.append(chosen.astype(np.int64))
    sizes = [len(chosen) for chosen in lists]
    query_of = np.repeat(np.arange(queries, dtype=np.int64), sizes)
    document_of = np.concatenate(lists) if lists else np.zeros(0, np.int64)
    return query_of, document_of, sizes


def _result(scores: NDArray[np.float32], sizes: list[int], candidates: Any) -> Scores:
    if candidates is None:
        return scores
    return [part.copy() for part in np.split(scores, np.cumsum(sizes)[:-1])] if sizes else []


@overload
def maxsim(
    queries: Any,
    documents: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: None = None,
) -> NDArray[np.float32]: ...


@overload
def maxsim(
    queries: Any,
    documents: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Sequence[ArrayLike],
) -> list[NDArray[np.float32]]: ...


def maxsim(
    queries: Any,
    documents: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Optional[Sequence[ArrayLike]] = None,
) -> Scores:
    """MaxSim scores of float token vectors (float64 and other float dtypes are converted to float32 once).

    Each side is a padded 3-D array with optional lengths, a list of 2-D arrays, or a packed 2-D array
    with offsets (see the module documentation). Returns a (queries, documents) float32 array, or with
    ``candidates`` one float32 array per query. Raises ``ValueError`` naming the argument for bad
    lengths, offsets, candidate indices or differing token dimensions, ``TypeError`` for non-float
    values.
    """
    q = _side("queries", "query", queries, query_lengths, query_offsets, "float")
    d = _side("documents", "document", documents, document_lengths, document_offsets, "float")
    if q.width != d.width:
        raise ValueError(f"queries and documents have different token dimensions ({q.width} and {d.width})")
    query_of, document_of, sizes = _pairs(candidates, q.items, d.items)
    scores = _native.maxsim_f32(q.tokens, q.index, d.tokens, d.index, query_of, document_of)
    return _result(scores, sizes, candidates)


@overload
def maxsim_quantized(
    query_codes: Any,
    query_meta: Any,
    document_codes: Any,
    document_meta: Any,
    num_bits: int,
    dim: int,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: None = None,
) -> NDArray[np.float32]: ...


@overload
def maxsim_quantized(
    query_codes: Any,
    query_meta: Any,
    document_codes: Any,
    document_meta: Any,
    num_bits: int,
    dim: int,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Sequence[ArrayLike],
) -> list[NDArray[np.float32]]: ...


def maxsim_quantized(
    query_codes: Any,
    query_meta: Any,
    document_codes: Any,
    document_meta: Any,
    num_bits: int,
    dim: int,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Optional[Sequence[ArrayLike]] = None,
) -> Scores:
    """MaxSim scores of quantised tokens: 1-, 4- or 8-bit uint8 codes with float32 metadata.

    Codes and metadata use the format of ``quarnel_solver.compute_max_sim_batch`` (per token a row of
    code bytes and a row ``scale, offset, code_sum, spare``), each side in one of the three forms of
    the module documentation; a side's metadata comes in the same form as its codes, with the same
    token counts, and its lengths or offsets serve both. Every document code must be at least as long
    as the query codes. Each score has the bits ``compute_max_sim_batch`` gives on the same trimmed
    items.
    """
    if num_bits not in (1, 4, 8) or isinstance(num_bits, bool):
        raise ValueError(f"num_bits: expected 1, 4 or 8, got {num_bits!r}")
    if not isinstance(dim, (int, np.integer)) or isinstance(dim, bool) or not 0 <= dim <= 2**63:
        raise ValueError(f"dim: expected an int between 0 and 2**63, got {dim!r}")
    qc = _side("query_codes", "query", query_codes, query_lengths, query_offsets, "uint8", "bytes")
    dc = _side("document_codes", "document", document_codes, document_lengths, document_offsets, "uint8", "bytes")
    qm = _side("query_meta", "query", query_meta, query_lengths, query_offsets, "float", "values")
    dm = _side("document_meta", "document", document_meta, document_lengths, document_offsets, "float", "values")
    for codes, meta, name in ((qc, qm, "query"), (dc, dm, "document")):
        if meta.width < 4:
            raise ValueError(f"{name}_meta: each token needs 4 values (scale, offset, code_sum, spare), "
                             f"got {meta.width}")
        if meta.items != codes.items or np.any(meta.counts != codes.counts) or \
                meta.tokens.ndim != codes.tokens.ndim or meta.tokens.shape[:-1] != codes.tokens.shape[:-1]:
            raise ValueError(f"{name}_meta: must have the same items and tokens as {name}_codes")
    if dc.width < qc.width:
        raise ValueError(f"document_codes: {dc.width} bytes per token, shorter than the {qc.width} of "
                         "query_codes")
    query_of, document_of, sizes = _pairs(candidates, qc.items, dc.items)
    scores = _native.maxsim_codes(qc.tokens, qm.tokens, qc.index, dc.tokens, dm.tokens, dc.index, num_bits,
                                  int(dim), query_of, document_of)
    return _result(scores, sizes, candidates)


@overload
def maxsim_binary_documents(
    queries: Any,
    document_bits: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: None = None,
) -> NDArray[np.float32]: ...


@overload
def maxsim_binary_documents(
    queries: Any,
    document_bits: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Sequence[ArrayLike],
) -> list[NDArray[np.float32]]: ...


def maxsim_binary_documents(
    queries: Any,
    document_bits: Any,
    *,
    query_lengths: Optional[ArrayLike] = None,
    document_lengths: Optional[ArrayLike] = None,
    query_offsets: Optional[ArrayLike] = None,
    document_offsets: Optional[ArrayLike] = None,
    candidates: Optional[Sequence[ArrayLike]] = None,
) -> Scores:
    """MaxSim scores of float query tokens against 1-bit document tokens.

    ``document_bits`` holds uint8 codes as ``numpy.packbits(embedding > 0, axis=-1)`` writes them:
    component k of a document token is bit ``7 - k % 8`` of byte ``k // 8`` and stands for +1.0 when
    set and -1.0 when clear; a token needs at least ``ceil(dim / 8)`` bytes, where dim is the queries'
    dimension, and further bits are ignored. The value of a query token x against a document token is
    the module's float32 dot product of x with that +-1 vector: with s = 8 * (dim // 8), two four-lane
    sums ``lo[j]`` over ``±x[i + j]`` and ``hi[j]`` over ``±x[i + 4 + j]`` for i = 0, 8, ... below s,
    each accumulated in ascending i; then ``(((lo[0] + lo[1]) + lo[2]) + lo[3]) + (((hi[0] + hi[1]) +
    hi[2]) + hi[3])`` (0.0 when dim < 8), to which ``±x[k]`` for k = s .. dim - 1 are added in order.
    Every product is exact (the query value or its negation), every sum a float32 addition. The best
    over document tokens and the sum over query tokens then follow ``maxsim``: the score is exactly
    ``maxsim(queries, signs)`` with ``signs`` the documents unpacked to +-1.0 float32 vectors.
    """
    q = _side("queries", "query", queries, query_lengths, query_offsets, "float")
    d = _side("document_bits", "document", document_bits, document_lengths, document_offsets, "uint8", "bytes")
    if d.width * 8 < q.width:
        raise ValueError(f"document_bits: {d.width} bytes per token hold fewer than the {q.width} bits the "
                         "queries' dimension needs")
    query_of, document_of, sizes = _pairs(candidates, q.items, d.items)
    scores = _native.maxsim_binary(q.tokens, q.index, d.tokens, d.index, query_of, document_of)
    return _result(scores, sizes, candidates)
