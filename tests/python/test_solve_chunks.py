"""solve: chunk dictionaries with per-key defaults, role texts and the callers' own ids."""
import numpy as np
import pytest

import quarnel_solver as qs

ROLE_BYTES = {"definition": 0, "example": 1, "evidence": 2, "conclusion": 3, "risk": 4, "constraint": 5,
              "datatable": 6, "data_table": 6, "table": 6, "procedure": 7}


# A time limit the exact window never reaches, so that results compared with
# each other depend on the inputs alone and not on the machine's load.
UNHURRIED = dict(exact_window_time_ms=600_000)


def result(output):
    values = output.to_dict()
    del values["solve_time_ms"]
    return values


def embeddings(n, d=4, seed=0):
    return np.random.default_rng(seed).standard_normal((n, d)).astype(np.float32)


def query(d=4):
    return np.linspace(-1, 1, d).astype(np.float32)


def solver():
    return qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED))


def numpy_equivalent(chunks, query_embedding, constraints=None):
    """The same instance through solve_numpy, which names candidates chunk_<i>."""
    get = lambda key, default: [c.get(key, default) for c in chunks]  # noqa: E731
    return solver().solve_numpy(
        np.array([c["embedding"] for c in chunks], np.float32).reshape(len(chunks), -1), query_embedding,
        np.array(get("token_count", 100), np.uint32), np.array(get("fact_density", 0.5), np.float32),
        np.array(get("centrality_score", 0.5), np.float32), np.array(get("recency_score", 0.5), np.float32),
        np.array(get("auxiliary_score", 0.0), np.float32),
        np.array([ROLE_BYTES.get(c.get("rhetorical_role", "").lower(), 255) for c in chunks], np.uint8),
        np.array(get("cluster_id", -1), np.int32), constraints)


def test_missing_keys_take_their_defaults():
    rows = embeddings(6)
    bare = [{"embedding": list(map(float, r))} for r in rows]
    explicit = [dict(chunk_id=f"chunk_{i}", content="", embedding=r, token_count=100, fact_density=0.5,
                     centrality_score=0.5, recency_score=0.5, auxiliary_score=0.0, rhetorical_role="",
                     cluster_id=-1) for i, r in enumerate(rows)]
    expected = result(solver().solve(bare, query()))
    assert result(solver().solve(explicit, query())) == expected
    assert result(numpy_equivalent(bare, query())) == expected


def test_given_values_reach_the_instance_like_the_numpy_path():
    rng = np.random.default_rng(4)
    n = 12
    roles = ["Definition", "EXAMPLE", "evidence", "Conclusion", "Risk", "constraint", "Data_Table", "DataTable",
             "table", "procedure", "Unknown", "misspelt"]
    chunks = [dict(embedding=row.tolist(), token_count=int(rng.integers(10, 400)),
                   fact_density=float(rng.random()), centrality_score=float(rng.random()),
                   recency_score=float(rng.random()), auxiliary_score=float(rng.random()),
                   rhetorical_role=roles[i], cluster_id=int(rng.integers(-2, 3)), extra_key=object())
              for i, row in enumerate(embeddings(n, 5, seed=8))]
    constraints = qs.SolverConstraints(max_tokens=900, max_per_cluster=1)
    expected = numpy_equivalent(chunks, query(5), constraints)
    assert result(solver().solve(chunks, query(5), constraints)) == result(expected)


@pytest.mark.parametrize("text", ["Data_Table", "DATA_TABLE", "data_table", "DataTable", "Table"])
def test_role_texts_are_case_folded(text):
    chunks = [{"embedding": [1.0, 0.0], "rhetorical_role": text}, {"embedding": [0.0, 1.0]}]
    forced = dict(min_chunks=2, required_chunks=["chunk_0", "chunk_1"])
    output = solver().solve(chunks, query(2), qs.SolverConstraints(must_include_roles=["datatable"], **forced))
    assert output.constraints_satisfied
    output = solver().solve(chunks, query(2), qs.SolverConstraints(must_include_roles=["unknown"], **forced))
    assert output.constraints_satisfied  # the second chunk has no role


