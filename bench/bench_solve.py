"""Solve throughput of TabuSearchSolver.solve_precomputed_numpy.

Usage: PYTHONPATH=<build dir> python bench/bench_solve.py [--sizes 100 500 2000 5000] [--repeats 5]

Inputs per size n: random unit embeddings of dimension 384 (the solver computes the similarity
matrix from them), token costs 50-800, budget 8192, default configuration; once without and once
with a coverage matrix of 32 query tokens. Prints the median solve time and an estimate of the
moves scored per second.

The module does not report how many moves it scored, so that figure is estimated: the search time
is the solve time minus the median time of the same solve with iterations=0, and the move count is
iterations x (incoming x (outgoing + 1)), the neighbourhood size at its narrowest (no widening), with
the final number of selected chunks. Widening under stagnation enlarges the neighbourhood up to
threefold per side, and infeasible swaps are not scored, so read it as an order of magnitude.
"""
import argparse
import math
import os
import statistics
import time

import numpy as np

import quarnel_solver as qs

DIM = 384
QUERY_TOKENS = 32
BUDGET = 8192


def make_inputs(n, with_coverage, seed):
    rng = np.random.default_rng(seed)
    emb = rng.standard_normal((n, DIM), dtype=np.float32)
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)
    inputs = dict(
        embeddings=emb,
        token_costs=rng.integers(50, 801, n, dtype=np.uint32),
        density_scores=rng.random(n, dtype=np.float32),
        centrality_scores=rng.random(n, dtype=np.float32),
        recency_scores=rng.random(n, dtype=np.float32),
        auxiliary_scores=rng.random(n, dtype=np.float32),
        roles=rng.integers(0, 8, n, dtype=np.uint8),
        cluster_ids=rng.integers(0, max(n // 10, 1), n, dtype=np.int32),
        relevance_scores=rng.random(n, dtype=np.float32),
    )
    if with_coverage:
        inputs["coverage_matrix"] = rng.random((QUERY_TOKENS, n), dtype=np.float32)
    return inputs


def median_solve(solver, inputs, constraints, repeats):
    solver.solve_precomputed_numpy(**inputs, constraints=constraints)  # warm-up: pool start, first touch
    times, out = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        out = solver.solve_precomputed_numpy(**inputs, constraints=constraints)
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def estimated_moves(n, selected, iterations):
    incoming = min(max(math.ceil(math.sqrt(n)) * 6, 12), n - selected)
    outgoing = min(max(math.ceil(math.sqrt(selected)) * 4, 6), selected)
    return iterations * incoming * (outgoing + 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 500, 2000, 5000])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    config = qs.SolverConfig()
    solver = qs.TabuSearchSolver(config)
    no_search = qs.TabuSearchSolver(qs.SolverConfig(iterations=0))
    constraints = qs.SolverConstraints(max_tokens=BUDGET)

    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, cpus={os.cpu_count()}")
    header = (
        f"{'n':>6} {'coverage':>8} {'solve ms':>10} {'search ms':>10} {'selected':>8} "
        f"{'ms/iteration':>12} {'moves/s (upper est.)':>20}"
    )
    print(header)
    print("-" * len(header))
    for n in args.sizes:
        for with_coverage in (False, True):
            inputs = make_inputs(n, with_coverage, seed=n)
            total, out = median_solve(solver, inputs, constraints, args.repeats)
            base, _ = median_solve(no_search, inputs, constraints, args.repeats)
            search = max(total - base, 1e-9)
            moves = estimated_moves(n, out.num_selected, config.iterations)
            print(
                f"{n:>6} {'32' if with_coverage else '-':>8} {total * 1e3:>10.1f} {search * 1e3:>10.1f} "
                f"{out.num_selected:>8} {search * 1e3 / config.iterations:>12.2f} {moves / search:>20.3g}"
            )
    print("search ms = solve minus an iterations=0 solve; moves/s is estimated, not counted "
          "(see the module docstring).")


if __name__ == "__main__":
    main()
