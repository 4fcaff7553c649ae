"""MaxSim throughput: the module's scorers next to the same scores computed with NumPy.

Usage: PYTHONPATH=<build dir> python bench/bench_maxsim.py [--queries 16] [--docs 1000] [--repeats 5]
Prints, per path, the median time of each implementation, scores (query-document pairs) per second,
and the ratio module / NumPy in throughput (above 1: the module is faster).
"""
import argparse
import statistics
import time

import numpy as np

import quarnel_solver as qs


def median_seconds(fn, repeats):
    fn()  # warm-up: first-touch allocations, thread pool start
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def numpy_f32(q, d):
    """Per query: all token dot products by matmul, best per document, summed over query tokens."""
    n, doc_tokens, dim = d.shape
    flat = d.reshape(n * doc_tokens, dim)
    out = np.empty((q.shape[0], n), np.float32)
    for i in range(q.shape[0]):
        sims = (q[i] @ flat.T).reshape(q.shape[1], n, doc_tokens)
        out[i] = sims.max(axis=2).sum(axis=0)
    return out


def integer_products(q_codes, d_codes, num_bits):
    """Integer code products of all token pairs as float32 matrices (exact: sums stay below 2^24)."""
    q = q_codes.reshape(-1, q_codes.shape[2])
    d = d_codes.reshape(-1, d_codes.shape[2])[:, : q.shape[1]]
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


def numpy_quantised(q_codes, q_meta, d_codes, d_meta, num_bits, w):
    n_q, q_tokens = q_codes.shape[:2]
    n_d, d_tokens = d_codes.shape[:2]
    integer = integer_products(q_codes, d_codes, num_bits)  # (Q*Tq, N*Td)
    if num_bits == 1:
        pairs = np.float32(w) - np.float32(2) * integer
    else:
        qa, qb = q_meta[:, :, 0].reshape(-1, 1), q_meta[:, :, 1].reshape(-1, 1)
        q_sum = np.trunc(q_meta[:, :, 2]).reshape(-1, 1)
        da, db = d_meta[:, :, 0].reshape(1, -1), d_meta[:, :, 1].reshape(1, -1)
        d_sum = np.trunc(d_meta[:, :, 2]).reshape(1, -1)
        pairs = (qa * da) * integer + ((qa * db) * q_sum + ((qb * da) * d_sum + (qb * np.float32(w)) * db))
    pairs = pairs.reshape(n_q, q_tokens, n_d, d_tokens)
    return pairs.max(axis=3).sum(axis=1)


def quantised_side(rng, items, tokens, code_bytes):
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=16)
    parser.add_argument("--query-tokens", type=int, default=32)
    parser.add_argument("--docs", type=int, default=1000)
    parser.add_argument("--doc-tokens", type=int, default=128)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    shape = (args.queries, args.query_tokens, args.docs, args.doc_tokens, args.dim)
    pairs = args.queries * args.docs
    print(f"Q={shape[0]} x {shape[1]} tokens, N={shape[2]} x {shape[3]} tokens, D={shape[4]}, "
          f"{args.repeats} repeats, median; worker threads from the environment")
    print(f"{'path':<8} {'module s':>10} {'numpy s':>10} {'module scores/s':>16} {'numpy scores/s':>15} {'ratio':>6}")

    def report(name, module_fn, numpy_fn):
        module_result, numpy_result = module_fn(), numpy_fn()
        close = np.allclose(module_result, numpy_result, rtol=1e-3, atol=1e-2)
        ours, theirs = median_seconds(module_fn, args.repeats), median_seconds(numpy_fn, args.repeats)
        print(f"{name:<8} {ours:>10.4f} {theirs:>10.4f} {pairs / ours:>16.0f} {pairs / theirs:>15.0f} "
              f"{theirs / ours:>6.2f}{'' if close else '  (results differ!)'}")

    q = rng.standard_normal((args.queries, args.query_tokens, args.dim)).astype(np.float32)
    d = rng.standard_normal((args.docs, args.doc_tokens, args.dim)).astype(np.float32)
    report("f32", lambda: qs.compute_max_sim_batch_f32(q, d), lambda: numpy_f32(q, d))
    del d

    padded = 1 << max(0, (args.dim - 1).bit_length())
    for num_bits in (8, 4, 1):
        code_bytes = padded * num_bits // 8
        q_codes, q_meta = quantised_side(rng, args.queries, args.query_tokens, code_bytes)
        d_codes, d_meta = quantised_side(rng, args.docs, args.doc_tokens, code_bytes)
        report(
            f"{num_bits}-bit",
            lambda: qs.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, args.dim),
            lambda: numpy_quantised(q_codes, q_meta, d_codes, d_meta, num_bits, padded),
        )


if __name__ == "__main__":
    main()
