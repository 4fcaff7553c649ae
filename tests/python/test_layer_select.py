"""quarnel.ContextSelector and Selection: conversions, pool, constraints, reports, errors."""

import json
import pickle
import threading

import numpy as np
import pytest
import quarnel_solver as qs
from hypothesis import given, settings
from hypothesis import strategies as st

import quarnel
from quarnel import ContextSelector

N, D = 40, 24


def instance(seed=0, n=N, d=D):
    rng = np.random.default_rng(seed)
    return (
        rng.standard_normal(d).astype(np.float32),
        rng.standard_normal((n, d)).astype(np.float32),
        rng.integers(20, 200, n).tolist(),
    )


def same(a, b):
    assert a.indices == b.indices and a.objective == b.objective and a.breakdown == b.breakdown


def test_every_input_form_gives_the_native_selection():
    # With the pool filters off and raw cosines the layer poses the problem
    # solve_numpy poses; any dtype, layout or container gives the same bits.
    plain = ContextSelector(
        800, pool_size=None, relevance_floor=None, relevance="raw", redundancy="raw", weights={"redundancy": 0.5}
    )
    for seed in range(4):
        query, emb, costs = instance(seed)
        n = len(costs)
        zeros = np.zeros(n, np.float32)
        native = qs.TabuSearchSolver(qs.SolverConfig(beta=0, gamma=0, delta=0)).solve_numpy(
            emb, query, np.array(costs, np.uint32), zeros, zeros, zeros, zeros,
            np.full(n, 255, np.uint8), np.full(n, -1, np.int32),
            qs.SolverConstraints(max_tokens=800, max_chunks=n, max_per_cluster=n),
        )
        reference = plain.select(query, emb, token_counts=costs)
        assert list(reference.indices) == native.selected_indices
        assert reference.objective == pytest.approx(native.objective_score, rel=1e-6)
        forms = [
            (query.astype(np.float64), np.asfortranarray(emb.astype(np.float64))),
            (query.tolist(), emb.tolist()),
            (tuple(query.tolist()), tuple(tuple(row) for row in emb.tolist())),
            ((float(x) for x in query), (row for row in emb)),
        ]
        for q_form, e_form in forms:
            same(plain.select(q_form, e_form, token_counts=iter(costs)), reference)


def test_secondary_scores_count_only_when_given():
    query, emb, costs = instance(1)
    selector = ContextSelector(800)
    bare = selector.select(query, emb, token_counts=costs)
    assert [bare.breakdown[k] for k in ("density", "centrality", "recency", "auxiliary")] == [0.0] * 4
    rng = np.random.default_rng(5)
    recency = rng.random(N)
    scored = selector.select(query, emb, token_counts=costs, scores={"recency": recency})
    assert scored.breakdown["recency"] > 0 and scored.breakdown["density"] == 0.0
    # Scores given with weight 0 change nothing.
    off = ContextSelector(800, weights={"recency": 0.0})
    same(off.select(query, emb, token_counts=costs, scores={"recency": recency}), bare)


def test_above_mean_relevance_drops_the_ordinary_chunks_of_an_all_positive_model():
    rng = np.random.default_rng(9)
    emb = np.abs(rng.standard_normal((60, 32))) + 0.5  # every cosine is well above 0
    query = emb[:3].mean(axis=0)
    raw = ContextSelector(8192, relevance="raw").select(query, emb, token_counts=[50] * 60)
    centred = ContextSelector(8192, relevance="above_mean").select(query, emb, token_counts=[50] * 60)
    cosines = (emb / np.linalg.norm(emb, axis=1, keepdims=True)) @ (query / np.linalg.norm(query))
    mean = np.sort(cosines)[::-1][:50].mean()  # over the pool of 50
    assert min(centred.relevance) > mean > min(raw.relevance)
    assert 0 < len(centred) < len(raw)


