"""MaxSim throughput: the module's four scorers next to the same scores computed with NumPy.

Usage: PYTHONPATH=<build dir> python bench/bench_maxsim.py [--queries 16] [--docs 1000] [--threads 2] [--repeats 5]
       [--fastest] [--timer build/cpp-tests/quarnel_kernel_timer]

Each vector path this CPU has (SSE2, AVX2, AVX-512) runs in a child process of its own,
since the module picks its path once per process from QUARNEL_SOLVER_SIMD; the path column is the one
the child reports (quarnel._native.simd_path()). Within a child the module and
NumPy are timed one after the other on the same data (each warmed up first), each with --threads threads (worker pool and BLAS). The
table gives the median times, NumPy / module (above 1: the module is faster), the module's token pairs
per second, each quantised path's speed relative to the module's own f32 path, and the fraction of this
CPU's limit the module reaches: its work (f32 multiply-adds, 8/4-bit component products, 1-bit code bits)
over the time, the threads and a per-cycle peak per core (f32: 16 multiply-adds without FMA; 8/4-bit: 64
byte products, VPDPBUSD's rate; 1-bit: 512 bits, VPOPCNTQ's), at the clock a chain of dependent additions
shows in this run (the C++ kernel timer's `clock`, built with the tests; without it the column is left
out). When PyTorch is installed, its CPU f32 MaxSim is timed as a further peer.

A second table covers variable-length documents (lengths drawn from 20 to 300 tokens): `quarnel.maxsim`
on the ragged list next to `compute_max_sim_batch_f32` on the same documents zero-padded to the longest
(what callers of the uniform function do; its scores then differ), and four Python threads each making
the same `quarnel.maxsim` call at once next to the four calls one after another.
"""
import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import time


# OpenBLAS's threads spin for a while after each call before they sleep; on a machine with as many
# cores as threads they would take cores from the module's workers timed next.
BLAS_SPIN_SECONDS = 0.3


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


# The statistic of the repeats (--fastest: the least, which other work on a shared machine can only raise).
SUMMARY = statistics.median


def median_seconds(fn, repeats):
    time.sleep(BLAS_SPIN_SECONDS)
    fn()  # warm-up: first-touch allocations, thread pool start
    return SUMMARY([seconds(fn) for _ in range(repeats)])


def numpy_f32(np, q, d):
    """Per query: all token dot products by matmul, best per document, summed over query tokens."""
    n, doc_tokens, dim = d.shape
    flat = d.reshape(n * doc_tokens, dim)
    out = np.empty((q.shape[0], n), np.float32)
    for i in range(q.shape[0]):
        sims = (q[i] @ flat.T).reshape(q.shape[1], n, doc_tokens)
        out[i] = sims.max(axis=2).sum(axis=0)
    return out


def torch_f32(torch, q, d):
    """NumPy's computation in PyTorch (CPU): matmul, best per document, sum over query tokens."""
    n, doc_tokens, dim = d.shape
    flat = d.reshape(n * doc_tokens, dim)
    return torch.stack([(qi @ flat.T).reshape(qi.shape[0], n, doc_tokens).amax(dim=2).sum(dim=0) for qi in q])


# Per-cycle, per-core peaks of each kind of work.
PEAK = {"f32": 16, "8-bit": 64, "4-bit": 64, "1-bit": 512}


def work_per_pair(kernel, dim):
    """Multiply-adds (f32), component products (8/4-bit) or code bits (1-bit) of one token pair."""
    padded = 1 << max(0, (dim - 1).bit_length())
    return dim if kernel == "f32" else padded


def measure_clock_ghz(timer):
    if not timer:
        return None
    output = subprocess.run([timer, "clock"], check=True, capture_output=True, text=True).stdout
    return float(output.split()[0])


def integer_products(np, q_codes, d_codes, num_bits):
    """Integer code products of one query's token pairs as float32 matrices (exact: sums stay below 2^24)."""
    q = q_codes.reshape(-1, q_codes.shape[-1])
    d = d_codes.reshape(-1, d_codes.shape[-1])[:, : q.shape[1]]
    if num_bits == 8:
        return q.astype(np.float32) @ d.astype(np.float32).T
    if num_bits == 4:
        lo = (q & 15).astype(np.float32) @ (d & 15).astype(np.float32).T
        hi = (q >> 4).astype(np.float32) @ (d >> 4).astype(np.float32).T
        return lo + hi
    # 1 bit as +-1 vectors: their dot product is bits - 2 * hamming.
    q_signs = np.unpackbits(q, axis=1).astype(np.float32) * 2 - 1
    d_signs = np.unpackbits(d, axis=1).astype(np.float32) * 2 - 1
    return (q_signs.shape[1] - q_signs @ d_signs.T) / 2  # Hamming distances


