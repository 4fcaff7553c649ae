"""quarnel.dask on a local cluster of two worker processes: the same answers
as the plain loop, and every query exactly once after a worker dies."""

import os

import numpy as np
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import quarnel.dask as qdask  # noqa: E402
from batch_cases import (SELECTOR_ARGUMENTS, batch_answers, documents, loop_selections, query_tokens,  # noqa: E402
                         selection_columns, split_shards, tops_by_query)
from quarnel.batch import BatchMaxSim  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  death_timeout=120) as cluster, distributed.Client(cluster, timeout=120) as client:
        client.wait_for_workers(2, timeout=120)
        yield client


def frame(columns, partitions=4):
    data = pd.DataFrame({name: list(value) if isinstance(value, np.ndarray) and value.ndim > 1 else value
                         for name, value in columns.items()})
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(data, npartitions=partitions)


def answers(result):
    result = result.sort_values("query_id")
    return batch_answers(*(result[name] for name in ["query_id", "ids", "indices", "total_tokens", "satisfied",
                                                     "violations"]))


def test_selection_equals_the_plain_loop(client):
    columns = selection_columns()
    result = qdask.select(frame(columns), **SELECTOR_ARGUMENTS).compute()
    assert answers(result) == loop_selections(columns)
    # Each worker process sized its pools to one thread.
    assert set(client.run(lambda: os.environ.get("RAYON_NUM_THREADS")).values()) == {"1"}


def test_a_worker_killed_mid_job_is_replaced_and_every_query_comes_once(client, tmp_path):
    columns = selection_columns(queries=60)
    marker = str(tmp_path / "died")

    def die_once(part):  # the first partition to run takes its worker process down
        if not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(1)
        return part

    source = frame(columns, partitions=6)
    with dask.config.set({"dataframe.convert-string": False}):
        dying = source.map_partitions(die_once, meta=source._meta)
    result = qdask.select(dying, **SELECTOR_ARGUMENTS).compute()
    assert os.path.exists(marker)
    assert sorted(result["query_id"].tolist()) == columns["query_id"].tolist()
    assert answers(result) == loop_selections(columns)


def test_sharded_rerank_equals_the_unsharded_top(client, tmp_path):
    tokens, offsets = documents()
    ids = np.arange(len(offsets) - 1) * 3
    queries = {"query_id": np.arange(30), "query_tokens": query_tokens()}
    expected = tops_by_query(*BatchMaxSim(tokens, offsets=offsets, ids=ids, top_m=6)(queries).values())
    shards = split_shards(tokens, offsets, ids, 2, top_m=6)
    paths = []
    for k, shard in enumerate(shards):  # one shard from a file, one as arrays
        parts = shard.shard()
        paths.append(tmp_path / f"shard{k}.npz")
        np.savez(paths[-1], tokens=parts["tokens"], offsets=parts["offsets"], ids=parts["ids"])
    result = qdask.rerank(frame(queries, partitions=3), [paths[0], shards[1]], top_m=6).compute()
    assert list(result.columns) == ["query_id", "ids", "scores"]
    assert tops_by_query(result["query_id"], result["ids"], result["scores"]) == expected


def test_strings_in_place_of_arrays_are_refused():
    columns = selection_columns(queries=4)
    data = pd.DataFrame({"query_id": columns["query_id"], "embeddings": columns["embeddings"]})
    with dask.config.set({"dataframe.convert-string": True}):
        stringified = dd.from_pandas(data, npartitions=1)
    if isinstance(stringified["embeddings"].dtype, pd.StringDtype):
        with pytest.raises(TypeError, match="convert-string"):
            qdask.select(stringified, **SELECTOR_ARGUMENTS)
