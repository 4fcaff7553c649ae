"""MaxSim results do not depend on the size of the worker pool."""
import os
import subprocess
import sys

SCRIPT = """
import hashlib
import numpy as np
import quarnel_solver as qs
rng = np.random.default_rng(0)
q = rng.standard_normal((9, 6, 37)).astype(np.float32)
d = rng.standard_normal((11, 7, 37)).astype(np.float32)
digest = hashlib.sha256(qs.compute_max_sim_batch_f32(q, d).tobytes())
for num_bits in (1, 4, 8):
    q_codes = rng.integers(0, 256, (9, 5, 20), dtype=np.uint8)
    d_codes = rng.integers(0, 256, (11, 6, 20), dtype=np.uint8)
    q_meta = rng.uniform(-1, 1, (9, 5, 4)).astype(np.float32)
    d_meta = rng.uniform(-1, 1, (11, 6, 4)).astype(np.float32)
    digest.update(qs.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, 40).tobytes())
print(digest.hexdigest())
"""


def run_with_threads(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    return subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True).stdout


def test_one_and_two_threads_give_identical_bytes():
    assert run_with_threads(1) == run_with_threads(2)