def numpy_quantised(np, q_codes, q_meta, d_codes, d_meta, num_bits, w):
    """The pair estimates of one query at a time, then best per document and the sum over query tokens."""
    n_d, d_tokens = d_codes.shape[:2]
    da, db = d_meta[:, :, 0].reshape(1, -1), d_meta[:, :, 1].reshape(1, -1)
    d_sum = np.trunc(d_meta[:, :, 2]).reshape(1, -1)
    out = np.empty((q_codes.shape[0], n_d), np.float32)
    for i in range(q_codes.shape[0]):
        integer = integer_products(np, q_codes[i], d_codes, num_bits)  # (Tq, N*Td)
        if num_bits == 1:
            pairs = np.float32(w) - np.float32(2) * integer
        else:
            qa, qb = q_meta[i, :, 0].reshape(-1, 1), q_meta[i, :, 1].reshape(-1, 1)
            q_sum = np.trunc(q_meta[i, :, 2]).reshape(-1, 1)
            pairs = (qa * da) * integer + ((qa * db) * q_sum + ((qb * da) * d_sum + (qb * np.float32(w)) * db))
        out[i] = pairs.reshape(-1, n_d, d_tokens).max(axis=2).sum(axis=0)
    return out


def quantised_side(np, rng, items, tokens, code_bytes):
    codes = rng.integers(0, 256, (items, tokens, code_bytes), dtype=np.uint8)
    meta = np.stack(
        [
            rng.uniform(0.001, 0.05, (items, tokens)),
            rng.uniform(-1, 1, (items, tokens)),
            codes.sum(axis=2),
            np.zeros((items, tokens)),
        ],
        axis=-1,
    ).astype(np.float32)
    return codes, meta


def child(args):
    """Times every scorer on this process's path; prints one JSON record per scorer."""
    import numpy as np

    import quarnel_solver as qs

    try:
        from quarnel import _native
        chosen = _native.simd_path()
    except ImportError:  # a build without the quarnel package: the path requested
        chosen = "sse2" if os.environ.get("QUARNEL_SOLVER_SIMD", "").lower() == "sse2" else "best"
    rng = np.random.default_rng(0)
    token_pairs = args.queries * args.query_tokens * args.docs * args.doc_tokens

    def measure(name, module_fn, numpy_fn, torch_fn=None):
        close = np.allclose(module_fn(), numpy_fn(), rtol=1e-3, atol=1e-2)
        ours = median_seconds(module_fn, args.repeats)
        theirs = median_seconds(numpy_fn, args.repeats)
        torch_time = median_seconds(torch_fn, args.repeats) if torch_fn else None
        print(json.dumps({"kernel": name, "module": ours, "numpy": theirs, "torch": torch_time, "pairs": token_pairs,
                          "close": close, "chosen": chosen}))

    q = rng.standard_normal((args.queries, args.query_tokens, args.dim)).astype(np.float32)
    d = rng.standard_normal((args.docs, args.doc_tokens, args.dim)).astype(np.float32)
    torch_fn = None
    try:
        import torch

        torch.set_num_threads(args.threads)
        tq, td = torch.from_numpy(q), torch.from_numpy(d)
        torch_fn = lambda: torch_f32(torch, tq, td)  # noqa: E731
    except ImportError:
        pass
    measure("f32", lambda: qs.compute_max_sim_batch_f32(q, d), lambda: numpy_f32(np, q, d), torch_fn)
    del d

    padded = 1 << max(0, (args.dim - 1).bit_length())
    for num_bits in (8, 4, 1):
        code_bytes = padded * num_bits // 8
        q_codes, q_meta = quantised_side(np, rng, args.queries, args.query_tokens, code_bytes)
        d_codes, d_meta = quantised_side(np, rng, args.docs, args.doc_tokens, code_bytes)
        measure(
            f"{num_bits}-bit",
            lambda: qs.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, args.dim),
            lambda: numpy_quantised(np, q_codes, q_meta, d_codes, d_meta, num_bits, padded),
        )


