"""Cosines between chunks and the query, with reproducible bits.

Vectors are scaled to unit length in double precision and rounded to float32
once; the dot products then run on the module's own dot kernel (a MaxSim of
one token against one token is a plain dot product), whose summation order
is fixed, so the cosines, and the selection that depends on them, do not
change with the BLAS NumPy happens to be linked against.
"""

from __future__ import annotations

import numpy as np
import quarnel_solver
from numpy.typing import NDArray

from .defaults import DEFAULTS, CosineMeasure


def unit_rows(matrix: NDArray[np.float64]) -> NDArray[np.float32]:
    """Each row scaled to length 1; an all-zero row stays zero."""
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix))
    # Rows whose squares overflow or underflow are divided by their largest
    # entry first, which keeps the squares in range for any finite input.
    extreme = ~(norms > 1e-150) | ~np.isfinite(norms)
    if extreme.any():
        rows = matrix[extreme]
        peak = np.max(np.abs(rows), axis=1, keepdims=True) if rows.shape[1] else np.ones((len(rows), 1))
        peak[peak == 0.0] = 1.0
        matrix = matrix.copy()
        matrix[extreme] = rows / peak
        norms[extreme] = np.sqrt(np.einsum("ij,ij->i", matrix[extreme], matrix[extreme]))
        norms[norms == 0.0] = 1.0
    return np.asarray(matrix / norms[:, None], dtype=np.float32)


def dot_products(a: NDArray[np.float32], b: NDArray[np.float32]) -> NDArray[np.float32]:
    """The (len(a), len(b)) matrix of row dot products."""
    if len(a) == 0 or len(b) == 0:
        return np.zeros((len(a), len(b)), dtype=np.float32)
    return quarnel_solver.compute_max_sim_batch_f32(a[:, None, :], b[:, None, :])


def relevance_scores(
    cosines: NDArray[np.float32], measure: str, costs: NDArray[np.uint32] | None = None
) -> NDArray[np.float32]:
    """What the solver's relevance term counts, from the pool's cosines with the query.

    With `DEFAULTS.relevance_per_token` a measured value ("above_mean",
    "above_min") is scaled by the chunk's tokens over the pool's mean tokens,
    so relevance counts per token spent; "raw" is the plain cosine per chunk.
    """
    if len(cosines) == 0 or measure == "raw":
        return cosines
    values = cosines
    if measure == "above_mean":
        values = cosines - np.float32(cosines.mean(dtype=np.float64))
    elif measure == "above_min":
        values = cosines - cosines.min()
    if DEFAULTS.relevance_per_token and costs is not None:
        mean_cost = float(costs.mean(dtype=np.float64))
        if mean_cost > 0.0:
            values = values * (costs / mean_cost).astype(np.float32)
    return values


def blend_lexical(cosines: NDArray[np.float32], lexical: NDArray[np.float32] | None) -> NDArray[np.float32]:
    """The cosines plus `DEFAULTS.lexical_relevance` times each chunk's lexical match, when there is one."""
    weight = DEFAULTS.lexical_relevance
    if lexical is None or weight == 0.0:
        return cosines
    blended: NDArray[np.float32] = cosines + np.float32(weight) * lexical
    return blended


def redundancy_matrix(cosines: NDArray[np.float32], measure: CosineMeasure) -> NDArray[np.float32]:
    """What the solver's redundancy penalty is charged on, from the pool's cosines."""
    if measure == "raw" or len(cosines) < 2:
        return cosines
    n = len(cosines)
    off_diagonal = float(cosines.sum(dtype=np.float64) - np.trace(cosines, dtype=np.float64))
    mean = np.float32(off_diagonal / (n * (n - 1)))
    above: NDArray[np.float32] = np.maximum(cosines - mean, np.float32(0.0))
    return above