def test_coverage_rewards_the_chunk_that_covers_a_query_token():
    query, emb, costs = instance(10)
    plain = ContextSelector(600).select(query, emb, token_counts=costs)
    cosines = (emb @ query) / np.linalg.norm(emb, axis=1)
    loner = next(int(k) for k in np.argsort(-cosines) if k not in plain.indices)  # relevant, left out
    coverage = np.zeros((2, N))
    coverage[0, list(plain.indices)] = 1.0
    coverage[1, loner] = 1.0  # the only chunk that covers query token 1
    covered = ContextSelector(600, weights={"fulfilment": 2.0}).select(
        query, emb, token_counts=costs, coverage=coverage, query_token_weights=[1, 3]
    )
    assert loner in covered.indices
    # Weights 1/4 and 3/4, both tokens fully covered, token 0 by four chunks
    # (best 1, second 0.35, quorum 0.18 and 0.09): 2 * (0.25 * 1.62 + 0.75).
    assert covered.breakdown["fulfilment"] == pytest.approx(2.31, rel=1e-6)


def test_chunks_that_share_nothing_with_the_query_are_never_chosen():
    # Sparse non-negative vectors, as TF-IDF makes them: most chunks have a
    # cosine of exactly 0 with the query, and a roomy budget.
    rng = np.random.default_rng(2)
    emb = (rng.random((120, 64)) < 0.05) * rng.random((120, 64))
    query = np.zeros(64)
    query[:4] = 1.0
    sel = ContextSelector(8192).select(query, emb, token_counts=[100] * 120)
    assert len(sel) > 0 and min(sel.relevance) > 0.0
    assert sel.num_candidates == int((emb[:, :4].sum(axis=1) > 0).sum())


def test_pool_admits_what_the_constraints_need_and_keeps_out_excluded_ids():
    query, emb, costs = instance(3)
    cosines = (emb / np.linalg.norm(emb, axis=1, keepdims=True)) @ (query / np.linalg.norm(query))
    order = [f"c{k}" for k in np.argsort(-cosines)]
    best, example, worst = order[0], order[-2], order[-1]
    ids = [f"c{k}" for k in range(N)]
    selector = ContextSelector(
        4000, pool_size=5, required_ids=[worst, "absent"], excluded_ids=[best],
        must_include_roles={"Example"}, min_chunks=3,
    )
    roles = ["example" if i == example else None for i in ids]
    sel = selector.select(query, emb, token_counts=costs, ids=ids, roles=roles)
    assert sel.num_candidates == 5 + 2
    assert worst in sel.ids and example in sel.ids and best not in sel.ids
    assert not sel.satisfied and sel.violations == ("Required chunk missing: absent",)


def test_violations_speak_of_the_callers_ids_and_sources():
    query, emb, _ = instance(4)
    ids = [f"doc-{k}" for k in range(N)]
    sources = ["a.md" if k < 3 else None for k in range(N)]
    outcomes = [
        ContextSelector(budget, per_source=1, required_ids=ids[:3])
        .select(query, emb, token_counts=[50] * N, ids=ids, sources=sources)
        .violations
        for budget in (60, 1000)
    ]
    assert outcomes == [
        ("Required chunk missing: doc-1", "Required chunk missing: doc-2"),
        ("Source 'a.md' overflow: 3 > 1",),
    ]


def test_report_adds_up_and_renders_safely():
    query, emb, costs = instance(6)
    texts = [f"<script>alert({k})</script> " + "word " * c for k, c in enumerate(costs)]
    sel = ContextSelector(1500).select(query, emb, texts=texts, items=[{"k": k} for k in range(N)])
    assert sel.items == tuple({"k": i} for i in sel.indices) and list(sel) == list(sel.items)
    assert sel.tokens == tuple(int(np.ceil(1.3 * (costs[i] + 1))) for i in sel.indices)
    assert sum(sel.tokens) == sel.total_tokens <= 1500
    reports = sel.explain()
    assert [r.index for r in reports] == list(sel.ranked_indices)
    assert [r.relevance for r in reports] == sorted(sel.relevance, reverse=True)
    assert sum(r.token_share for r in reports) == pytest.approx(1.0)
    assert sum(r.redundancy for r in reports) == pytest.approx(sel.breakdown["redundancy_penalty"], rel=1e-4)
    first = reports[0]
    partner = next(r for r in reports if r.id == first.nearest_id)
    assert partner.nearest_similarity >= first.nearest_similarity or partner.nearest_id == first.id
    data = json.loads(json.dumps(sel.to_dict()))
    assert data["indices"] == list(sel.indices) and len(data["chunks"]) == len(sel)
    assert repr(sel).startswith(f"Selection({len(sel)} of {sel.num_candidates} candidates, {sel.total_tokens}/1500")
    page = sel._repr_html_()
    assert "<script>" not in page and "&lt;script&gt;" in page and page.count("<tr>") == len(sel) + 1


