"""Ray Data: context selection and sharded MaxSim reranking on a `ray.data.Dataset`.

Needs Ray Data: ``pip install 'quarnel_solver[ray]'``. Both functions return
lazy datasets built with `Dataset.map_batches` over a pool of actors; each
actor gets `num_cpus` CPUs from Ray and sizes its native pools to that many
threads before its first batch (see `quarnel.batch`). Ray retries the
batches of an actor that dies and starts a new one in its place.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from ._extras import missing_extra

try:
    import ray.data
except ImportError as error:
    raise missing_extra("ray", "ray[data]", "ray") from error

from .batch import BatchMaxSim, BatchSelector, RerankStep

__all__ = ["select", "rerank"]


def _threads(num_cpus: float) -> int:
    if not num_cpus > 0:
        raise ValueError(f"num_cpus: expected a positive number, got {num_cpus!r}")
    return max(1, math.floor(num_cpus))


def _actors(concurrency: int | tuple[int, int] | None) -> ray.data.ActorPoolStrategy:
    """The actor pool for `concurrency`: a fixed count, a (min, max) range, or None for Ray's autoscaling."""
    if concurrency is None:
        return ray.data.ActorPoolStrategy(min_size=1)
    if isinstance(concurrency, tuple):
        return ray.data.ActorPoolStrategy(min_size=concurrency[0], max_size=concurrency[1])
    return ray.data.ActorPoolStrategy(size=concurrency)


def select(
    dataset: ray.data.Dataset,
    *,
    num_cpus: float = 1,
    concurrency: int | tuple[int, int] | None = None,
    batch_size: int | None = 256,
    **selector_arguments: Any,
) -> ray.data.Dataset:
    """The selection of every row (one query each; columns as `quarnel.batch.BatchSelector` reads them).

    `selector_arguments` are those of `quarnel.ContextSelector`, checked here
    before any work starts. `concurrency` is the number of actors (or a
    (min, max) range), each with `num_cpus` CPUs. Actors that take every CPU
    of the cluster leave none for the tasks that read or make the batches
    upstream, and the job waits for ever: leave them a CPU, or produce the
    batches in the same actors (Ray fuses a `map_batches` before this one).
    """
    BatchSelector(threads=_threads(num_cpus), **selector_arguments)  # fails here on a bad argument
    return dataset.map_batches(
        BatchSelector,
        fn_constructor_kwargs={"threads": _threads(num_cpus), **selector_arguments},
        batch_size=batch_size,
        num_cpus=num_cpus,
        compute=_actors(concurrency),
    )


class _Step:
    """An actor's rerank step: built in the actor, so its shard is loaded there."""

    def __init__(self, shard: Any, top_m: int, threads: int, last: bool):
        scorer = shard if isinstance(shard, BatchMaxSim) else BatchMaxSim(shard, top_m=top_m, threads=threads)
        if scorer.threads is None:
            scorer.threads = threads
        self.step = RerankStep(scorer, last)

    def __call__(self, batch: Any) -> Any:
        return self.step(batch)


def rerank(
    dataset: ray.data.Dataset,
    shards: Sequence[Any],
    *,
    top_m: int = 10,
    num_cpus: float = 1,
    concurrency: int | tuple[int, int] | None = 1,
    batch_size: int | None = 256,
) -> ray.data.Dataset:
    """The `top_m` documents of all shards for every query row: `query_id`, `ids` and `scores`.

    `shards` are paths of `.npz` shards or `quarnel.batch.BatchMaxSim`
    objects; each shard gets its own actors (`concurrency` of them), which
    load it once, and the batches pass from shard to shard, each merging its
    top into the running one (`quarnel.batch.RerankStep`), so no shuffle is
    needed. The query columns are those `BatchMaxSim` reads.
    """
    if not shards:
        raise ValueError("shards: expected at least one shard")
    threads = _threads(num_cpus)
    for k, shard in enumerate(shards):
        dataset = dataset.map_batches(
            _Step,
            fn_constructor_kwargs={"shard": shard, "top_m": top_m, "threads": threads, "last": k == len(shards) - 1},
            batch_size=batch_size,
            num_cpus=num_cpus,
            compute=_actors(concurrency),
        )
    return dataset
