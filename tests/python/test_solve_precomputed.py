"""solve_precomputed_numpy: array rules, check order, conversions and constraint ids."""
import numpy as np
import pytest

import quarnel_solver as qs

REQUIRED = ["embeddings", "token_costs", "density_scores", "centrality_scores", "recency_scores", "auxiliary_scores",
            "roles", "cluster_ids", "relevance_scores"]
NOT_CONTIGUOUS = "The given array is not contiguous"
# A time limit the exact window never reaches, so that results compared with
# each other depend on the inputs alone and not on the machine's load.
UNHURRIED = dict(exact_window_time_ms=600_000)


def problem(n=8, d=4, seed=0):
    rng = np.random.default_rng(seed)
    return dict(
        embeddings=rng.standard_normal((n, d)).astype(np.float32),
        token_costs=rng.integers(50, 200, n).astype(np.uint32),
        density_scores=rng.random(n, dtype=np.float32),
        centrality_scores=rng.random(n, dtype=np.float32),
        recency_scores=rng.random(n, dtype=np.float32),
        auxiliary_scores=rng.random(n, dtype=np.float32),
        roles=rng.integers(0, 8, n).astype(np.uint8),
        cluster_ids=np.full(n, -1, np.int32),
        relevance_scores=rng.random(n, dtype=np.float32),
    )


def result(output):
    values = output.to_dict()
    del values["solve_time_ms"]
    return values


def solve(solver=None, **kwargs):
    return (solver or qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED))).solve_precomputed_numpy(**kwargs)


def strided(array):
    """The same values in a non-contiguous view."""
    doubled = np.repeat(array, 2, axis=-1)
    return doubled[..., ::2]


def test_all_fifteen_parameters_positional_or_keyword():
    p = problem()
    positional = solve(None, **p)
    args = [p[name] for name in REQUIRED] + [None] * 6
    assert result(qs.TabuSearchSolver(qs.SolverConfig(**UNHURRIED)).solve_precomputed_numpy(*args)) == result(positional)
    assert positional.selected_indices == sorted(set(positional.selected_indices))
    with pytest.raises(TypeError, match="relevance_scores"):
        qs.TabuSearchSolver().solve_precomputed_numpy(*args[:8])


WRONG_DTYPES = {
    "float32": [np.float64, np.float16, ">f4", np.int32],
    "uint32": [np.int64, np.uint64, np.int32, ">u4", np.float32],
    "uint8": [np.int8, np.uint16, np.bool_],
    "int32": [np.int64, np.uint32, ">i4"],
}
KINDS = {"embeddings": "float32", "token_costs": "uint32", "roles": "uint8", "cluster_ids": "int32",
         "similarity_matrix": "float32", "coverage_matrix": "float32", "query_token_weights": "float32",
         "query_embedding": "float32", "fulfilment_scores": "float32"}


def full_problem(n=6, d=3, q=2):
    p = problem(n, d)
    rng = np.random.default_rng(1)
    p.update(similarity_matrix=rng.random((n, n), dtype=np.float32),
             fulfilment_scores=rng.random(n, dtype=np.float32),
             coverage_matrix=rng.random((q, n), dtype=np.float32),
             query_token_weights=rng.random(q, dtype=np.float32),
             query_embedding=rng.random(d, dtype=np.float32))
    return p


@pytest.mark.parametrize("name", list(full_problem()))
def test_arrays_of_another_dtype_or_rank_are_refused_by_name(name):
    p = full_problem()
    good = p[name]
    solve(**p)
    for dtype in WRONG_DTYPES[KINDS.get(name, "float32")]:
        p[name] = good.astype(dtype)
        with pytest.raises(TypeError, match=name):
            solve(**p)
    for bad in (good.tolist(), good[np.newaxis], good.reshape(-1)[0]):
        p[name] = bad
        with pytest.raises(TypeError, match=name):
            solve(**p)


def test_native_byte_order_is_accepted_even_when_spelled_explicitly():
    p = problem()
    expected = result(solve(**p))
    p["density_scores"] = p["density_scores"].astype("<f4")
    p["token_costs"] = p["token_costs"].astype("=u4")
    assert result(solve(**p)) == expected


def test_the_first_unconvertible_argument_in_signature_order_is_reported():
    p = full_problem()
    p["query_embedding"] = p["query_embedding"].astype(np.float64)
    p["roles"] = p["roles"].astype(np.int64)
    p["embeddings"] = strided(p["embeddings"])  # contiguity comes after every conversion
    with pytest.raises(TypeError, match="roles"):
        solve(**p)
    p["roles"] = p["roles"].astype(np.uint8)
    with pytest.raises(TypeError, match="query_embedding"):
        solve(**p)
    p["query_embedding"] = p["query_embedding"].astype(np.float32)
    with pytest.raises(TypeError, match="constraints"):
        solve(**p, constraints=qs.SolverConfig())


