"""The layer's native solve (warm starts, node-bounded window), its dot products and its pricing."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest
import quarnel_solver as qs

from quarnel import ContextSelector, _native


def problem(seed, n=30, d=16):
    rng = np.random.default_rng(seed)
    units = rng.standard_normal((n, d))
    units = (units / np.linalg.norm(units, axis=1, keepdims=True)).astype(np.float32)
    zeros = np.zeros(n, np.float32)
    return dict(
        embeddings=units, token_costs=rng.integers(20, 200, n).astype(np.uint32), density_scores=zeros,
        centrality_scores=zeros, recency_scores=zeros, auxiliary_scores=zeros,
        roles=np.full(n, 255, np.uint8), cluster_ids=rng.integers(-1, 4, n).astype(np.int32),
        relevance_scores=rng.uniform(-0.2, 0.6, n).astype(np.float32),
        similarity_matrix=np.maximum(units @ units.T, 0).astype(np.float32),
    )


def objective_of(solver, arrays, chosen, limits):
    """The objective of exactly `chosen`: the only selection its required set leaves feasible."""
    pinned = qs.SolverConstraints(
        max_tokens=limits.max_tokens, max_chunks=len(chosen), max_per_cluster=limits.max_per_cluster,
        required_chunks=[f"chunk_{k}" for k in chosen],
    )
    out = solver.solve_precomputed_numpy(**arrays, constraints=pinned)
    if not out.constraints_satisfied:
        return None, False
    assert sorted(out.selected_indices) == sorted(chosen)
    return out.objective_score, True


@pytest.mark.parametrize("weak", [False, True])
def test_warm_starts_are_never_beaten_by_the_result(weak):
    # A search with no iterations and no window only keeps its best start, so
    # there a better warm start must come back as is.
    config = qs.SolverConfig(iterations=0, enable_exact_window=False) if weak else qs.SolverConfig()
    solver = qs.TabuSearchSolver(config)
    improved = 0
    for seed in range(25):
        arrays = problem(seed)
        rng = np.random.default_rng(1000 + seed)
        limits = qs.SolverConstraints(max_tokens=600, max_chunks=8, max_per_cluster=2)
        plain = solver.solve_precomputed_numpy(**arrays, constraints=limits)
        # Random sets, and the plain result with one chunk swapped in or added.
        starts = [sorted(rng.choice(30, rng.integers(1, 9), replace=False).tolist()) for _ in range(2)]
        for k in rng.choice(30, 6, replace=False).tolist():
            base = list(plain.selected_indices)
            if base and k not in base and rng.random() < 0.5:
                base.pop(int(rng.integers(len(base))))
            starts.append(sorted(set(base) | {k}))
        out = _native.solve(solver, **arrays, constraints=limits, warm_starts=starts)
        assert out.constraints_satisfied or not plain.constraints_satisfied
        for start in starts:
            score, feasible = objective_of(solver, arrays, start, limits)
            if feasible:
                assert out.constraints_satisfied and out.objective_score >= score
                improved += score > plain.objective_score
    assert improved > 0 or not weak  # some warm start beat the weak search, so the test can fail


def test_without_extras_the_private_solve_is_the_public_one():
    solver = qs.TabuSearchSolver(qs.SolverConfig(lambda_=0.3, exact_window_time_ms=10**6))  # never cut short
    for seed in range(5):
        arrays = problem(seed, n=60)
        limits = qs.SolverConstraints(max_tokens=900, max_chunks=60, max_per_cluster=60)
        ours = _native.solve(solver, **arrays, constraints=limits).to_dict()
        theirs = solver.solve_precomputed_numpy(**arrays, constraints=limits).to_dict()
        ours.pop("solve_time_ms"), theirs.pop("solve_time_ms")
        assert ours == theirs


def test_bad_warm_starts_and_shapes_are_value_errors():
    solver, arrays = qs.TabuSearchSolver(), problem(0)
    with pytest.raises(ValueError, match="out of range: 30"):
        _native.solve(solver, **arrays, warm_starts=[[0, 30]])
    with pytest.raises(ValueError, match="relevance_scores"):
        _native.solve(solver, **{**arrays, "relevance_scores": np.zeros(3, np.float32)})


WINDOW_RUN = """
import json, numpy as np, quarnel, quarnel_solver as qs
from quarnel import _native
rng = np.random.default_rng(7)
q, emb = rng.standard_normal(64), rng.standard_normal((400, 64))
sel = quarnel.ContextSelector(3000, pool_size=None, relevance_floor=None)
ids = sel.select(q, emb, token_counts=rng.integers(20, 300, 400).tolist()).indices
n = 200
units = (emb[:n] / np.linalg.norm(emb[:n], axis=1, keepdims=True)).astype(np.float32)
zeros = np.zeros(n, np.float32)
solver = qs.TabuSearchSolver(qs.SolverConfig(exact_window_size=18, exact_window_time_ms=1))
out = _native.solve(solver, embeddings=units, token_costs=rng.integers(20, 300, n).astype(np.uint32),
    density_scores=zeros, centrality_scores=zeros, recency_scores=zeros, auxiliary_scores=zeros,
    roles=np.full(n, 255, np.uint8), cluster_ids=np.full(n, -1, np.int32),
    relevance_scores=(units @ (q[:64] / np.linalg.norm(q))).astype(np.float32),
    constraints=qs.SolverConstraints(max_tokens=2500, max_chunks=n, max_per_cluster=n),
    exact_window_nodes=5000)
