"""Batch selection and sharded MaxSim on one process, Dask and Ray: throughput, scaling, overhead.

Usage: PYTHONPATH=<build dir>:python python bench/bench_batch.py [--queries 10000] [--batch 100]
       [--engines dask,ray] [--skip-maxsim]

Selection: `--queries` queries of 50 candidates each (d=384, token counts 20-200, budget 512),
generated batch by batch from a seed inside whoever runs the batch, so no engine ships the
candidates across processes. The selector's defaults bound the exact window by nodes, so the
selections do not depend on the machine's load. Rows: the plain `ContextSelector.select` loop and
`BatchSelector` in this process (its pools at one thread), timed batch by batch in turns (their
times exclude making the batches), then Dask (LocalCluster, worker processes x 1 thread) and Ray
(`num_cpus=2`, actors with one CPU) with one and with two workers, `--repeats` runs of each in the
order 1 2 2 1 ..., the least time kept (their times include making the batches, about 1% of the
work). The clusters start before the clock; Ray's actors start inside it. Every run's selections
are checked id for id against the plain loop's. "Overhead / batch" is a row's time less the plain
loop's, per batch, for the one-worker rows.

MaxSim: float32 query tokens against 1-bit document codes (`numpy.packbits` signs), the corpus
whole in one BatchMaxSim and cut into two shards merged by `RerankStep`, in this process and
on each engine with one actor or worker per shard; every top is checked against the whole
corpus's top. Figures on a shared machine move with its load, printed before and after.
"""
import argparse
import os
import time

import numpy as np

from quarnel import ContextSelector
from quarnel._threads import use_threads
from quarnel.batch import BatchMaxSim, BatchSelector, RerankStep

CANDIDATES, DIM, BUDGET = 50, 384, 512


def selection_batch(index, size):
    """Batch `index` of the workload as columns (the same for every runner)."""
    rng = np.random.default_rng(1000 + index)
    return {
        "query_id": np.arange(index * size, (index + 1) * size),
        "query_embedding": rng.normal(size=(size, DIM)).astype(np.float32),
        "embeddings": rng.normal(size=(size, CANDIDATES, DIM)).astype(np.float32),
        "token_counts": rng.integers(20, 200, (size, CANDIDATES)),
    }


def selection_frame(index, size):
    import pandas as pd

    batch = selection_batch(index, size)
    return pd.DataFrame({name: list(value) if value.ndim > 1 else value for name, value in batch.items()})


def in_process(batches, size):
    """The plain loop and BatchSelector on the same batches, taking turns going first, so that both
    see the same load; returns each one's total time and selections."""
    selector, batch_selector = ContextSelector(BUDGET), BatchSelector(BUDGET)
    times, chosen = [0.0, 0.0], [{}, {}]

    def loop(batch):
        for row, query_id in enumerate(batch["query_id"].tolist()):
            chosen[0][query_id] = list(selector.select(batch["query_embedding"][row], batch["embeddings"][row],
                                                       token_counts=batch["token_counts"][row]).ids)

    def batched(batch):
        out = batch_selector(batch)
        chosen[1].update(zip(out["query_id"].tolist(), out["ids"]))

    for index in range(batches):
        for k in ((0, 1) if index % 2 == 0 else (1, 0)):
            started = time.perf_counter()
            (loop, batched)[k](selection_batch(index, size))
            times[k] += time.perf_counter() - started
    return times, chosen


def on_dask(batches, size, workers):
    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import quarnel.dask as qdask

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        with dask.config.set({"dataframe.convert-string": False}):
            ddf = dd.from_map(selection_frame, range(batches), size=size, meta=selection_frame(0, 0))
            job = qdask.select(ddf, token_budget=BUDGET)
        started = time.perf_counter()
        out = job.compute()
        elapsed = time.perf_counter() - started
    return elapsed, dict(zip(out["query_id"].tolist(), out["ids"]))


def on_ray(batches, size, workers):
    import ray

    import quarnel.ray as qray

    # Batches made inside the selecting actors (fused), not by read tasks,
    # which would wait for a CPU the two actors hold.
    ds = ray.data.from_items([{"id": i} for i in range(batches)], override_num_blocks=batches).map_batches(
        lambda b: selection_batch(int(b["id"][0]), size), batch_size=1)
    started = time.perf_counter()
    rows = qray.select(ds, token_budget=BUDGET, concurrency=workers, batch_size=size).take_all()
    elapsed = time.perf_counter() - started
    return elapsed, {row["query_id"]: list(row["ids"]) for row in rows}


def timed(fn, *args):
    started = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - started, result


def maxsim_case(documents, doc_tokens, queries, query_tokens, dim):
    rng = np.random.default_rng(7)
    signs = np.packbits(rng.normal(size=(documents * doc_tokens, dim)) > 0, axis=-1)
    offsets = np.arange(0, documents * doc_tokens + 1, doc_tokens, dtype=np.int64)
    q = rng.normal(size=(queries, query_tokens, dim)).astype(np.float32)
    return signs, offsets, {"query_id": np.arange(queries), "query_tokens": list(q)}


def tops(out):
    return {int(q): list(i) for q, i in zip(out["query_id"], out["ids"])}


