"""Columnar batches for offline jobs: context selection and sharded MaxSim.

Both classes are callables an engine applies to one batch at a time (Ray
Data's `map_batches`, Dask's `map_partitions`, Spark's `mapInPandas`); they
need no engine themselves. A batch is a dict of NumPy arrays, a pandas
DataFrame or a pyarrow Table, one row per query, and the result comes back
as the same kind.

`BatchSelector` takes the arguments of `ContextSelector` and reads the
columns `query_id`, `query_embedding`, optionally `query_text`, and per
query the candidates' `embeddings` with optional `texts`, `ids`,
`token_counts`, `sources` and `roles` (a list per row). It returns
`query_id`, `ids`, `indices`, `total_tokens`, `satisfied` and `violations`.

`BatchMaxSim` holds one shard of documents and returns the `top_m` documents
per query with their scores; `merge_tops` combines the tops of several
shards into the top of all (see `BatchMaxSim`).

Threads: `threads=n` sizes the worker process's native pools to n threads
before its first native call (by RAYON_NUM_THREADS and
`quarnel._native.start_pool`; see `quarnel._threads`), so that workers
sharing a machine do not each start one thread per core. The engine modules
pass the CPUs the engine gives each worker; `threads=None` leaves the
process's default (RAYON_NUM_THREADS, else every core).
"""

from __future__ import annotations

import os
from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._columns import Batch, as_list, matrix, missing, objects
from ._threads import use_threads
from .maxsim import maxsim, maxsim_binary_documents, maxsim_quantized
from .selector import ContextSelector

__all__ = ["BatchSelector", "BatchMaxSim", "RerankStep", "merge_tops", "SELECTION_COLUMNS", "TOP_COLUMNS"]

#: The columns `BatchSelector` returns, in order.
SELECTION_COLUMNS = ("query_id", "ids", "indices", "total_tokens", "satisfied", "violations")
#: The columns `BatchMaxSim` and `merge_tops` return, in order.
TOP_COLUMNS = ("query_id", "ids", "scores")

# Per-candidate columns handed to ContextSelector.select under their own names.
_CANDIDATE_COLUMNS = ("texts", "ids", "token_counts", "sources", "roles")


def _threads_argument(threads: int | None) -> int | None:
    if threads is not None and (not isinstance(threads, int) or isinstance(threads, bool) or threads < 1):
        raise ValueError(f"threads: expected a positive int or None, got {threads!r}")
    return threads


def _with_query(error: Exception, query_id: Any) -> Exception:
    if isinstance(query_id, np.generic):
        query_id = query_id.item()
    if hasattr(error, "add_note"):
        error.add_note(f"in the batch row of query_id {query_id!r}")
    return error


class BatchSelector:
    """`ContextSelector.select` over a columnar batch, one row per query.

    Built from `ContextSelector`'s arguments (checked at once, in the
    process that builds it), plus `threads` for the worker's native pools.
    It pickles as plain data; the native solvers are built inside the worker
    at its first batch.
    """

    def __init__(self, token_budget: int | None = None, *, threads: int | None = None, **selector_arguments: Any):
        if token_budget is not None:
            selector_arguments["token_budget"] = token_budget
        self.selector = ContextSelector(**selector_arguments)
        self.threads = _threads_argument(threads)

    def __call__(self, batch: Any) -> Any:
        if self.threads is not None:
            use_threads(self.threads)
        data = Batch(batch)
        query_ids = data.column("query_id")
        queries = data.column("query_embedding")
        embeddings = data.column("embeddings")
        candidates = {name: data.optional(name) for name in _CANDIDATE_COLUMNS}
        query_texts = data.optional("query_text")
        selections = []
        for row in range(data.rows):
            query = np.asarray(queries[row])
            arguments = {
                name: _row_value(name, column[row])
                for name, column in candidates.items()
                if column is not None and not missing(column[row])
            }
            if query_texts is not None and not missing(query_texts[row]):
                arguments["query_text"] = query_texts[row]
            try:
                selections.append(
                    self.selector.select(query, matrix(embeddings[row], query.shape[-1]), **arguments)
                )
            except Exception as error:
                raise _with_query(error, query_ids[row]) from None
        return data.result({
            "query_id": query_ids,
            "ids": objects([list(s.ids) for s in selections]),
            "indices": objects([list(s.indices) for s in selections]),
            "total_tokens": np.array([s.total_tokens for s in selections], np.int64),
            "satisfied": np.array([s.satisfied for s in selections], bool),
            "violations": objects([list(s.violations) for s in selections]),
        })

    def __repr__(self) -> str:
        return f"BatchSelector({self.selector!r}, threads={self.threads})"


