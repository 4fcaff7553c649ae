"""Solves from several Python threads: shared solvers, released lock, copied inputs."""
import threading
import time

import numpy as np
import pytest

import quarnel_solver as qs


# A time limit the exact window never reaches, so that results compared with
# each other depend on the inputs alone and not on the machine's load.
UNHURRIED = dict(exact_window_time_ms=600_000)


def problem(n, d=16, seed=0):
    rng = np.random.default_rng(seed)
    return dict(
        embeddings=rng.standard_normal((n, d)).astype(np.float32),
        query_embedding=rng.standard_normal(d).astype(np.float32),
        token_costs=rng.integers(50, 300, n).astype(np.uint32),
        density_scores=rng.random(n, dtype=np.float32),
        centrality_scores=rng.random(n, dtype=np.float32),
        recency_scores=rng.random(n, dtype=np.float32),
        auxiliary_scores=rng.random(n, dtype=np.float32),
        roles=rng.integers(0, 8, n).astype(np.uint8),
        cluster_ids=rng.integers(-1, 10, n).astype(np.int32),
    )


def result(output):
    values = output.to_dict()
    del values["solve_time_ms"]
    return values


def as_chunks(p):
    return [dict(chunk_id=f"c{i}", embedding=p["embeddings"][i], token_count=int(p["token_costs"][i]),
                 fact_density=float(p["density_scores"][i]), cluster_id=int(p["cluster_ids"][i]))
            for i in range(len(p["token_costs"]))]


def run_in_threads(calls):
    """Runs every call in its own thread, all released together; returns their results in order."""
    results = [None] * len(calls)
    errors = []
    barrier = threading.Barrier(len(calls))

    def worker(index, call):
        try:
            barrier.wait()
            results[index] = call()
        except BaseException as error:  # noqa: BLE001 - reported to the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i, c)) for i, c in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def test_concurrent_solves_on_one_solver_match_sequential_solves():
    solver = qs.TabuSearchSolver(qs.SolverConfig(iterations=60, **UNHURRIED))
    problems = [problem(150, seed=s) for s in range(3)]
    precomputed = dict(problems[2], relevance_scores=problems[2]["density_scores"][::-1].copy())
    del precomputed["query_embedding"]
    calls = [
        lambda: result(solver.solve_numpy(**problems[0])),
        lambda: result(solver.solve(as_chunks(problems[1]), problems[1]["query_embedding"])),
        lambda: result(solver.solve_precomputed_numpy(**precomputed)),
        lambda: result(solver.solve_numpy(**problems[0])),
    ]
    sequential = [call() for call in calls]
    assert sequential[0] == sequential[3]
    for _ in range(2):
        assert run_in_threads(calls) == sequential


def test_other_threads_run_while_a_solve_searches():
    # Large enough that even a fast machine spends well over 50 ms searching.
    solver = qs.TabuSearchSolver(qs.SolverConfig(iterations=600, early_stopping_patience=600))
    p = problem(2000, 32)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.perf_counter()
        output = solver.solve_numpy(**p)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    if output.solve_time_ms < 50:
        pytest.skip("the solve is too short to observe")
    # The ticker ran during the solve: the search held no lock it needed.
    assert [t for t in ticks if start < t < end]


def test_mutating_an_input_during_solves_cannot_reach_them():
    # The caller flips one array between two states while solves run. The flip
    # is a single NumPy assignment of a small array, made with the lock held, so
    # every solve copies one state or the other; a solve that read the caller's
    # memory while searching would see both.
    solver = qs.TabuSearchSolver(qs.SolverConfig(iterations=40, **UNHURRIED))
    p = problem(60, 8, seed=1)
    states = [p["density_scores"].copy(), np.random.default_rng(9).random(60, dtype=np.float32)]
    expected = [result(solver.solve_numpy(**dict(p, density_scores=s))) for s in states]
    assert expected[0] != expected[1]
    live = p["density_scores"]
    stop = threading.Event()

    def flipper():
        index = 0
        while not stop.is_set():
            index = 1 - index
            live[...] = states[index]

    thread = threading.Thread(target=flipper)
    thread.start()
    try:
        outputs = [result(solver.solve_numpy(**p)) for _ in range(20)]
    finally:
        stop.set()
        thread.join()
    assert all(output in expected for output in outputs)