def bench_maxsim(args, engines):
    signs, offsets, queries = maxsim_case(args.documents, 16, args.maxsim_queries, 8, 128)
    half = args.documents // 2
    cut = offsets[half]
    ids = np.arange(args.documents)
    shards = [BatchMaxSim(signs[:cut], offsets=offsets[:half + 1], ids=ids[:half], num_bits=1, top_m=10),
              BatchMaxSim(signs[cut:], offsets=offsets[half:] - cut, ids=ids[half:], num_bits=1, top_m=10)]
    whole = BatchMaxSim(signs, offsets=offsets, ids=ids, num_bits=1, top_m=10)
    t_whole, expected = timed(lambda: tops(whole(queries)))
    t_shards, merged = timed(lambda: tops(RerankStep(shards[1], True)(RerankStep(shards[0], False)(queries))))
    rows = [("whole corpus, this process", t_whole, merged == expected),
            ("2 shards chained, this process", t_shards, merged == expected)]
    batches = 8
    size = len(queries["query_id"]) // batches
    if "dask" in engines:
        import dask
        import dask.dataframe as dd
        import pandas as pd
        from distributed import Client, LocalCluster

        import quarnel.dask as qdask

        frame = pd.DataFrame(queries)
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster):
            with dask.config.set({"dataframe.convert-string": False}):
                job = qdask.rerank(dd.from_pandas(frame, npartitions=batches), shards, top_m=10)
            started = time.perf_counter()
            out = job.compute()
            rows.append(("2 shards, Dask 2 workers", time.perf_counter() - started, tops(out) == expected))
    if "ray" in engines:
        import ray

        import quarnel.ray as qray

        ds = ray.data.from_items([{"query_id": int(i), "query_tokens": t} for i, t in
                                  zip(queries["query_id"], queries["query_tokens"])], override_num_blocks=batches)
        started = time.perf_counter()
        out = qray.rerank(ds, shards, top_m=10, batch_size=size).take_all()
        elapsed = time.perf_counter() - started
        rows.append(("2 shards, Ray 1 actor each", elapsed,
                     {r["query_id"]: list(r["ids"]) for r in out} == expected))
    print(f"\nMaxSim top-10: {args.maxsim_queries} queries x 8 tokens against {args.documents} documents x 16 "
          "tokens, d=128, 1-bit document codes")
    print(f"{'run':34} {'seconds':>8} {'queries/s':>10}  top equals the whole corpus's")
    for name, seconds, same in rows:
        print(f"{name:34} {seconds:8.2f} {args.maxsim_queries / seconds:10.1f}  {same}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--queries", type=int, default=10000)
    parser.add_argument("--batch", type=int, default=100)
    parser.add_argument("--engines", default="dask,ray")
    parser.add_argument("--repeats", type=int, default=2, help="runs of each engine size (least time kept)")
    parser.add_argument("--skip-maxsim", action="store_true")
    parser.add_argument("--documents", type=int, default=4000)
    parser.add_argument("--maxsim-queries", type=int, default=400)
    args = parser.parse_args()
    engines = [e for e in args.engines.split(",") if e]
    use_threads(1)  # this process's runs on one thread, like each engine worker
    os.environ["RAY_DEDUP_LOGS"] = "0"
    if "ray" in engines:
        import ray

        ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
        ray.data.DataContext.get_current().enable_progress_bars = False
    batches = args.queries // args.batch
    queries = batches * args.batch
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"Selection: {queries} queries x {CANDIDATES} candidates, d={DIM}, {batches} batches of {args.batch}")
    (t_loop, t_batch), (expected, chosen) = in_process(batches, args.batch)
    rows = [("plain loop, this process", t_loop, True), ("BatchSelector, this process", t_batch, chosen == expected)]
    best = {}
    for engine, runner in (("Dask", on_dask), ("Ray", on_ray)):
        if engine.lower() not in engines:
            continue
        for repeat in range(args.repeats):  # 1, 2, 2, 1, ...: both sizes see the load of the moment
            for workers in ((1, 2) if repeat % 2 == 0 else (2, 1)):
                elapsed, chosen = runner(batches, args.batch, workers)
                name = f"{engine} {workers} worker{'s' if workers > 1 else ''} x 1 thread"
                print(f"  {name}: {elapsed:.2f} s, same ids {chosen == expected}", flush=True)
                previous = best.get(name, (float("inf"), True))
                best[name] = (min(previous[0], elapsed), previous[1] and chosen == expected)
    rows += [(name, seconds, same) for name, (seconds, same) in best.items()]
    print(f"{'run':34} {'seconds':>8} {'queries/s':>10} {'x loop':>7} {'overhead/batch':>15}  same ids")
    one_worker = {}
    for name, seconds, same in rows:
        overhead = f"{(seconds - t_loop) / batches * 1e3:12.1f} ms" if "2 workers" not in name and \
            "plain" not in name else ""
        print(f"{name:34} {seconds:8.2f} {queries / seconds:10.1f} {t_loop / seconds:7.2f} {overhead:>15}  {same}")
        one_worker[name.split()[0]] = one_worker.get(name.split()[0], []) + [seconds]
    for engine in ("Dask", "Ray"):
        if len(one_worker.get(engine, [])) == 2:
            single, double = one_worker[engine]
            print(f"{engine}: 2 workers x 1 thread = {single / double:.2f}x one worker x 1 thread")
    if not args.skip_maxsim:
        bench_maxsim(args, engines)
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