@pytest.mark.parametrize(
    "key, value, error",
    [
        ("chunk_id", None, TypeError),
        ("chunk_id", 7, TypeError),
        ("content", None, TypeError),
        ("content", b"bytes", TypeError),
        ("token_count", None, TypeError),
        ("token_count", 2.0, TypeError),
        ("token_count", -1, OverflowError),
        ("token_count", 2**32, OverflowError),
        ("fact_density", None, TypeError),
        ("centrality_score", "0.5", TypeError),
        ("recency_score", [0.5], TypeError),
        ("auxiliary_score", None, TypeError),
        ("rhetorical_role", None, TypeError),
        ("rhetorical_role", 6, TypeError),
        ("cluster_id", None, TypeError),
        ("cluster_id", 1.0, TypeError),
        ("cluster_id", 2**31, OverflowError),
        ("cluster_id", -(2**31) - 1, OverflowError),
        ("embedding", None, TypeError),
        ("embedding", "0.1 0.2", TypeError),
        ("embedding", 0.5, TypeError),
        ("embedding", [0.5, "x"], TypeError),
    ],
)
def test_present_keys_are_converted_even_when_none(key, value, error):
    chunk = {"embedding": [1.0, 2.0], key: value}
    with pytest.raises(error):
        solver().solve([chunk], query(2))


def test_integer_bounds_and_index_objects_are_accepted():
    chunks = [{"embedding": np.array([1.0, 0.5]), "token_count": 4294967295, "cluster_id": np.int16(-3)},
              {"embedding": (0.5, 1.0), "token_count": np.uint32(7), "cluster_id": 2**31 - 1,
               "fact_density": np.float64(0.25), "recency_score": 1}]
    for i, tokens in [(0, 4294967295), (1, 7)]:
        output = solver().solve(chunks, query(2), qs.SolverConstraints(max_tokens=4294967295,
                                                                         required_chunks=[f"chunk_{i}"]))
        assert output.selected_indices == [i] and output.total_tokens == tokens


def test_embedding_sequences_of_every_kind_give_the_same_solve():
    rows = embeddings(4, 6, seed=2)
    expected = result(solver().solve([{"embedding": r.tolist()} for r in rows], query(6)))
    kinds = [tuple, np.array, lambda r: r.astype(np.float64), lambda r: np.repeat(r, 2)[::2],
             lambda r: [np.float32(x) for x in r], lambda r: r.astype(np.float16).astype(np.float32)]
    # Plain floats up to a last element of another type: read in full after all.
    kinds.insert(5, lambda r: r.tolist()[:-1] + [np.float32(r[-1])])
    for kind in kinds[:6]:
        assert result(solver().solve([{"embedding": kind(r)} for r in rows], query(6))) == expected
    narrowed = [{"embedding": kinds[6](r)} for r in rows]
    assert result(solver().solve(narrowed, query(6))) != expected


def test_the_first_error_of_the_first_faulty_chunk_is_raised():
    good = {"embedding": [1.0, 0.0]}
    with pytest.raises(ValueError, match="^Missing embedding$"):
        solver().solve([good, {"token_count": 5}], query(2))
    # Key order: token_count is read before fact_density.
    with pytest.raises(OverflowError):
        solver().solve([good, {"embedding": [1.0, 0.0], "token_count": -5, "fact_density": "x"}], query(2))
    # chunk_id is read before the embedding is looked for.
    with pytest.raises(TypeError):
        solver().solve([{"chunk_id": 3}], query(2))
    # A faulty chunk stops the reading: later chunks are never looked at.
    with pytest.raises(OverflowError):
        solver().solve([good, {"embedding": [0.0, 1.0], "cluster_id": 2**40}, "not a dict"], query(2))
    with pytest.raises(TypeError, match="str"):
        solver().solve([good, "not a dict", {"token_count": 5}], query(2))


