"""MaxSim and similarity results depend neither on the worker pool size nor on the vector path."""
import os
import subprocess
import sys

import pytest

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
# A solve without a similarity matrix computes one from the embeddings.
n = 150
out = qs.TabuSearchSolver(qs.SolverConfig()).solve_numpy(
    embeddings=rng.standard_normal((n, 45), dtype=np.float32), query_embedding=rng.standard_normal(45, dtype=np.float32),
    token_costs=rng.integers(50, 400, n).astype(np.uint32), density_scores=rng.random(n, dtype=np.float32),
    centrality_scores=rng.random(n, dtype=np.float32), recency_scores=rng.random(n, dtype=np.float32),
    auxiliary_scores=np.zeros(n, np.float32), roles=rng.integers(0, 8, n).astype(np.uint8),
    cluster_ids=rng.integers(-1, 5, n).astype(np.int32))
digest.update(repr((out.selected_indices, out.objective_score, out.redundancy_penalty)).encode())
from quarnel import _native
print(_native.simd_path(), digest.hexdigest())
"""


def run_with(**env):
    env = {k: v for k, v in os.environ.items() if k != "QUARNEL_SOLVER_SIMD"} | env
    return subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True).stdout


def reference():
    path, digest = run_with(RAYON_NUM_THREADS="1", QUARNEL_SOLVER_SIMD="sse2").split()
    assert path == "sse2"
    return digest


def test_thread_counts_give_identical_bytes():
    assert run_with(RAYON_NUM_THREADS="2", QUARNEL_SOLVER_SIMD="sse2").split() == ["sse2", reference()]


@pytest.mark.parametrize("path", ["avx2", "avx512"])
def test_every_vector_path_gives_the_baseline_bytes(path):
    chosen, digest = run_with(RAYON_NUM_THREADS="3", QUARNEL_SOLVER_SIMD=path).split()
    if chosen != path:
        pytest.skip(f"this CPU lacks the {path} path (it runs {chosen})")
    assert digest == reference()
