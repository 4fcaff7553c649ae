"""Dask: context selection and sharded MaxSim reranking on a `dask.dataframe`.

Needs Dask's dataframe and distributed scheduler: ``pip install
'quarnel_solver[dask]'``. Both functions return lazy dataframes built with
`map_partitions`, one query per row. A Dask worker runs as many tasks at
once as it has threads, so by default each task's native calls run on the
task's own thread (`threads=1`: the worker's threads are its CPU allotment);
give `threads` to run each task's calls on more. Dask reruns the tasks of a
worker that dies.

The columns that hold a list or array per row must stay object columns:
build the dataframe under ``dask.config.set({"dataframe.convert-string":
False})``, or Dask turns them into strings (both functions then raise a
TypeError naming the column).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ._extras import missing_extra

try:
    import dask.dataframe as dd
    import pandas as pd
except ImportError as error:
    raise missing_extra("dask", "dask[dataframe]", "dask") from error

from .batch import BatchMaxSim, BatchSelector, RerankStep

__all__ = ["select", "rerank"]


# Columns that hold a list or array per row, which Dask must leave as objects.
_RAGGED = ("query_embedding", "embeddings", "texts", "ids", "token_counts", "sources", "roles",
           "query_tokens", "query_codes", "query_meta")


def _check_objects(ddf: dd.DataFrame) -> None:
    for name in _RAGGED:
        if name in ddf.columns and isinstance(ddf[name].dtype, pd.StringDtype):
            raise TypeError(
                f"ddf[{name!r}]: holds strings where a list or array per row belongs; Dask turns object "
                "columns into strings unless the dataframe is built under "
                "dask.config.set({'dataframe.convert-string': False})"
            )


def _objects() -> pd.Series:
    return pd.Series([], dtype=object)


def select(ddf: dd.DataFrame, *, threads: int = 1, **selector_arguments: Any) -> dd.DataFrame:
    """The selection of every row (columns as `quarnel.batch.BatchSelector` reads them and returns).

    `selector_arguments` are those of `quarnel.ContextSelector`, checked here
    before any work starts.
    """
    selector = BatchSelector(threads=threads, **selector_arguments)
    _check_objects(ddf)
    meta = pd.DataFrame({
        "query_id": ddf["query_id"]._meta,
        "ids": _objects(),
        "indices": _objects(),
        "total_tokens": pd.Series([], dtype="int64"),
        "satisfied": pd.Series([], dtype=bool),
        "violations": _objects(),
    })
    return ddf.map_partitions(selector, meta=meta)


def rerank(ddf: dd.DataFrame, shards: Sequence[Any], *, top_m: int = 10, threads: int = 1) -> dd.DataFrame:
    """The `top_m` documents of all shards for every query row: `query_id`, `ids` and `scores`.

    `shards` are paths of `.npz` shards or `quarnel.batch.BatchMaxSim`
    objects. Each partition passes through every shard in turn, each merging
    its top into the running one (`quarnel.batch.RerankStep`), so no shuffle
    is needed; a worker loads a path's shard once and keeps it for the
    partitions that follow.
    """
    if not shards:
        raise ValueError("shards: expected at least one shard")
    _check_objects(ddf)
    scorers = [s if isinstance(s, BatchMaxSim) else BatchMaxSim(s, top_m=top_m, threads=threads) for s in shards]
    steps = [RerankStep(scorer, last=k == len(scorers) - 1) for k, scorer in enumerate(scorers)]
    meta = ddf._meta
    for step in steps[:-1]:
        meta = meta.assign(ids=_objects(), scores=_objects())
        ddf = ddf.map_partitions(step, meta=meta)
    final = pd.DataFrame({"query_id": ddf["query_id"]._meta, "ids": _objects(), "scores": _objects()})
    return ddf.map_partitions(steps[-1], meta=final)
