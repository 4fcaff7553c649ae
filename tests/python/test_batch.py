"""quarnel.batch without an engine: columnar selection equals the plain loop
for every batch kind, and sharded MaxSim tops equal the unsharded top."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from batch_cases import (DIM, SELECTOR_ARGUMENTS, batch_answers, documents, loop_selections, query_tokens,
                         selection_columns, split_shards, tops_by_query)
from quarnel.batch import BatchMaxSim, BatchSelector, RerankStep, merge_tops


def as_kind(columns, kind):
    if kind == "dict":
        return columns
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({name: list(value) if isinstance(value, np.ndarray) and value.ndim > 1 else value
                          for name, value in columns.items()})
    if kind == "pandas":
        return frame
    pa = pytest.importorskip("pyarrow")
    return pa.table({name: [v.tolist() if isinstance(v, np.ndarray) else v for v in value]
                     for name, value in frame.items()})


def as_columns(result):
    if isinstance(result, dict):
        return result
    if hasattr(result, "to_pydict"):
        return result.to_pydict()
    return {name: result[name].tolist() for name in result.columns}


@pytest.mark.parametrize("kind", ["dict", "pandas", "arrow"])
def test_selection_equals_the_plain_loop(kind):
    columns = selection_columns()
    selector = pickle.loads(pickle.dumps(BatchSelector(**SELECTOR_ARGUMENTS)))
    result = selector(as_kind(columns, kind))
    assert type(result).__name__ == type(as_kind(columns, kind)).__name__
    out = as_columns(result)
    assert list(out) == ["query_id", "ids", "indices", "total_tokens", "satisfied", "violations"]
    assert batch_answers(*out.values()) == loop_selections(columns)


def test_selection_passes_the_selector_arguments_and_names_the_failing_row():
    columns = selection_columns(queries=6)
    required = columns["ids"][3][0]
    out = BatchSelector(**SELECTOR_ARGUMENTS, required_ids=[required])(columns)
    assert batch_answers(*out.values()) == loop_selections(columns, required_ids=[required])
    assert required in out["ids"][3] and "Required chunk missing" in out["violations"][2][0]
    with pytest.raises(TypeError, match="token_budget"):
        BatchSelector(token_budget="many")
    columns["token_counts"][4] = columns["token_counts"][4][:-1]
    with pytest.raises(ValueError, match="token_counts") as error:
        BatchSelector(**SELECTOR_ARGUMENTS)(columns)
    assert "query_id 1004" in str(error.value.__notes__)
    with pytest.raises(KeyError, match="embeddings"):
        BatchSelector(**SELECTOR_ARGUMENTS)({"query_id": np.arange(2), "query_embedding": np.zeros((2, DIM))})


def test_query_text_reaches_select():
    from quarnel import ContextSelector

    columns = selection_columns(queries=4)
    columns["query_text"] = np.array(["river bank", None, "bank loan", "river"], dtype=object)
    words = ["river", "bank", "loan", "stone"]
    columns["texts"] = [[f"{words[j % 4]} {words[(j * 3 + q) % 4]}" for j in range(len(ids))]
                        for q, ids in enumerate(columns["ids"])]
    out = BatchSelector(**SELECTOR_ARGUMENTS)(columns)
    selector = ContextSelector(**SELECTOR_ARGUMENTS)
    for row in range(4):
        text = columns["query_text"][row]
        chosen = selector.select(columns["query_embedding"][row], columns["embeddings"][row], ids=columns["ids"][row],
                                 token_counts=columns["token_counts"][row], texts=columns["texts"][row],
                                 query_text=text)
        assert list(chosen.ids) == out["ids"][row]


def unsharded_top(queries, top_m):
    tokens, offsets = documents()
    ids = np.arange(500, 500 + len(offsets) - 1)
    whole = BatchMaxSim(tokens, offsets=offsets, ids=ids, top_m=top_m)
    return tops_by_query(*whole(queries).values()), tokens, offsets, ids


@pytest.mark.parametrize("parts", [2, 3])
def test_sharded_top_equals_the_unsharded_top_with_ties_by_id(parts):
    queries = {"query_id": np.arange(30), "query_tokens": query_tokens()}
    expected, tokens, offsets, ids = unsharded_top(queries, 7)
    shards = split_shards(tokens, offsets, ids, parts, top_m=7)
    # Tied documents (copies) are listed by ascending id.
    for top_ids, top_scores in expected.values():
        for a, b, sa, sb in zip(top_ids, top_ids[1:], top_scores, top_scores[1:]):
            assert sa > sb or (sa == sb and a < b)
    assert any(len(set(s)) < len(s) for _, s in expected.values())  # the case has ties in the tops
    tops = [shard(queries) for shard in shards]
    stacked = {name: np.concatenate([t[name] for t in tops]) for name in tops[0]}
    assert tops_by_query(*merge_tops(stacked, 7).values()) == expected
    chained = queries
    for k, shard in enumerate(pickle.loads(pickle.dumps(shards))):
        chained = RerankStep(shard, last=k == parts - 1)(chained)
    assert list(chained) == ["query_id", "ids", "scores"]
    assert tops_by_query(*chained.values()) == expected


def test_shard_kinds_and_files(tmp_path):
    rng = np.random.default_rng(3)
    tokens, offsets = documents()
    signs = np.packbits(tokens > 0, axis=-1)
    queries = query_tokens(5)
    path = tmp_path / "shard.npz"
    np.savez(path, tokens=signs, offsets=offsets, num_bits=1)
    batch = {"query_id": np.arange(5), "query_tokens": queries}
    from_file = BatchMaxSim(path, top_m=4)(batch)
    scores = np.stack([np.asarray(s) for s in from_file["scores"]])
    from quarnel import maxsim_binary_documents, maxsim_quantized
    full = maxsim_binary_documents(queries, signs, document_offsets=offsets)
    assert np.array_equal(scores, -np.sort(-full, axis=1)[:, :4])
    # 8-bit codes with their metadata, on both sides.
    codes = rng.integers(0, 256, (len(tokens), DIM), dtype=np.uint8)
    meta = np.tile(np.float32([0.01, -1.0, 0.0, 0.0]), (len(tokens), 1))
    meta[:, 2] = codes.sum(axis=1)
    q_codes, q_meta = [codes[:3], codes[5:7]], [meta[:3], meta[5:7]]
    out = BatchMaxSim(codes, offsets=offsets, meta=meta, num_bits=8, dim=DIM, top_m=3)(
        {"query_id": np.arange(2), "query_codes": q_codes, "query_meta": q_meta})
    full = maxsim_quantized(q_codes, q_meta, codes, meta, 8, DIM, document_offsets=offsets)
    assert [list(s) for s in out["scores"]] == [list(-np.sort(-row)[:3]) for row in full]
    with pytest.raises(FileNotFoundError):
        BatchMaxSim(tmp_path / "missing.npz")
    with pytest.raises(ValueError, match="top_m"):
        BatchMaxSim(path, top_m=0)


def run_python(code, **env):
    environment = {name: value for name, value in os.environ.items() if name != "RAYON_NUM_THREADS"}
    environment.update(env)
    done = subprocess.run([sys.executable, "-W", "always", "-c", code], capture_output=True, text=True,
                          env=environment, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip(), done.stderr


def test_threads_are_set_before_the_pool_starts_and_a_late_request_warns():
    # Fresh processes: the pool's size is fixed for the life of one.
    out, err = run_python(
        "import os, quarnel; from quarnel._threads import use_threads\n"
        "print(use_threads(1), os.environ['RAYON_NUM_THREADS'], use_threads(1))\n"
        "quarnel.maxsim([[[1.0]]], [[[1.0]]]); print(use_threads(2))"
    )
    assert out.splitlines() == ["1 1 1", "1"] and "request for 2 has no effect" in err
    out, err = run_python("import quarnel; quarnel.maxsim([[[1.0]]], [[[1.0]]])\n"
                          "from quarnel._threads import use_threads; print(use_threads(1))", RAYON_NUM_THREADS="3")
    assert out == "3" and "already started with 3 threads" in err
    with pytest.raises(ValueError, match="threads"):
        BatchSelector(threads=0)
