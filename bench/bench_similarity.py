"""Similarity matrix throughput: the backend's kernel next to NumPy normalising and computing u @ u.T.

Usage: python bench/bench_similarity.py [--timer build/dev/quarnel_kernel_timer] [--sizes 500 2000 5000]
       [--dim 384] [--threads 2] [--repeats 5] [--fastest]

The backend's similarity matrix (what every solve without a precomputed matrix computes) has no Python
entry point, so it is timed by the C++ kernel timer built with the tests (`scripts/dev_build.sh`), once per
vector path; NumPy runs on the same shapes in this process. Both sides use --threads threads (worker
pool and BLAS). The table gives median wall times, NumPy / module (above 1: the module is faster) and
entries per second.
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


def cpu_has_avx2():
    try:
        with open("/proc/cpuinfo") as info:
            return any(line.startswith("flags") and " avx2" in line for line in info)
    except OSError:
        return False


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
    paths = ["sse2"] + (["avx2"] if cpu_has_avx2() else [])

    # The fastest repeat is the figure other work on a shared machine can only raise.
    summary = min if args.fastest else statistics.median
    print(f"d={args.dim}; {args.threads} threads each side, {'fastest' if args.fastest else 'median'} of "
          f"{args.repeats}; timer {timer}")
    print(f"{'n':>5} {'path':<5} {'module ms':>10} {'numpy ms':>10} {'numpy/module':>13} {'Gentries/s':>11}")
    rng = np.random.default_rng(0)
    for n in args.sizes:
        x = rng.standard_normal((n, args.dim)).astype(np.float32)

        def numpy_matrix():
            norms = np.sqrt(np.einsum("ij,ij->i", x, x))
            u = x / np.where(norms > 1e-3, norms, np.inf)[:, None]
            return u @ u.T

        numpy_matrix()
        theirs = summary([seconds(numpy_matrix) for _ in range(args.repeats)])
        for path in paths:
            command = [timer, "similarity", str(n), str(args.dim), str(args.repeats), path]
            time.sleep(BLAS_SPIN_SECONDS)
            fields = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout.split()
            # The timer prints the median wall time, the least CPU time, a checksum and the least wall time.
            ours = float(fields[3 if args.fastest else 0]) / 1e3
            print(f"{n:>5} {path:<5} {ours * 1e3:>10.1f} {theirs * 1e3:>10.1f} {theirs / ours:>13.2f} "
                  f"{n * n / ours / 1e9:>11.3f}")

if __name__ == "__main__":
    main()