@pytest.mark.parametrize("name", REQUIRED)
def test_required_arrays_must_be_contiguous_before_any_length_check(name):
    p = problem()
    p[name] = strided(p[name])
    p["relevance_scores"] = p["relevance_scores"][:-1].copy() if name != "relevance_scores" else p[name][:-1]
    with pytest.raises(TypeError, match=NOT_CONTIGUOUS):
        solve(**p)


def test_fortran_ordered_embeddings_are_read_by_logical_rows():
    p = problem(n=30, d=5, seed=4)
    fortran = dict(p, embeddings=np.asfortranarray(p["embeddings"]))
    assert fortran["embeddings"].flags.f_contiguous and not fortran["embeddings"].flags.c_contiguous
    assert result(solve(**fortran)) == result(solve(**p))


def test_value_errors_come_in_check_order_with_their_messages():
    n = 6
    p = full_problem(n=n, d=3, q=2)
    # Every fault at once; repairing them one by one must reveal them in order.
    faults = [
        ("relevance_scores", p["relevance_scores"][:-1].copy(),
         "relevance_scores length must match number of candidates"),
        ("similarity_matrix", p["similarity_matrix"][:, :-1].copy(),
         r"similarity_matrix must have shape \(num_candidates, num_candidates\)"),
        ("fulfilment_scores", np.zeros(n + 1, np.float32), "fulfilment_scores length must match number of candidates"),
        ("coverage_matrix", np.zeros((2, n - 1), np.float32),
         r"coverage_matrix must have shape \(num_query_tokens, num_candidates\)"),
        ("query_token_weights", np.ones(3, np.float32), "query_token_weights must match coverage_matrix rows"),
        ("query_embedding", np.ones(4, np.float32), "query_embedding length must match embedding dimension"),
        ("embeddings", np.zeros((n + 1, 3), np.float32), "embeddings must have one row per candidate"),
        ("density_scores", p["density_scores"][:-1].copy(), "density_scores length must match number of candidates"),
        ("centrality_scores", np.zeros(n + 1, np.float32),
         "centrality_scores length must match number of candidates"),
        ("recency_scores", p["recency_scores"][:1].copy(), "recency_scores length must match number of candidates"),
        ("auxiliary_scores", np.zeros(0, np.float32), "auxiliary_scores length must match number of candidates"),
        ("roles", np.zeros(n - 1, np.uint8), "roles length must match number of candidates"),
        ("cluster_ids", np.zeros(n + 3, np.int32), "cluster_ids length must match number of candidates"),
    ]
    broken = dict(p, **{name: bad for name, bad, _ in faults})
    for name, _, message in faults:
        with pytest.raises(ValueError, match=f"^{message}$"):
            solve(**broken)
        broken[name] = p[name]
    solve(**broken)


def test_optional_arrays_are_checked_for_contiguity_where_they_are_read():
    p = full_problem()
    for name in ("fulfilment_scores", "query_token_weights", "query_embedding"):
        q = dict(p, **{name: strided(p[name])})
        with pytest.raises(TypeError, match=NOT_CONTIGUOUS):
            solve(**q)
        # A value error of an earlier step still comes first.
        q["relevance_scores"] = p["relevance_scores"][:-1].copy()
        with pytest.raises(ValueError, match="relevance_scores"):
            solve(**q)


def test_query_token_weights_need_a_coverage_matrix():
    p = problem()
    with pytest.raises(ValueError, match="^query_token_weights requires coverage_matrix$"):
        solve(**p, query_token_weights=np.ones(2, np.float32))


def test_matrices_are_read_in_logical_order_whatever_their_strides():
    n, q = 7, 3
    p = problem(n)
    rng = np.random.default_rng(9)
    similarity = rng.random((n, n), dtype=np.float32)
    coverage = rng.random((q, n), dtype=np.float32)
    expected = result(solve(**p, similarity_matrix=similarity, coverage_matrix=coverage))
    assert expected["fulfilment_total"] != 0.0

    # Views whose memory holds other values between and around the logical elements.
    padded_similarity = rng.random((2 * n, 3 * n), dtype=np.float32)
    padded_similarity[::2, ::3] = similarity
    transposed_coverage = np.ascontiguousarray(coverage.T).T
    for sim, cov in [(padded_similarity[::2, ::3], coverage), (similarity, transposed_coverage),
                     (np.asfortranarray(similarity), np.asfortranarray(coverage)),
                     (similarity[::-1].copy()[::-1], coverage[:, ::-1].copy()[:, ::-1])]:
        assert result(solve(**p, similarity_matrix=sim, coverage_matrix=cov)) == expected


