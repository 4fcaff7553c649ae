"""solve_numpy: relevance from the query embedding, array rules and length checks."""

import numpy as np
import pytest

import quarnel_solver as qs

ARRAYS = ["embeddings", "query_embedding", "token_costs", "density_scores", "centrality_scores", "recency_scores",
          "auxiliary_scores", "roles", "cluster_ids"]

# A time limit the exact window never reaches, so that results compared with
# each other depend on the inputs alone and not on the machine's load.
UNHURRIED = dict(exact_window_time_ms=600_000)


def problem(n=8, d=4, seed=0):
    rng = np.random.default_rng(seed)
    return dict(
        embeddings=rng.standard_normal((n, d)).astype(np.float32),
        query_embedding=rng.standard_normal(d).astype(np.float32),
        token_costs=rng.integers(50, 200, n).astype(np.uint32),
        density_scores=rng.random(n, dtype=np.float32),
        centrality_scores=rng.random(n, dtype=np.float32),
        recency_scores=rng.random(n, dtype=np.float32),
        auxiliary_scores=rng.random(n, dtype=np.float32),
        roles=rng.integers(0, 8, n).astype(np.uint8),
        cluster_ids=rng.integers(-1, 3, n).astype(np.int32),
    )


def result(output):
    values = output.to_dict()
    del values["solve_time_ms"]
    return values


def cosine_f32(row, query):
    """Relevance as the solver defines it: f32 sums in index order, dot over the common prefix."""
    row, query = np.asarray(row, np.float32), np.asarray(query, np.float32)
    if len(query) == 0:
        return np.float32(0)
    dot = rr = qq = np.float32(0)
    for a, b in zip(row, query):
        dot = np.float32(dot + a * b)
    for a in row:
        rr = np.float32(rr + a * a)
    for b in query:
        qq = np.float32(qq + b * b)
    if not (rr > 0 and qq > 0):
        return np.float32(0)
    return np.float32(dot / np.float32(np.sqrt(rr) * np.sqrt(qq)))


def relevance_of_single_chunk(row, query):
    """relevance_total of a one-candidate instance, whose only selection is that candidate."""
    p = problem(1, len(row))
    p["embeddings"] = np.asarray([row], np.float32)
    p["query_embedding"] = np.asarray(query, np.float32)
    output = qs.TabuSearchSolver().solve_numpy(**p)
    assert output.selected_indices == [0]
    return output.relevance_total


@pytest.mark.parametrize(
    "row, query",
    [
        ([1, 0], [1, 0]),
        ([0, 1], [1, 0]),
        ([0, 0], [1, 0]),
        ([1, 2], [0, 0]),
        ([1, 2], []),
        ([0.3, -0.7, 0.2], [0.5, 0.1, -0.4, 2.0]),  # longer query: its extra entries enlarge only its norm
        ([0.3, -0.7, 0.2], [0.5, 0.1]),  # shorter query: dot over the prefix, row norm over the whole row
        ([1e-3, 3.7, -2.2, 0.9, 5.5, -1.25, 0.33], [2.5, -0.1, 0.7, 1.1, -3.3, 0.01, 0.5]),
    ],
)
def test_relevance_is_the_f32_cosine_over_the_common_prefix(row, query):
    assert relevance_of_single_chunk(row, query) == float(cosine_f32(row, query))


def test_extra_query_entries_lower_relevance_only_through_the_query_norm():
    row, query = [0.6, 0.8], [0.6, 0.8]
    assert relevance_of_single_chunk(row, query) == pytest.approx(1.0, abs=1e-6)
    longer = relevance_of_single_chunk(row, query + [1.0])
    assert longer == pytest.approx(1 / np.sqrt(2), rel=1e-6)


def test_query_length_never_raises_value_error():
    p = problem(5, 4)
    for m in (0, 1, 3, 4, 9):
        p["query_embedding"] = np.ones(m, np.float32)
        qs.TabuSearchSolver().solve_numpy(**p)


def test_relevance_matches_the_precomputed_path():
    p = problem(20, 6)
    relevance = np.array([cosine_f32(r, p["query_embedding"]) for r in p["embeddings"]], np.float32)
    solver = qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED))
    via_query = result(solver.solve_numpy(**p))
    precomputed = {k: v for k, v in p.items()}
    precomputed["relevance_scores"] = relevance
    assert result(solver.solve_precomputed_numpy(**precomputed)) == via_query


@pytest.mark.parametrize("name", ARRAYS)
def test_arrays_are_checked_for_dtype_then_contiguity(name):
    p = problem()
    good = p[name]
    p[name] = good.astype(np.float64 if good.dtype != np.float64 else np.float32)
    with pytest.raises(TypeError, match=name):
        qs.TabuSearchSolver().solve_numpy(**p)
    p[name] = np.repeat(good, 2, axis=-1)[..., ::2]
    p["density_scores" if name != "density_scores" else "recency_scores"] = np.ones(3, np.float32)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        qs.TabuSearchSolver().solve_numpy(**p)


