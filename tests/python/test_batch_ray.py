"""quarnel.ray on a local Ray with two CPUs: the same answers as the plain
loop, and every query exactly once after a worker dies mid-job."""

import os

import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

import quarnel.ray as qray  # noqa: E402
from batch_cases import (SELECTOR_ARGUMENTS, batch_answers, documents, loop_selections, query_tokens,  # noqa: E402
                         selection_columns, split_shards, tops_by_query)
from quarnel.batch import BatchMaxSim  # noqa: E402


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield
    ray.shutdown()


def dataset(columns, blocks=4):
    rows = [{name: value[i] for name, value in columns.items()} for i in range(len(columns["query_id"]))]
    return ray.data.from_items(rows, override_num_blocks=blocks)


def answers(rows):
    names = ["query_id", "ids", "indices", "total_tokens", "satisfied", "violations"]
    return batch_answers(*([row[name] for row in rows] for name in names))


def test_selection_equals_the_plain_loop():
    columns = selection_columns()
    rows = qray.select(dataset(columns), concurrency=2, batch_size=8, **SELECTOR_ARGUMENTS).take_all()
    assert answers(rows) == loop_selections(columns)


def test_a_worker_killed_mid_job_is_retried_and_every_query_comes_once(tmp_path):
    columns = selection_columns(queries=60)
    marker = str(tmp_path / "died")

    def die_once(batch):  # the first batch to run takes its worker process down
        if not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(1)
        return batch

    dying = dataset(columns, blocks=6).map_batches(die_once, batch_size=8)
    rows = qray.select(dying, concurrency=2, batch_size=8, **SELECTOR_ARGUMENTS).take_all()
    assert os.path.exists(marker)
    assert sorted(row["query_id"] for row in rows) == columns["query_id"].tolist()
    assert answers(rows) == loop_selections(columns)


def test_sharded_rerank_equals_the_unsharded_top(tmp_path):
    tokens, offsets = documents()
    ids = np.arange(len(offsets) - 1) * 3
    queries = {"query_id": np.arange(30), "query_tokens": query_tokens()}
    expected = tops_by_query(*BatchMaxSim(tokens, offsets=offsets, ids=ids, top_m=6)(queries).values())
    shards = split_shards(tokens, offsets, ids, 2, top_m=6)
    parts = shards[0].shard()
    path = tmp_path / "shard0.npz"
    np.savez(path, tokens=parts["tokens"], offsets=parts["offsets"], ids=parts["ids"])
    rows = qray.rerank(dataset(queries, blocks=3), [path, shards[1]], top_m=6, batch_size=8).take_all()
    assert set(rows[0]) == {"query_id", "ids", "scores"}
    assert tops_by_query(*([row[name] for row in rows] for name in ["query_id", "ids", "scores"])) == expected