def _row_value(name: str, value: Any) -> Any:
    """A row of a per-candidate column as select takes it: token counts as their array, the rest (ids
    above all) as plain Python values."""
    if name == "token_counts" and isinstance(value, np.ndarray) and value.dtype.kind in "iu":
        return value
    return as_list(value)


# Loaded shards by (path, size, modification time): a path is read once per
# worker process however many tasks carry a BatchMaxSim of it.
_loaded_shards: dict[tuple[str, int, int], dict[str, NDArray[Any]]] = {}


def _load_shard(path: str) -> dict[str, NDArray[Any]]:
    stat = os.stat(path)
    key = (os.path.abspath(path), stat.st_size, stat.st_mtime_ns)
    shard = _loaded_shards.get(key)
    if shard is None:
        with np.load(path, allow_pickle=False) as archive:
            shard = {name: archive[name] for name in archive.files}
        _loaded_shards[key] = shard
    return shard


class BatchMaxSim:
    """The `top_m` documents of one shard for each query of a batch, by MaxSim score.

    `documents` is the shard: a packed 2-D array of token rows (float32, or
    uint8 codes) with `offsets` (cumulative token counts from 0), or the path
    of a `.npz` file holding `tokens` and `offsets`, with optional `ids`,
    `meta`, `num_bits` and `dim`, read once per worker process. Document
    kinds:

    - float32 tokens (no `num_bits`): queries in column `query_tokens`, one
      (tokens, dim) array per row, scored by `quarnel.maxsim`;
    - 1-bit signs as `numpy.packbits` writes them (`num_bits=1`, no `meta`):
      float queries in `query_tokens`, by `quarnel.maxsim_binary_documents`;
    - 1-, 4- or 8-bit codes with `meta` (`num_bits`, `dim`): query codes in
      `query_codes` and `query_meta`, by `quarnel.maxsim_quantized`.

    `ids` name the documents (default: their positions, which shards must
    not share). The result has `query_id`, `ids` (best first, equal scores
    by ascending id) and `scores` (float32). A document's score does not
    depend on the shard or batch it is scored in, so `merge_tops` over the
    shards' results gives exactly the top of the unsharded corpus.
    """

    def __init__(
        self,
        documents: Any,
        *,
        offsets: Any = None,
        ids: Sequence[Hashable] | None = None,
        top_m: int = 10,
        num_bits: int | None = None,
        meta: Any = None,
        dim: int | None = None,
        threads: int | None = None,
    ):
        if not isinstance(top_m, int) or isinstance(top_m, bool) or top_m < 1:
            raise ValueError(f"top_m: expected a positive int, got {top_m!r}")
        if isinstance(documents, (str, os.PathLike)):
            self.path: str | None = os.fspath(documents)
            if not os.path.exists(self.path):
                raise FileNotFoundError(f"documents: no file {self.path!r}")
            self._shard: dict[str, Any] | None = None
        else:
            self.path = None
            if offsets is None:
                raise ValueError("offsets: a packed 2-D documents array needs its offsets")
            self._shard = {"tokens": np.asarray(documents), "offsets": np.asarray(offsets, np.int64)}
            for name, value in (("ids", ids), ("meta", meta), ("num_bits", num_bits), ("dim", dim)):
                if value is not None:
                    self._shard[name] = np.asarray(value)
        self.top_m = top_m
        self.threads = _threads_argument(threads)

    def shard(self) -> dict[str, Any]:
        """The documents: tokens, offsets, ids, and for codes meta, num_bits and dim."""
        shard = self._shard if self.path is None else _load_shard(self.path)
        assert shard is not None
        count = len(shard["offsets"]) - 1
        ids = shard.get("ids")
        if ids is not None and len(ids) != count:
            raise ValueError(f"ids: expected {count} entries (one per document), got {len(ids)}")
        return {
            "tokens": shard["tokens"],
            "offsets": shard["offsets"],
            "ids": np.arange(count) if ids is None else ids,
            "meta": shard.get("meta"),
            "num_bits": None if shard.get("num_bits") is None else int(shard["num_bits"]),
            "dim": None if shard.get("dim") is None else int(shard["dim"]),
        }

    def __call__(self, batch: Any) -> Any:
        data = Batch(batch)
        ids, scores = self.tops(data)
        return data.result({"query_id": data.column("query_id"), "ids": objects(ids), "scores": objects(scores)})

    def tops(self, data: Batch) -> tuple[list[list[Any]], list[NDArray[np.float32]]]:
        """Each query's top documents of this shard: their ids and scores."""
        if self.threads is not None:
            use_threads(self.threads)
        shard = self.shard()
        scores = self._scores(data, shard)
        ids = shard["ids"]
        tops = [_top(row, ids, self.top_m) for row in scores]
        return [ids[top].tolist() for top in tops], [row[top] for row, top in zip(scores, tops)]

    def _scores(self, data: Batch, shard: dict[str, Any]) -> NDArray[np.float32]:
        tokens, offsets, num_bits = shard["tokens"], shard["offsets"], shard["num_bits"]
        if shard["meta"] is not None:
            codes = [matrix(row, tokens.shape[1]) for row in data.column("query_codes")]
            metas = [matrix(row, 4) for row in data.column("query_meta")]
            return np.asarray(maxsim_quantized(codes, metas, tokens, shard["meta"], num_bits, shard["dim"],
                                               document_offsets=offsets))
        width = tokens.shape[1] * 8 if num_bits == 1 else tokens.shape[1]
        queries = [matrix(row, width) for row in data.column("query_tokens")]
        if num_bits == 1:
            return np.asarray(maxsim_binary_documents(queries, tokens, document_offsets=offsets))
        if num_bits is not None:
            raise ValueError(f"num_bits: codes of {num_bits} bits need their meta")
        return np.asarray(maxsim(queries, tokens, document_offsets=offsets))

    def __repr__(self) -> str:
        where = self.path if self.path is not None else "arrays"
        return f"BatchMaxSim({where!r}, top_m={self.top_m}, threads={self.threads})"