def test_conversion_errors_precede_contiguity_errors():
    p = problem()
    p["embeddings"] = p["embeddings"][:, ::2]
    p["cluster_ids"] = p["cluster_ids"].astype(np.int64)
    with pytest.raises(TypeError, match="cluster_ids"):
        qs.TabuSearchSolver().solve_numpy(**p)


@pytest.mark.parametrize("name", ["density_scores", "centrality_scores", "recency_scores", "auxiliary_scores",
                                  "roles", "cluster_ids"])
def test_per_candidate_arrays_must_match_the_token_costs(name):
    p = problem(6)
    for length in (5, 7):
        p[name] = np.zeros(length, p[name].dtype)
        with pytest.raises(ValueError, match=f"^{name} length must match number of candidates$"):
            qs.TabuSearchSolver().solve_numpy(**p)


def test_embeddings_need_one_row_per_candidate_after_the_contiguity_checks():
    p = problem(10, 8)
    solve = qs.TabuSearchSolver().solve_numpy
    for rows in (5, 1, 11):
        p["embeddings"] = np.ones((rows, 8), np.float32)
        with pytest.raises(ValueError, match="^embeddings must have one row per candidate$"):
            solve(**p)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        solve(**dict(p, cluster_ids=np.repeat(p["cluster_ids"], 2)[::2]))
    with pytest.raises(ValueError, match="^embeddings must have one row per candidate$"):
        solve(**dict(p, roles=p["roles"][:3].copy()))
    # Zero-width rows pass the row check and fail where the similarities are computed.
    with pytest.raises(qs.PanicException, match="dimension"):
        solve(**dict(p, embeddings=np.ones((10, 0), np.float32)))


def test_fortran_ordered_embeddings_are_read_by_logical_rows():
    p = problem(30, 5, seed=3)
    solver = qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED))
    fortran = dict(p, embeddings=np.asfortranarray(p["embeddings"]))
    assert not fortran["embeddings"].flags.c_contiguous
    assert result(solver.solve_numpy(**fortran)) == result(solver.solve_numpy(**p))


def test_a_looser_chunk_limit_never_pads_the_selection_with_costly_chunks():
    # Non-negative embeddings make every pair of chunks similar, so most
    # chunks lower the objective once a few strong ones are chosen.
    n, d = 200, 64
    rng = np.random.default_rng(0)
    p = dict(problem(n, d), embeddings=rng.random((n, d), dtype=np.float32),
             query_embedding=rng.random(d, dtype=np.float32), cluster_ids=np.full(n, -1, np.int32))
    solver = qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED))
    scores = {}
    for max_chunks in (1, 4, 20, 50):
        out = solver.solve_numpy(**p, constraints=qs.SolverConstraints(max_tokens=10**6, max_chunks=max_chunks))
        assert out.constraints_satisfied
        scores[max_chunks] = out.objective_score
    assert min(scores[4], scores[20], scores[50]) >= scores[1]


def test_positional_call_and_constraint_check():
    p = problem()
    solver = qs.TabuSearchSolver()
    assert result(solver.solve_numpy(*[p[name] for name in ARRAYS], None)) == result(solver.solve_numpy(**p))
    with pytest.raises(TypeError, match="constraints"):
        solver.solve_numpy(**p, constraints={"max_tokens": 10})
    output = solver.solve_numpy(**p, constraints=qs.SolverConstraints(excluded_chunks=["chunk_0", "chunk_1"]))
    assert not {0, 1} & set(output.selected_indices)


def test_long_id_lists_take_linear_time_on_every_path():
    # 200,000 ids, most matching no candidate: a pairwise de-duplication takes
    # about a minute here, sets well under a second.
    n = 10
    p = problem(n)
    noise = [f"id_{k}" for k in range(100_000)]
    constraints = qs.SolverConstraints(max_chunks=n, excluded_chunks=noise + ["chunk_3"] * 1000 + noise,
                                       required_chunks=noise[:50_000] + ["chunk_5"] * 1000 + ["chunk_6"])
    solver = qs.TabuSearchSolver()
    chunks = [{"embedding": row, "chunk_id": f"chunk_{i}"} for i, row in enumerate(p["embeddings"])]
    # A pairwise de-duplication would show as a minute-long test; the time is not asserted, since CI
    # machines are shared.
    outputs = [solver.solve_numpy(**p, constraints=constraints), solver.solve(chunks, p["query_embedding"], constraints),
               solver.solve_precomputed_numpy(**{k: v for k, v in p.items() if k != "query_embedding"},
                                              relevance_scores=np.ones(n, np.float32), constraints=constraints)]
    for output in outputs:
        assert 3 not in output.selected_indices and {5, 6} <= set(output.selected_indices)
        assert not output.constraints_satisfied  # 50,000 required ids are missing
        assert len(output.constraint_violations) == 50_000
