"""Conversion and validation of what callers hand to `ContextSelector.select`.

Every function here either returns data in the one form the solver call
needs or raises `TypeError`/`ValueError` with a message that names the
argument and, for per-chunk data, the position (and key) of the bad value,
so that nothing the native module would reject, or panic on, gets through.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence, Set
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

UINT32_MAX = 2**32 - 1

#: Role names accepted per chunk and in `must_include_roles` (any letter
#: case), with the code the solver uses for each.
ROLE_CODES: Mapping[str, int] = {
    "definition": 0,
    "example": 1,
    "evidence": 2,
    "conclusion": 3,
    "risk": 4,
    "constraint": 5,
    "datatable": 6,
    "data_table": 6,
    "table": 6,
    "procedure": 7,
}
UNKNOWN_ROLE = 255  # any code outside 0-7 is the role Unknown
UNKNOWN_NAMES = frozenset({"", "unknown"})


def describe(value: object) -> str:
    """`str '100'`: the type and a short repr, for error messages."""
    text = repr(value)
    if len(text) > 40:
        text = text[:37] + "..."
    return f"{type(value).__name__} {text}"


def _fail(error: type[Exception], where: str, expected: str, value: object) -> NoReturn:
    raise error(f"{where}: expected {expected}, got {describe(value)}")


def as_list(name: str, value: Iterable[Any]) -> list[Any]:
    """The items of a per-chunk sequence, read once (generators included)."""
    if isinstance(value, (str, bytes)) or isinstance(value, Mapping):
        _fail(TypeError, name, "a sequence with one entry per chunk", value)
    if isinstance(value, Set):
        raise TypeError(f"{name}: a set has no order; pass a list with one entry per chunk")
    if isinstance(value, np.ndarray):
        return list(value) if value.ndim == 1 else _fail(TypeError, name, "a 1-dimensional array", value)
    try:
        return list(value)
    except TypeError:
        _fail(TypeError, name, "a sequence with one entry per chunk", value)


def per_chunk(name: str, value: Iterable[Any] | None, count: int) -> list[Any] | None:
    if value is None:
        return None
    items = as_list(name, value)
    if len(items) != count:
        raise ValueError(f"{name}: expected {count} entries, one per embedding, got {len(items)}")
    return items


def _is_number(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def finite_number(where: str, value: object) -> float:
    if not _is_number(value):
        _fail(TypeError, where, "a finite number", value)
    number = float(value)  # type: ignore[arg-type]
    if not math.isfinite(number):
        _fail(ValueError, where, "a finite number", value)
    return number


def _numeric_array(name: str, value: object, ndim: int, keep_float32: bool = False) -> NDArray[Any]:
    """A C-contiguous float64 copy of real numbers with `ndim` dimensions
    (float32 for a float32 array with `keep_float32`).

    Arrays of any real dtype and layout go through NumPy at once; nested
    sequences too, and only when NumPy cannot read them are they walked to
    find the first bad entry.
    """
    if isinstance(value, (str, bytes)) or isinstance(value, Mapping):
        _fail(TypeError, name, "an array or a sequence of numbers", value)
    if isinstance(value, np.ndarray):
        array = value
    else:
        rows = value if isinstance(value, Sequence) else as_list(name, value)  # type: ignore[arg-type]
        try:
            array = np.asarray(rows)
        except (ValueError, TypeError) as error:  # ragged, or not numbers
            _diagnose(name, rows, ndim)
            raise TypeError(f"{name}: cannot be read as numbers ({error})") from error
        if array.dtype.kind not in "fiu" or array.ndim != ndim:
            _diagnose(name, rows, ndim)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name}: expected real numbers, got an array of dtype {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name}: expected {ndim} dimension{'s' if ndim > 1 else ''}, got shape {array.shape}")
    # float32 stays float32 where the caller asks (widening exactly is left
    # to the consumer, and saves a pass over a large matrix).
    dtype = np.float32 if keep_float32 and array.dtype == np.float32 else np.float64
    result = np.array(array, dtype=dtype, order="C")
    if not np.isfinite(result).all():
        bad = np.argwhere(~np.isfinite(result))
        position = "".join(f"[{int(k)}]" for k in bad[0])
        _fail(ValueError, name + position, "a finite number", array[tuple(bad[0])].item())
    return result


def _diagnose(name: str, rows: object, ndim: int) -> None:
    """Find the first entry that keeps nested sequences from being a matrix."""
    if ndim == 1:
        for k, entry in enumerate(as_list(name, rows)):  # type: ignore[arg-type]
            finite_number(f"{name}[{k}]", entry)
        return
    width = None
    for i, row in enumerate(as_list(name, rows)):  # type: ignore[arg-type]
        if isinstance(row, (str, bytes)) or not isinstance(row, Iterable):
            _fail(TypeError, f"{name}[{i}]", "a sequence of numbers", row)
        entries = as_list(f"{name}[{i}]", row)
        for k, entry in enumerate(entries):
            finite_number(f"{name}[{i}][{k}]", entry)
        if width is None:
            width = len(entries)
        elif len(entries) != width:
            raise ValueError(f"{name}[{i}]: expected {width} values like {name}[0], got {len(entries)}")


def embedding_matrix(value: object) -> NDArray[np.floating]:
    if value is None:
        raise TypeError("embeddings: required, one vector per chunk")
    if not isinstance(value, (np.ndarray, Sequence, Mapping)) and isinstance(value, Iterable):
        value = as_list("embeddings", value)  # a generator, read once
    if isinstance(value, Sequence) and not isinstance(value, (str, bytes)) and len(value) == 0:
        return np.zeros((0, 0))
    matrix = _numeric_array("embeddings", value, 2, keep_float32=True)
    if matrix.shape[0] > 0 and matrix.shape[1] == 0:
        raise ValueError("embeddings: the vectors have no values")
    return matrix


def query_vector(value: object, dim: int, rows: int) -> NDArray[np.float64]:
    if isinstance(value, np.ndarray) and value.ndim == 2 and value.shape[0] == 1:
        raise ValueError(
            f"query_embedding: expected one vector (1 dimension), got shape {value.shape}; "
            "pass query_embedding[0]"
        )
    vector = _numeric_array("query_embedding", value, 1)
    if dim and len(vector) != dim and len(vector) == rows:
        # The query matches the rows, not the columns: one column per chunk.
        raise ValueError(
            f"embeddings: expected one row per chunk of {len(vector)} values like query_embedding, "
            f"got shape {(rows, dim)}, one column per chunk; pass the transpose (embeddings.T)"
        )
    if dim and len(vector) != dim:
        raise ValueError(f"query_embedding: expected {dim} values like each embedding, got {len(vector)}")
    return vector


def coverage_matrix(value: object, count: int) -> NDArray[np.float32]:
    """How well each chunk covers each query token: query tokens x chunks."""
    matrix = _numeric_array("coverage", value, 2)
    if matrix.shape[1] != count:
        raise ValueError(f"coverage: expected one column per chunk, shape (query tokens, {count}), got {matrix.shape}")
    return matrix.astype(np.float32)


def query_token_weights(
    value: Iterable[Any] | None, coverage: NDArray[np.float32] | None
) -> NDArray[np.float32] | None:
    """Relative weights of the query tokens, scaled to add up to 1 (equal when not given)."""
    if coverage is None:
        if value is not None:
            raise ValueError("query_token_weights: given without coverage, which they weigh")
        return None
    tokens = len(coverage)
    if value is None:
        return np.full(tokens, 1.0 / tokens if tokens else 0.0, dtype=np.float32)
    weights = score_array("query_token_weights", value, tokens, per="row of coverage").astype(np.float64)
    if (weights < 0).any():
        k = int(np.argmax(weights < 0))
        _fail(ValueError, f"query_token_weights[{k}]", "a non-negative number", float(weights[k]))
    total = weights.sum()
    return (weights / total if total > 0 else weights).astype(np.float32)


def score_array(name: str, value: Iterable[Any], count: int, per: str = "embedding") -> NDArray[np.float32]:
    if isinstance(value, np.ndarray) and value.ndim == 1:
        scores = _numeric_array(name, value, 1)
    else:
        items = as_list(name, value)
        scores = np.array([finite_number(f"{name}[{k}]", v) for k, v in enumerate(items)], dtype=np.float64)
    if len(scores) != count:
        raise ValueError(f"{name}: expected {count} entries, one per {per}, got {len(scores)}")
    return scores.astype(np.float32)


def token_count(where: str, value: object) -> int:
    if not isinstance(value, numbers.Integral) or isinstance(value, bool):
        _fail(TypeError, where, "a non-negative int", value)
    count = int(value)
    if not 0 <= count <= UINT32_MAX:
        _fail(ValueError, where, f"a non-negative int up to {UINT32_MAX}", value)
    return count


def given_costs(counts: list[Any] | None, texts: list[str] | None, count: int) -> NDArray[np.uint32]:
    """The given token counts, checked; 0 where the text is to be counted."""
    if counts is None and texts is None and count > 0:
        raise ValueError("token_counts or texts is needed: the token budget is counted from them")
    costs = np.zeros(count, dtype=np.uint32)
    if counts is None:
        return costs
    for k, given in enumerate(counts):
        if type(given) is int and 0 <= given <= UINT32_MAX:
            costs[k] = given
        elif given is not None:
            costs[k] = token_count(f"token_counts[{k}]", given)
        elif texts is None:
            raise ValueError(f"token_counts[{k}]: missing, and there is no text to count")
    return costs


def count_texts(
    costs: NDArray[np.uint32],
    counts: list[Any] | None,
    texts: list[str] | None,
    counter: Callable[[str], int],
    positions: Iterable[int],
) -> NDArray[np.uint32]:
    """`costs` with the texts at `positions` that have no given count counted
    (only the pool is priced: counting every text costs more than the solve)."""
    if texts is None:
        return costs
    costs = costs.copy()
    for k in positions:
        k = int(k)
        if counts is None or counts[k] is None:
            value = counter(texts[k])
            if type(value) is not int or not 0 <= value <= UINT32_MAX:
                value = token_count(f"token_counter(texts[{k}])", value)
            costs[k] = value
    return costs


def texts_list(value: Iterable[Any] | None, count: int) -> list[str] | None:
    texts = per_chunk("texts", value, count)
    if texts is not None:
        for k, text in enumerate(texts):
            if not isinstance(text, str):
                _fail(TypeError, f"texts[{k}]", "str", text)
    return texts


def role_code(where: str, name: object) -> int:
    if name is None:
        return UNKNOWN_ROLE
    if not isinstance(name, str):
        _fail(TypeError, where, "a role name (str) or None", name)
    key = name.lower()
    if key in UNKNOWN_NAMES:
        return UNKNOWN_ROLE
    if key not in ROLE_CODES:
        raise ValueError(f"{where}: unknown role {name!r}; expected one of {', '.join(known_roles())} or None")
    return ROLE_CODES[key]


def known_roles() -> list[str]:
    return ["definition", "example", "evidence", "conclusion", "risk", "constraint", "table", "procedure", "unknown"]


def role_codes(value: Iterable[Any] | None, count: int) -> NDArray[np.uint8]:
    roles = per_chunk("roles", value, count)
    if roles is None:
        return np.full(count, UNKNOWN_ROLE, dtype=np.uint8)
    return np.array([role_code(f"roles[{k}]", r) for k, r in enumerate(roles)], dtype=np.uint8)


def required_role_names(value: Iterable[Any]) -> tuple[str, ...]:
    """Role names for the solver, checked; a misspelt role is an error here."""
    if isinstance(value, str):
        raise TypeError(f"must_include_roles: expected a collection of role names, got str {value!r}; "
                        f"wrap it in a list: [{value!r}]")
    names = []
    for k, name in enumerate(value):
        where = f"must_include_roles[{k}]"
        if not isinstance(name, str):
            _fail(TypeError, where, "a role name (str)", name)
        code = role_code(where, name)
        names.append("unknown" if code == UNKNOWN_ROLE else name.lower())
    return tuple(dict.fromkeys(names))


def id_list(value: Iterable[Any] | None, count: int) -> list[Hashable]:
    ids = per_chunk("ids", value, count)
    if ids is None:
        return list(range(count))
    first: dict[Hashable, int] = {}
    for k, chunk_id in enumerate(ids):
        try:
            seen = first.setdefault(chunk_id, k)
        except TypeError:
            chunk_id = seen = None
        if chunk_id is None:
            _fail(TypeError, f"ids[{k}]", "a hashable id (str or int)", ids[k])
        if seen != k:
            # required_ids, excluded_ids and the explanation refer to chunks by id.
            raise ValueError(f"ids[{k}]: {chunk_id!r} repeats ids[{seen}]; every chunk needs its own id")
    return ids


def token_budget(value: object) -> int:
    budget = token_count("token_budget", value)
    if budget == 0:
        _fail(ValueError, "token_budget", "a positive int", value)
    return budget


def id_tuple(name: str, value: Iterable[Any]) -> tuple[Hashable, ...]:
    """Distinct ids of a constraint list, in the given order."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name}: expected a collection of ids, got str {value!r}; wrap it in a list: [{value!r}]")
    ids: dict[Hashable, None] = {}
    for k, chunk_id in enumerate(value):
        try:
            ids[chunk_id] = None
        except TypeError:
            _fail(TypeError, f"{name}[{k}]", "a hashable id", chunk_id)
    return tuple(ids)


def cluster_ids(value: Iterable[Any] | None, count: int) -> tuple[NDArray[np.int32], list[Hashable]]:
    """Cluster ids for the solver, one per distinct source in order of first
    appearance, and the sources by cluster id; None means no source."""
    sources = per_chunk("sources", value, count)
    clusters = np.full(count, -1, dtype=np.int32)
    labels: list[Hashable] = []
    if sources is None:
        return clusters, labels
    numbering: dict[Hashable, int] = {}
    for k, source in enumerate(sources):
        if source is None:
            continue
        try:
            cluster = numbering.setdefault(source, len(numbering))
        except TypeError:
            _fail(TypeError, f"sources[{k}]", "a hashable source (str or int) or None", source)
        if cluster == len(labels):
            labels.append(source)
        clusters[k] = cluster
    return clusters, labels
