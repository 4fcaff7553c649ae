"""The module quarnel_solver used directly, fully typed (checked with mypy --strict).

Every public name of the module appears once, so the check proves that its stubs are found and
complete wherever the package is installed. Run it with ``python examples/typed_module.py``.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from quarnel_solver import (
    PanicException,
    SolverConfig,
    SolverConstraints,
    SolverOutput,
    TabuSearchSolver,
    compute_max_sim_batch,
    compute_max_sim_batch_f32,
    cuda_available,
    gpu_available,
    version,
)


def unit_rows(x: NDArray[np.float32]) -> NDArray[np.float32]:
    norms = np.linalg.norm(x, axis=-1, keepdims=True)
    return np.asarray(x / norms, dtype=np.float32)


def select(rng: np.random.Generator, n: int = 40, dim: int = 32) -> SolverOutput:
    embeddings = unit_rows(rng.standard_normal((n, dim), dtype=np.float32))
    query = unit_rows(embeddings[0] + embeddings[1])
    scores = rng.random((4, n), dtype=np.float32)
    solver = TabuSearchSolver(SolverConfig(iterations=30, random_seed=7))
    return solver.solve_numpy(
        embeddings, query,
        rng.integers(50, 200, n).astype(np.uint32),
        scores[0], scores[1], scores[2], scores[3],
        np.zeros(n, np.uint8), np.arange(n, dtype=np.int32) % 5,
        SolverConstraints(max_tokens=600, max_chunks=6, max_per_cluster=2),
    )


def chunk_solve(rng: np.random.Generator) -> list[int]:
    chunks = [
        {"chunk_id": f"c{i}", "embedding": rng.standard_normal(8).astype(np.float32), "token_count": 40}
        for i in range(6)
    ]
    output = TabuSearchSolver().solve(chunks, rng.standard_normal(8).astype(np.float32))
    return output.selected_indices


def maxsim(rng: np.random.Generator) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    q = rng.standard_normal((2, 4, 16), dtype=np.float32)
    d = rng.standard_normal((3, 9, 16), dtype=np.float32)
    bits = np.packbits(d > 0, axis=2)
    meta = np.zeros((3, 9, 4), np.float32)
    return compute_max_sim_batch_f32(q, d), compute_max_sim_batch(bits[:2, :4], meta[:2, :4], bits, meta, 1, 16)


def unsupported_bits() -> str:
    codes = np.zeros((1, 1, 2), np.uint8)
    meta = np.zeros((1, 1, 4), np.float32)
    try:
        compute_max_sim_batch(codes, meta, codes, meta, 3, 16)
    except PanicException as error:  # a BaseException: catch it by name
        return str(error)
    return "no error"


def main() -> None:
    rng = np.random.default_rng(1)
    print(f"quarnel_solver {version()}, GPU {gpu_available()}, CUDA {cuda_available()}")
    output = select(rng)
    print(output.selected_indices, output.to_dict()["total_tokens"], output.constraints_satisfied)
    print("chunks:", chunk_solve(rng))
    dense, hamming = maxsim(rng)
    print(dense.shape, hamming[0])
    print("num_bits 3:", unsupported_bits())
    assert output.total_tokens <= 600 and dense.shape == (2, 3)


if __name__ == "__main__":
    main()
