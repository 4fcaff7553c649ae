"""Four concurrent quarnel.maxsim calls against the same four calls in turn, one worker thread per call.

Usage: python bench/bench_concurrency.py [--repeats 3]

Prints the least ratio concurrent/sequential wall time over the repeats (other work on a shared machine
only raises it): below 1 shows the GIL released while scoring. Each call's bits are checked too.
"""
import argparse
import os
import threading
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import quarnel  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    q = [rng.standard_normal((32, 128)).astype(np.float32) for _ in range(4)]
    d = [rng.standard_normal((int(n), 128)).astype(np.float32) for n in rng.integers(20, 300, 150)]
    reference = quarnel.maxsim(q, d)

    def run(results, k):
        results[k] = quarnel.maxsim(q, d)

    def timed(concurrent):
        results = [None] * 4
        start = time.perf_counter()
        if concurrent:
            workers = [threading.Thread(target=run, args=(results, k)) for k in range(4)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
        else:
            for k in range(4):
                run(results, k)
        elapsed = time.perf_counter() - start
        assert all(np.array_equal(r.view(np.uint32), reference.view(np.uint32)) for r in results)
        return elapsed

    ratio = min(timed(True) / timed(False) for _ in range(args.repeats))
    print(f"four concurrent calls / four in turn: {ratio:.2f} (cpus {len(os.sched_getaffinity(0))})")


if __name__ == "__main__":
    main()