def test_absent_optional_arrays_take_their_defaults():
    n, d, q = 6, 3, 4
    p = problem(n, d)
    coverage = np.random.default_rng(2).random((q, n), dtype=np.float32)
    base = result(solve(**p, coverage_matrix=coverage))
    assert base == result(solve(**p, coverage_matrix=coverage, query_token_weights=np.ones(q, np.float32),
                                fulfilment_scores=np.zeros(n, np.float32),
                                query_embedding=np.zeros(d, np.float32)))
    halved = result(solve(**p, coverage_matrix=coverage, query_token_weights=np.full(q, 0.5, np.float32)))
    assert halved["fulfilment_total"] != base["fulfilment_total"]


def test_empty_instance_gives_the_empty_output():
    n = 0
    p = problem(n, 4)
    p["embeddings"] = np.zeros((0, 4), np.float32)
    output = solve(**p, query_embedding=np.ones(17, np.float32))
    assert output.to_dict() == {
        "selected_indices": [], "objective_score": 0.0, "relevance_total": 0.0, "density_total": 0.0,
        "centrality_total": 0.0, "recency_total": 0.0, "auxiliary_total": 0.0, "fulfilment_total": 0.0,
        "redundancy_penalty": 0.0, "total_tokens": 0, "num_selected": 0, "iterations_run": 0, "best_iteration": 0,
        "constraints_satisfied": False, "constraint_violations": ["Too few chunks: 0 < 1"], "solve_time_ms": 0.0,
        "exact_window_used": False, "exact_window_core_size": 0, "exact_window_nodes": 0,
        "exact_window_exhaustive": False, "exact_window_gap": 0.0, "exact_window_fixed_in": 0,
        "exact_window_fixed_out": 0,
    }
    assert repr(output) == "SolverOutput(selected=0, score=0.0000, tokens=0, time=0.00ms)"
    p["relevance_scores"] = np.ones(1, np.float32)
    with pytest.raises(ValueError, match="relevance_scores"):
        solve(**p)


def test_zero_width_embeddings_accept_any_query_length_with_a_similarity_matrix():
    n = 4
    p = problem(n)
    p["embeddings"] = np.zeros((n, 0), np.float32)
    output = solve(**p, similarity_matrix=np.eye(n, dtype=np.float32), query_embedding=np.ones(5, np.float32))
    assert output.num_selected > 0


def test_role_bytes_past_seven_are_unknown_and_role_names_are_case_folded():
    n = 4
    p = problem(n)
    p["roles"] = np.array([9, 255, 8, 6], np.uint8)
    everything = dict(min_chunks=n, required_chunks=[f"chunk_{i}" for i in range(n)])
    output = solve(**p, constraints=qs.SolverConstraints(must_include_roles=["UNKNOWN", "Data_Table"], **everything))
    assert output.constraints_satisfied, output.constraint_violations
    p["roles"] = np.array([0, 1, 2, 3], np.uint8)
    output = solve(**p, constraints=qs.SolverConstraints(must_include_roles=["unknown", "TABLE"], **everything))
    assert sorted(output.constraint_violations) == ["Missing required role: DataTable", "Missing required role: Unknown"]


def test_negative_cluster_ids_mean_no_cluster():
    n = 4
    p = problem(n)
    forced = qs.SolverConstraints(max_per_cluster=1, min_chunks=n, required_chunks=[f"chunk_{i}" for i in range(n)])
    p["cluster_ids"] = np.array([-1, -7, -2147483648, 3], np.int32)
    assert solve(**p, constraints=forced).constraints_satisfied
    p["cluster_ids"] = np.array([-1, 5, 5, 3], np.int32)
    assert solve(**p, constraints=forced).constraint_violations == ["Cluster 5 overflow: 2 > 1"]


def test_constraint_ids_refer_to_positional_chunk_names():
    n = 8
    p = problem(n)
    p["relevance_scores"] = np.full(n, 5.0, np.float32)  # everything is worth selecting
    free = solve(**p)
    assert 3 in free.selected_indices
    output = solve(**p, constraints=qs.SolverConstraints(excluded_chunks=["chunk_3", "chunk_03", "3", "nope"]))
    assert 3 not in output.selected_indices
    assert result(solve(**p, constraints=qs.SolverConstraints(excluded_chunks=["chunk_8", "chunk_"]))) == result(free)
    p["relevance_scores"] = np.full(n, -5.0, np.float32)  # nothing is worth selecting
    output = solve(**p, constraints=qs.SolverConstraints(required_chunks=["chunk_6"]))
    assert 6 in output.selected_indices


def test_constraints_none_matches_the_default_constraints():
    p = problem()
    assert result(solve(**p, constraints=None)) == result(solve(**p, constraints=qs.SolverConstraints()))


def test_output_does_not_alias_the_input_arrays():
    p = full_problem()
    output = solve(**p)
    before = output.to_dict()
    for array in p.values():
        array[...] = 0
    assert output.to_dict() == before