ERRORS = [
    (dict(embeddings=[[1.0, 0.0], [1.0]]), ValueError, "embeddings[1]: expected 2 values like embeddings[0], got 1"),
    (dict(embeddings=[[1.0, 0.0], [1.0, "x"]]), TypeError, "embeddings[1][1]: expected a finite number, got str 'x'"),
    (dict(embeddings=np.array([[1.0, 0.0], [0.0, np.nan]])), ValueError, "embeddings[1][1]: expected a finite number"),
    (dict(embeddings=np.ones(2)), ValueError, "embeddings: expected 2 dimensions, got shape (2,)"),
    (dict(query_embedding=[1.0, 0.0, 0.0]), ValueError, "query_embedding: expected 2 values like each embedding"),
    (dict(query_embedding=np.ones((1, 2))), ValueError, "pass query_embedding[0]"),
    (dict(token_counts=[10, "100"]), TypeError, "token_counts[1]: expected a non-negative int, got str '100'"),
    (dict(token_counts=[10, -1]), ValueError, "token_counts[1]: expected a non-negative int up to 4294967295"),
    (dict(token_counts=[10]), ValueError, "token_counts: expected 2 entries, one per embedding, got 1"),
    (dict(token_counts=None), ValueError, "token_counts or texts is needed"),
    (dict(token_counts=[1, None]), ValueError, "token_counts[1]: missing, and there is no text to count"),
    (dict(texts={"a", "b"}), TypeError, "texts: a set has no order"),
    (dict(texts=["a", 3]), TypeError, "texts[1]: expected str, got int 3"),
    (dict(roles=["example", "exmaple"]), ValueError, "roles[1]: unknown role 'exmaple'"),
    (dict(sources=["a", ["b"]]), TypeError, "sources[1]: expected a hashable source"),
    (dict(ids=["a", ["b"]]), TypeError, "ids[1]: expected a hashable id"),
    (dict(scores={"fact_density": [1, 2]}), ValueError, "scores: unknown key 'fact_density'"),
    (dict(scores={"recency": [1.0, float("inf")]}), ValueError, "scores['recency'][1]: expected a finite number"),
    (dict(scores={"recency": [1.0, None]}), TypeError, "scores['recency'][1]: expected a finite number, got NoneType"),
    (dict(coverage=[[1.0, 0.0, 1.0]]), ValueError, "coverage: expected one column per chunk, shape (query tokens, 2)"),
    (dict(coverage=[[1.0, 0.0]], query_token_weights=[-1]), ValueError, "query_token_weights[0]: expected a non-neg"),
    (dict(query_token_weights=[1.0]), ValueError, "query_token_weights: given without coverage"),
]


@pytest.mark.parametrize("change, error, message", ERRORS, ids=[e[2][:40] for e in ERRORS])
def test_input_errors_name_argument_and_position(change, error, message):
    arguments = dict(query_embedding=[1.0, 0.0], embeddings=[[1.0, 0.0], [0.0, 1.0]], token_counts=[10, 20])
    arguments.update(change)
    with pytest.raises(error) as raised:
        ContextSelector().select(**arguments)
    assert message in str(raised.value)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(token_budget=-1), ValueError, "token_budget: expected a non-negative int"),
        (dict(token_budget=2.5), TypeError, "token_budget: expected a non-negative int, got float 2.5"),
        (dict(must_include_roles="example"), TypeError, "wrap it in a list: ['example']"),
        (dict(must_include_roles=["exmaple"]), ValueError, "must_include_roles[0]: unknown role 'exmaple'"),
        (dict(weights={"lambda_": 0.3}), ValueError, "weights: unknown key 'lambda_'"),
        (dict(redundancy="centered"), ValueError, "redundancy: expected 'raw' or 'above_mean'"),
        (dict(pool_size=0), ValueError, "pool_size: expected a positive int"),
        (dict(token_counter="len"), TypeError, "token_counter: expected a callable"),
        (dict(config={"alpha": 1}), TypeError, "config: expected a quarnel_solver.SolverConfig"),
    ],
)
def test_construction_errors_name_the_argument(kwargs, error, message):
    with pytest.raises(error) as raised:
        ContextSelector(**kwargs)
    assert message in str(raised.value)