def test_embeddings_must_share_the_first_chunks_length():
    chunks = [{"embedding": [1.0] * 8}, {"embedding": [1.0] * 8}, {"embedding": [1.0] * 8},
              {"embedding": [1.0] * 5}, {}]
    with pytest.raises(ValueError, match=r"^embedding of chunk 3 has length 5, expected 8 \(the length of the first "
                                         r"chunk's embedding\)$"):
        solver().solve(chunks, query(8))


@pytest.mark.parametrize("chunks", [({"embedding": [1.0]},), None, {"embedding": [1.0]}, "chunks"])
def test_chunks_must_be_a_list(chunks):
    with pytest.raises(TypeError, match="chunks"):
        solver().solve(chunks, query(1))


def test_list_and_dict_subclasses_are_accepted():
    class Chunks(list):
        pass

    class Chunk(dict):
        pass

    plain = [{"embedding": [1.0, 0.0]}, {"embedding": [0.0, 1.0]}]
    assert result(solver().solve(Chunks(Chunk(c) for c in plain), query(2))) == result(solver().solve(plain, query(2)))


def test_query_embedding_argument_rules():
    chunks = [{"embedding": [1.0, 0.0]}]
    for bad in ([1.0, 0.0], np.ones(2), np.ones((1, 2), np.float32), np.ones(2, ">f4")):
        with pytest.raises(TypeError, match="query_embedding"):
            solver().solve(chunks, bad)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        solver().solve(chunks, np.ones(4, np.float32)[::2])
    with pytest.raises(TypeError, match="constraints"):
        solver().solve(chunks, query(2), constraints="max_tokens=5")


def single_relevance(embedding, query_embedding):
    output = qs.TabuSearchSolver().solve([{"embedding": embedding}], np.asarray(query_embedding, np.float32))
    assert output.selected_indices == [0]
    return output.relevance_total


def test_a_longer_query_changes_relevance_only_through_its_norm():
    assert single_relevance([0.6, 0.8], [0.6, 0.8]) == pytest.approx(1.0, abs=1e-6)
    assert single_relevance([0.6, 0.8], [0.6, 0.8, 1.0]) == pytest.approx(1 / np.sqrt(2), rel=1e-6)
    assert single_relevance([0.6, 0.8, 1.0], [0.6, 0.8]) == pytest.approx(1 / np.sqrt(2), rel=1e-6)
    assert single_relevance([0.6, 0.8], []) == 0.0
    assert single_relevance([0.0, 0.0], [1.0, 0.0]) == 0.0


def test_constraint_ids_are_the_callers_ids():
    rows = embeddings(5, 3, seed=1)
    chunks = [{"chunk_id": name, "embedding": r.tolist(), "fact_density": 5.0}
              for name, r in zip(["a", "b", "dup", "dup", "e"], rows)]
    free = solver().solve(chunks, query(3))
    assert {1, 2, 3} <= set(free.selected_indices)
    output = solver().solve(chunks, query(3), qs.SolverConstraints(excluded_chunks=["dup", "chunk_1", "B"]))
    assert {1} <= set(output.selected_indices) and not {2, 3} & set(output.selected_indices)
    cheap = [dict(c, fact_density=-50.0) for c in chunks]
    output = solver().solve(cheap, query(3), qs.SolverConstraints(required_chunks=["e"]))
    assert 4 in output.selected_indices and output.constraints_satisfied
    # Positional names do not exist when the chunks carry their own ids.
    output = solver().solve(cheap, query(3), qs.SolverConstraints(required_chunks=["chunk_0"]))
    assert output.constraint_violations == ["Required chunk missing: chunk_0"]
    output = solver().solve([{"embedding": [1.0]}, {"embedding": [2.0], "chunk_id": "x"}], query(1),
                            qs.SolverConstraints(excluded_chunks=["chunk_0", "chunk_1"]))
    assert output.selected_indices == [1]


def test_empty_list_reports_the_measured_time():
    output = solver().solve([], np.ones(3, np.float32))
    assert output.selected_indices == [] and output.iterations_run == 0
    assert 0.0 < output.solve_time_ms < float("inf")