def ragged_child(args):
    """Times variable-length scoring; prints one JSON record per figure."""
    import threading

    import numpy as np

    import quarnel
    import quarnel_solver as qs

    rng = np.random.default_rng(1)
    lengths = rng.integers(20, 301, args.docs)
    docs = [rng.standard_normal((int(n), args.dim)).astype(np.float32) for n in lengths]
    padded = np.zeros((args.docs, int(lengths.max()), args.dim), np.float32)
    for j, doc in enumerate(docs):
        padded[j, : len(doc)] = doc
    q = rng.standard_normal((args.queries, args.query_tokens, args.dim)).astype(np.float32)
    real_pairs = args.queries * args.query_tokens * int(lengths.sum())
    ours = median_seconds(lambda: quarnel.maxsim(q, docs), args.repeats)
    theirs = median_seconds(lambda: qs.compute_max_sim_batch_f32(q, padded), args.repeats)
    print(json.dumps({"figure": "ragged", "module": ours, "padded": theirs, "pairs": real_pairs}))

    def four_at_once():
        workers = [threading.Thread(target=quarnel.maxsim, args=(q, docs)) for _ in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    def four_in_turn():
        for _ in range(4):
            quarnel.maxsim(q, docs)

    together = median_seconds(four_at_once, args.repeats)
    in_turn = median_seconds(four_in_turn, args.repeats)
    print(json.dumps({"figure": "threads", "together": together, "in_turn": in_turn, "pairs": 4 * real_pairs}))


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            return next((set(line.split(":", 1)[1].split()) for line in info if line.startswith("flags")), set())
    except OSError:
        return set()


def vector_paths():
    """The paths this CPU has, by the flags the module's own detection needs."""
    flags = cpu_flags()
    paths = ["sse2"]
    if {"avx2", "popcnt"} <= flags:
        paths.append("avx2")
        if {"avx512f", "avx512bw", "avx512vl"} <= flags:
            paths.append("avx512")
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=16)
    parser.add_argument("--query-tokens", type=int, default=32)
    parser.add_argument("--docs", type=int, default=1000)
    parser.add_argument("--doc-tokens", type=int, default=128)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--threads", type=int, default=2, help="worker pool and BLAS threads")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--fastest", action="store_true", help="report the fastest repeat instead of the median")
    parser.add_argument("--no-ragged", action="store_true", help="skip the variable-length table")
    parser.add_argument("--timer", help="quarnel_kernel_timer, for the clock (default: the newest under build/)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global SUMMARY
    SUMMARY = min if args.fastest else statistics.median
    if args.child:
        child(args)
        if not args.no_ragged:
            ragged_child(args)
        return

    timer = args.timer or max(glob.glob("build/*/quarnel_kernel_timer"), key=os.path.getmtime, default=None)
    clocks = [measure_clock_ghz(timer)]
    print(f"Q={args.queries} x {args.query_tokens} tokens, N={args.docs} x {args.doc_tokens} tokens, D={args.dim}; "
          f"{args.threads} threads each side, {'fastest' if args.fastest else 'median'} of {args.repeats}")
    results = {}
    extra = {}
    for path in vector_paths():
        env = dict(os.environ, QUARNEL_SOLVER_SIMD=path, RAYON_NUM_THREADS=str(args.threads),
                   OPENBLAS_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads))
        output = subprocess.run([sys.executable, __file__, "--child", *sys.argv[1:]], env=env, check=True,
                                capture_output=True, text=True).stdout
        records = [json.loads(line) for line in output.splitlines()]
        extra[path] = [r for r in records if "figure" in r]
        results[path] = [r for r in records if "kernel" in r]
    clocks.append(measure_clock_ghz(timer))
    # The higher of the two readings: other work on the machine can only lower it.
    clock = max(clocks) if timer else None
    print("clock: " + (f"{clock:.2f} GHz (dependent additions, {timer})" if clock else "not measured (no kernel timer)"))
    print(f"{'path':<6} {'kernel':<6} {'module ms':>10} {'numpy ms':>10} {'numpy/module':>13} {'Gpairs/s':>9} "
          f"{'x own f32':>10}" + (f" {'of limit':>9}" if clock else "") + "  peers")
    for path, records in results.items():
        f32_seconds = records[0]["module"]
        for r in records:
            line = (f"{r['chosen']:<6} {r['kernel']:<6} {r['module'] * 1e3:>10.1f} {r['numpy'] * 1e3:>10.1f} "
                    f"{r['numpy'] / r['module']:>13.2f} {r['pairs'] / r['module'] / 1e9:>9.3f} "
                    f"{f32_seconds / r['module']:>10.2f}")
            if clock:
                work = r["pairs"] * work_per_pair(r["kernel"], args.dim)
                limit = PEAK[r["kernel"]] * clock * 1e9 * args.threads
                line += f" {work / r['module'] / limit:>9.0%}"
            if r.get("torch"):
                line += f"  PyTorch {r['torch'] * 1e3:.1f} ms ({r['torch'] / r['module']:.2f}x)"
            print(line + ("" if r["close"] else "  (results differ!)"))
    if args.no_ragged:
        return
    print(f"\nDocument lengths 20-300 tokens (N={args.docs}), Q={args.queries} x {args.query_tokens}; "
          f"Gpairs/s counts real token pairs")
    print(f"{'path':<6} {'quarnel.maxsim ms':>18} {'padded uniform ms':>18} {'speed-up':>9} {'Gpairs/s':>9} "
          f"{'4 threads ms':>13} {'4 in turn ms':>13} {'speed-up':>9} {'Gpairs/s':>9}" + (f" {'of limit':>9}" if clock else ""))
    for path, (ragged, threads) in extra.items():
        print(f"{path:<6} {ragged['module'] * 1e3:>18.1f} {ragged['padded'] * 1e3:>18.1f} "
              f"{ragged['padded'] / ragged['module']:>9.2f} {ragged['pairs'] / ragged['module'] / 1e9:>9.3f} "
              f"{threads['together'] * 1e3:>13.1f} {threads['in_turn'] * 1e3:>13.1f} "
              f"{threads['in_turn'] / threads['together']:>9.2f} {threads['pairs'] / threads['together'] / 1e9:>9.3f}"
              + (f" {ragged['pairs'] * args.dim / ragged['module'] / (PEAK['f32'] * clock * 1e9 * args.threads):>9.0%}"
                 if clock else ""))


if __name__ == "__main__":
    main()