print(json.dumps([list(ids), out.selected_indices, out.exact_window_nodes]))
"""


def run_with_threads(threads):
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    proc = subprocess.run([sys.executable, "-c", WINDOW_RUN], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_same_result_whatever_the_thread_count():
    # The window's node limit counts whole blocks, which do not depend on the
    # threads; a 1 ms clock limit is ignored once a node limit is given.
    one, four = run_with_threads(1), run_with_threads(4)
    assert one == four
    assert '5120]' in one  # 5000 nodes rounded up to blocks of 1024


def test_same_ids_while_other_threads_load_the_cpu():
    # A pool this large keeps the window busy for tens of milliseconds: on the
    # clock it was cut short under load and the ids changed.
    rng = np.random.default_rng(3)
    q, emb = rng.standard_normal(48), rng.standard_normal((600, 48))
    counts = rng.integers(20, 300, 600).tolist()
    selector = ContextSelector(2500, pool_size=None, relevance_floor=None)
    quiet = selector.select(q, emb, token_counts=counts).indices
    stop = threading.Event()

    def burn():
        big = np.ones((300, 300))
        while not stop.is_set():
            big @ big  # releases the interpreter lock
            qs.TabuSearchSolver().solve_numpy(
                emb.astype(np.float32), q.astype(np.float32), np.array(counts, np.uint32),
                *[np.zeros(600, np.float32)] * 4, np.full(600, 255, np.uint8), np.full(600, -1, np.int32),
            )

    workers = [threading.Thread(target=burn) for _ in range(4)]
    for w in workers:
        w.start()
    try:
        busy = [selector.select(q, emb, token_counts=counts).indices for _ in range(6)]
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert all(ids == quiet for ids in busy)


@pytest.mark.parametrize("n, dim", [(1, 1), (5, 7), (49, 33), (130, 300)])
def test_gram_has_the_bits_of_single_dot_products(n, dim):
    rows = np.random.default_rng(n).standard_normal((n, dim)).astype(np.float32)
    reference = qs.compute_max_sim_batch_f32(rows[:, None, :], rows[:, None, :])
    assert np.array_equal(_native.gram(rows), reference)


def test_cosines_and_unit_rows_survive_extreme_scales():
    rng = np.random.default_rng(2)
    rows, q = rng.standard_normal((6, 40)), rng.standard_normal(40)
    rows[1] = 0.0
    expected = rows @ q / np.maximum(np.linalg.norm(rows, axis=1), 1e-300) / np.linalg.norm(q)
    got = _native.cosines(rows, q)
    assert np.allclose(got, expected, rtol=1e-6, atol=0) and got[1] == 0.0
    for scale in (1e-200, 1e200):
        assert np.array_equal(_native.cosines(rows * scale, q), got)
        assert np.array_equal(_native.unit_rows(rows * scale), _native.unit_rows(rows))
    # float32 rows take a vector path, float64 rows the plain loop: same bits.
    for dim in (40, 43):
        wide = rng.standard_normal((50, dim)).astype(np.float32)
        v = rng.standard_normal(dim)
        assert np.array_equal(_native.cosines(wide, v), _native.cosines(wide.astype(np.float64), v))
    assert np.allclose(np.linalg.norm(_native.unit_rows(rows)[[0, 2]], axis=1), 1.0, rtol=1e-6)


def test_only_the_pool_is_priced():
    rng = np.random.default_rng(4)
    q, emb = rng.standard_normal(16), rng.standard_normal((200, 16))
    texts = [f"text {k} " + "word " * int(rng.integers(5, 60)) for k in range(200)]
    counted = []

    def counter(text):
        counted.append(text)
        return len(text.split())

    sel = ContextSelector(400, pool_size=20, token_counter=counter).select(q, emb, texts=texts)
    assert len(counted) == 20 and set(sel.items) <= set(counted)
    assert sel.tokens == tuple(len(t.split()) for t in sel.items)
