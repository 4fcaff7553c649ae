"""Similarity matrix throughput: the backend's kernel next to NumPy normalising and computing u @ u.T.

Usage: python bench/bench_similarity.py [--timer build/dev/quarnel_kernel_timer] [--sizes 500 2000 5000]
       [--dim 384] [--threads 2] [--repeats 5] [--fastest]

The backend's similarity matrix (what every solve without a precomputed matrix computes) has no Python
entry point, so it is timed by the C++ kernel timer built with the tests (`scripts/dev_build.sh`), once per
vector path; NumPy runs on the same shapes in this process. Both sides use --threads threads (worker
pool and BLAS). The table gives median wall times, NumPy / module (above 1: the module is faster),
entries per second and the fraction of this CPU's f32 limit the module reaches: n (n + 1) / 2 dot products
of d multiply-adds (each pair is computed once and mirrored) over the time, the threads and 16 multiply-adds
a cycle per core (no FMA), at the clock a chain of dependent additions shows in this run (the timer's
`clock`). When PyTorch is installed, its CPU `u @ u.T` is timed as a further peer.
"""
import argparse
import glob
import os
import statistics
import subprocess
import time


# OpenBLAS's threads spin for a while after each call before they sleep; on a machine with as many
# cores as threads they would take cores from the module's workers timed next.
BLAS_SPIN_SECONDS = 0.3


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def vector_paths():
    """The paths this CPU has, by the flags the module's own detection needs."""
    try:
        with open("/proc/cpuinfo") as info:
            flags = next((set(line.split(":", 1)[1].split()) for line in info if line.startswith("flags")), set())
    except OSError:
        flags = set()
    paths = ["sse2"]
    if {"avx2", "popcnt"} <= flags:
        paths.append("avx2")
        if {"avx512f", "avx512bw", "avx512vl"} <= flags:
            paths.append("avx512")
    return paths


def clock_ghz(timer):
    return float(subprocess.run([timer, "clock"], check=True, capture_output=True, text=True).stdout.split()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timer", help="path of quarnel_kernel_timer (default: the newest under build/)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[500, 2000, 5000])
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--fastest", action="store_true", help="report the fastest repeat instead of the median")
    args = parser.parse_args()
    os.environ["OPENBLAS_NUM_THREADS"] = os.environ["OMP_NUM_THREADS"] = str(args.threads)
    import numpy as np  # after the BLAS thread count is set

    timer = args.timer or max(glob.glob("build/*/quarnel_kernel_timer"), key=os.path.getmtime, default=None)
    if not timer:
        raise SystemExit("no kernel timer found: build one with scripts/dev_build.sh or pass --timer")
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
    paths = vector_paths()
    torch = None
    try:
        import torch

        torch.set_num_threads(args.threads)
    except ImportError:
        pass
    clocks = [clock_ghz(timer)]
    rows = []

    # The fastest repeat is the figure other work on a shared machine can only raise.
    summary = min if args.fastest else statistics.median
    print(f"d={args.dim}; {args.threads} threads each side, {'fastest' if args.fastest else 'median'} of "
          f"{args.repeats}; timer {timer}")
    rng = np.random.default_rng(0)
    for n in args.sizes:
        x = rng.standard_normal((n, args.dim)).astype(np.float32)

        def numpy_matrix():
            norms = np.sqrt(np.einsum("ij,ij->i", x, x))
            u = x / np.where(norms > 1e-3, norms, np.inf)[:, None]
            return u @ u.T

        numpy_matrix()
        theirs = summary([seconds(numpy_matrix) for _ in range(args.repeats)])
        peer = None
        if torch is not None:
            tx = torch.from_numpy(x)

            def torch_matrix():
                u = tx / tx.norm(dim=1, keepdim=True).clamp_min(1e-3)
                return u @ u.T

            torch_matrix()
            peer = summary([seconds(torch_matrix) for _ in range(args.repeats)])
        for path in paths:
            command = [timer, "similarity", str(n), str(args.dim), str(args.repeats), path]
            time.sleep(BLAS_SPIN_SECONDS)
            fields = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout.split()
            # The timer prints the median wall time, the least CPU time, a checksum and the least wall time.
            ours = float(fields[3 if args.fastest else 0]) / 1e3
            rows.append((n, path, ours, theirs, peer))
    # The higher of the two readings: other work on the machine can only lower it.
    clock = max(clocks + [clock_ghz(timer)])
    print(f"clock: {clock:.2f} GHz (dependent additions)")
    print(f"{'n':>5} {'path':<6} {'module ms':>10} {'numpy ms':>10} {'numpy/module':>13} {'Gentries/s':>11} "
          f"{'of limit':>9}  peers")
    for n, path, ours, theirs, peer in rows:
        limit = 16 * clock * 1e9 * args.threads
        print(f"{n:>5} {path:<6} {ours * 1e3:>10.1f} {theirs * 1e3:>10.1f} {theirs / ours:>13.2f} "
              f"{n * n / ours / 1e9:>11.3f} {n * (n + 1) / 2 * args.dim / ours / limit:>9.0%}"
              + (f"  PyTorch {peer * 1e3:.1f} ms ({peer / ours:.2f}x)" if peer else ""))

if __name__ == "__main__":
    main()