def test_token_counter_prices_texts_without_a_count():
    selector = ContextSelector(token_counter=len, relevance="raw")
    sel = selector.select([1.0, 0.0], [[1.0, 0.0], [0.8, 0.6]], texts=["abc", "abcdefg"], token_counts=[None, 2])
    assert sel.tokens == (3, 2)
    with pytest.raises(TypeError, match=r"token_counter\(texts\[0\]\): expected a non-negative int, got float"):
        ContextSelector(token_counter=lambda text: 1.5).select([1.0], [[1.0]], texts=["a"])


def test_a_selector_survives_pickling():
    query, emb, costs = instance(8)
    selector = ContextSelector(700, weights={"recency": 0.4}, config=qs.SolverConfig(iterations=30))
    copy = pickle.loads(pickle.dumps(selector))
    scores = {"recency": np.linspace(0, 1, N)}
    same(
        copy.select(query, emb, token_counts=costs, scores=scores),
        selector.select(query, emb, token_counts=costs, scores=scores),
    )
    with pytest.raises(AttributeError, match="immutable"):
        copy.token_budget = 10


def test_one_selector_serves_many_threads():
    query, emb, costs = instance(7, n=200, d=64)
    # The exact window stops at a wall-clock limit, which threads sharing two
    # cores may reach at different points; out of its reach they must agree.
    patient = qs.SolverConfig(exact_window_time_ms=60_000)
    selector = ContextSelector(3000, weights=dict(quarnel.DEFAULTS.weights), config=patient)
    expected = selector.select(query, emb, token_counts=costs)
    results = []

    def work():
        for _ in range(3):
            results.append(selector.select(query, emb, token_counts=costs))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 12
    for result in results:
        same(result, expected)


finite = st.floats(allow_nan=True, allow_infinity=True, width=32) | st.sampled_from([0.0, -0.0, 1e38, 1e-45])


@pytest.mark.filterwarnings("ignore::quarnel.SelectionWarning")
@settings(max_examples=60, deadline=None)
@given(
    rows=st.integers(0, 12),
    dim=st.integers(1, 9),
    values=st.lists(finite, min_size=108, max_size=108),
    counts=st.lists(st.integers(0, 2**32 + 1), min_size=12, max_size=12),
    budget=st.integers(1, 2**32 - 1),
    dtype=st.sampled_from([np.float16, np.float32, np.float64, np.int64]),
)
def test_any_numeric_input_gives_a_sound_selection_or_a_clear_error(rows, dim, values, counts, budget, dtype):
    emb = np.array(values[: rows * dim], dtype=np.float64).reshape(rows, dim)
    query = np.array(values[-dim:], dtype=np.float64)
    with np.errstate(all="ignore"):
        emb, query = emb.astype(dtype), query.astype(dtype)
    try:
        sel = ContextSelector(budget).select(query, emb, token_counts=counts[:rows])
    except (ValueError, TypeError) as error:
        assert str(error).split(":")[0].split("[")[0] in {"embeddings", "query_embedding", "token_counts"}
        return
    assert list(sel.indices) == sorted(set(sel.indices)) and all(0 <= i < rows for i in sel.indices)
    assert sel.total_tokens == sum(counts[i] for i in sel.indices)
    if sel.satisfied:
        assert sel.total_tokens <= budget and len(sel) >= 1