def _top(scores: NDArray[np.float32], ids: NDArray[Any], m: int) -> NDArray[np.intp]:
    """Positions of the m best scores, best first, equal scores by ascending id (NaN ranks last)."""
    scores = np.where(np.isnan(scores), np.float32(-np.inf), scores)
    if len(scores) > m:
        # Everything scoring at least the m-th best, ties at the edge included.
        edge = np.partition(scores, len(scores) - m)[len(scores) - m]
        keep = np.flatnonzero(scores >= edge)
    else:
        keep = np.arange(len(scores))
    order = np.lexsort((ids[keep], -scores[keep]))
    return keep[order[:m]]


def _merge(ids: list[Any], scores: NDArray[np.float32], top_m: int) -> tuple[list[Any], NDArray[np.float32]]:
    all_ids = np.array(ids)
    top = _top(scores, all_ids, top_m)
    return all_ids[top].tolist(), scores[top]


class RerankStep:
    """One shard's step of a chained rerank: scores a batch of queries and
    merges the shard's top into the `ids` and `scores` a previous step left.

    Chaining one step per shard (each its own actor pool on Ray) merges the
    tops as they go, with no shuffle. The steps before the last keep the
    batch's other columns, for the next shard to score; the last returns
    `query_id`, `ids` and `scores` only.
    """

    def __init__(self, scorer: BatchMaxSim, last: bool):
        self.scorer = scorer
        self.last = last

    def __call__(self, batch: Any) -> Any:
        data = Batch(batch)
        ids, scores = self.scorer.tops(data)
        earlier_ids, earlier_scores = data.optional("ids"), data.optional("scores")
        if earlier_ids is not None and earlier_scores is not None:
            for row in range(data.rows):
                ids[row], scores[row] = _merge(
                    as_list(earlier_ids[row]) + ids[row],
                    np.concatenate([np.asarray(earlier_scores[row], np.float32), scores[row]]),
                    self.scorer.top_m,
                )
        kept: dict[str, NDArray[Any]] = {"query_id": data.column("query_id")} if self.last else dict(data.columns)
        return data.result({**kept, "ids": objects(ids), "scores": objects(scores)})


def merge_tops(batch: Any, top_m: int) -> Any:
    """One row per query_id holding the `top_m` best of all its rows' tops (from several shards).

    Queries come out in the order of their first row; equal scores are
    ordered by ascending document id, as in each shard's top.
    """
    data = Batch(batch)
    query_ids, ids, scores = (data.column(name) for name in TOP_COLUMNS)
    rows: dict[Any, list[int]] = {}
    for row, query_id in enumerate(query_ids.tolist()):
        rows.setdefault(query_id, []).append(row)
    merged_ids, merged_scores = [], []
    for group in rows.values():
        best_ids, best_scores = _merge(
            [i for row in group for i in as_list(ids[row])],
            np.concatenate([np.asarray(scores[row], np.float32) for row in group]),
            top_m,
        )
        merged_ids.append(best_ids)
        merged_scores.append(best_scores)
    first = [group[0] for group in rows.values()]
    return data.result({
        "query_id": query_ids[first],
        "ids": objects(merged_ids),
        "scores": objects(merged_scores),
    })

