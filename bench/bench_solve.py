"""Solve latency of TabuSearchSolver, end to end and stage by stage.

Usage: PYTHONPATH=<build dir> python bench/bench_solve.py [--sizes 100 500 2000 5000] [--repeats 5]
       [--stage-tool <build dir>/quarnel_stage_times] [--no-chunks] [--long-context]

Inputs per size n: random unit embeddings of dimension 384, token costs 50-800, budget 8192, default
configuration (`SolverConfig()`), with a coverage matrix of 32 query tokens.

With --long-context the budget is 10^6 tokens and the chunk limit the candidate count, as
`ContextSelector(token_budget=10**6, pool_size=None)` gives the solver: every candidate fits, so the
constructions take them all and the final removal pass drops most of them again.

Tables (median of the repeats):
1. End to end: `solve_precomputed_numpy` with the solver computing the similarity matrix, the same with
   the matrix given, and `solve` from chunk dictionaries holding 384-float lists.
2. Stages of the driver, from the driver's own timers (read by the C++ tool `quarnel_stage_times`,
   built by `scripts/dev_build.sh` next to the module, on the same instance): similarity matrix,
   constructions, search, exact window, removal pass; and the argument conversion of each Python path
   (the call's wall time minus the driver's `solve_time_ms`; on the dictionary path `solve_time_ms`
   also covers assembly, so that column shows conversion outside the timed span).
3. Search cost per scored move: search time on one thread divided by the moves the search scored.
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

import quarnel_solver as qs

DIM = 384
QUERY_TOKENS = 32
BUDGET = 8192
THREADS = int(os.environ.get("RAYON_NUM_THREADS", "2"))


def make_inputs(n, with_coverage=True, seed=0):
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


def chunk_dicts(inputs):
    roles = ["definition", "example", "evidence", "conclusion", "risk", "constraint", "datatable", "procedure"]
    return [
        {"chunk_id": f"chunk_{i}", "content": "", "embedding": inputs["embeddings"][i].tolist(),
         "token_count": int(inputs["token_costs"][i]), "fact_density": float(inputs["density_scores"][i]),
         "centrality_score": float(inputs["centrality_scores"][i]),
         "recency_score": float(inputs["recency_scores"][i]),
         "auxiliary_score": float(inputs["auxiliary_scores"][i]),
         "rhetorical_role": roles[inputs["roles"][i]], "cluster_id": int(inputs["cluster_ids"][i])}
        for i in range(len(inputs["token_costs"]))
    ]


def timed(call, repeats):
    """Median wall time and median (wall - solve_time_ms) in ms, after a warm-up call."""
    call()
    walls, outside, out = [], [], None
    for _ in range(repeats):
        start = time.perf_counter()
        out = call()
        wall = (time.perf_counter() - start) * 1e3
        walls.append(wall)
        outside.append(wall - out.solve_time_ms)
    return statistics.median(walls), statistics.median(outside), out


def write_instance(path, inputs):
    n, d = inputs["embeddings"].shape
    cov = inputs.get("coverage_matrix")
    with open(path, "wb") as f:
        np.array([n, d, 0 if cov is None else cov.shape[0]], "<u8").tofile(f)
        for key, dtype in [("embeddings", "<f4"), ("token_costs", "<u4"), ("density_scores", "<f4"),
                           ("centrality_scores", "<f4"), ("recency_scores", "<f4"), ("auxiliary_scores", "<f4"),
                           ("relevance_scores", "<f4"), ("roles", "u1"), ("cluster_ids", "<i4")]:
            np.ascontiguousarray(inputs[key], dtype).tofile(f)
        if cov is not None:
            np.ascontiguousarray(cov, "<f4").tofile(f)


def stage_times(tool, inputs, repeats, threads, limits=None):
    env = dict(os.environ)
    if limits:
        env.update(QUARNEL_STAGE_MAX_TOKENS=str(limits["max_tokens"]), QUARNEL_STAGE_MAX_CHUNKS=str(limits["max_chunks"]))
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "instance.bin"
        write_instance(path, inputs)
        done = subprocess.run([str(tool), str(path), str(repeats), str(threads)], check=True,
                              capture_output=True, text=True, env=env)
    return json.loads(done.stdout)


def default_tool():
    for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        candidate = pathlib.Path(entry or ".") / "quarnel_stage_times"
        if candidate.exists():
            return candidate
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 500, 2000, 5000])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--stage-tool", type=pathlib.Path, default=default_tool())
    parser.add_argument("--no-chunks", action="store_true", help="skip the chunk-dictionary path")
    parser.add_argument("--long-context", action="store_true", help="budget 10^6 tokens, no chunk limit")
    args = parser.parse_args()

    solver = qs.TabuSearchSolver(qs.SolverConfig())
    budget = 10**6 if args.long_context else BUDGET
    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, cpus={os.cpu_count()}; "
          f"d={DIM}, {QUERY_TOKENS} query tokens, budget {budget}, SolverConfig()")

    rows = []
    for n in args.sizes:
        limits = dict(max_tokens=budget, max_chunks=n) if args.long_context else None
        constraints = qs.SolverConstraints(**(limits or dict(max_tokens=BUDGET)))
        inputs = make_inputs(n, seed=n)
        unit = inputs["embeddings"]
        given = dict(inputs, similarity_matrix=unit @ unit.T)
        row = {"n": n}
        row["solve"], row["conv_pre"], out = timed(
            lambda: solver.solve_precomputed_numpy(**inputs, constraints=constraints), args.repeats)
        row["selected"], row["nodes"] = out.num_selected, out.exact_window_nodes
        row["given"], row["conv_given"], _ = timed(
            lambda: solver.solve_precomputed_numpy(**given, constraints=constraints), args.repeats)
        if not args.no_chunks:
            chunks, query = chunk_dicts(inputs), inputs["embeddings"].mean(axis=0)
            row["chunks"], row["conv_chunks"], _ = timed(lambda: solver.solve(chunks, query, constraints),
                                                         args.repeats)
        if args.stage_tool:
            row["stages"] = stage_times(args.stage_tool, inputs, args.repeats, THREADS, limits)
            row["one_thread"] = stage_times(args.stage_tool, inputs, args.repeats, 1, limits)
        rows.append(row)

    print("\nEnd to end, ms")
    print(f"{'n':>6} {'solve':>9} {'sim given':>10} {'chunks':>9} {'selected':>8} {'window nodes':>12}")
    for r in rows:
        chunks = f"{r['chunks']:>9.1f}" if "chunks" in r else f"{'-':>9}"
        print(f"{r['n']:>6} {r['solve']:>9.1f} {r['given']:>10.1f} {chunks} {r['selected']:>8} {r['nodes']:>12}")

    if args.stage_tool:
        print(f"\nStages, ms ({THREADS} threads; conversion = wall - solve_time_ms per path)")
        print(f"{'n':>6} {'similarity':>10} {'construct':>9} {'search':>9} {'window':>8} {'removal':>8} "
              f"{'conv pre':>8} {'conv sim':>8} {'conv dict':>9}")
        for r in rows:
            s = r["stages"]
            conv_chunks = f"{r['conv_chunks']:>9.2f}" if "conv_chunks" in r else f"{'-':>9}"
            print(f"{r['n']:>6} {s['similarity']:>10.2f} {s['constructions']:>9.2f} {s['search']:>9.2f} "
                  f"{s['exact_window']:>8.2f} {s['removal_pass']:>8.2f} {r['conv_pre']:>8.2f} "
                  f"{r['conv_given']:>8.2f} {conv_chunks}")
        print("\nSearch cost per scored move, one thread")
        print(f"{'n':>6} {'search ms':>10} {'moves':>10} {'ns/move':>8}")
        for r in rows:
            s = r["one_thread"]
            print(f"{r['n']:>6} {s['search']:>10.2f} {s['moves']:>10} {s['search'] * 1e6 / max(s['moves'], 1):>8.1f}")
    else:
        print("\n(no stage table: quarnel_stage_times not found; pass --stage-tool)")


if __name__ == "__main__":
    main()
