"""Cosines between chunks and the query, with reproducible bits.

Relevance is each chunk's cosine with the query in double precision, rounded
to float32 once. For the pool's cosines, vectors are scaled to unit length
in double precision and rounded to float32 once; the dot products then run on the module's own dot kernel, whose
summation order is fixed (the same bits on every vector path and thread
count), so the cosines, and the selection that depends on them, do not
change with the BLAS NumPy happens to be linked against.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from . import _native
from .defaults import DEFAULTS, CosineMeasure


def unit_rows(matrix: NDArray[np.floating]) -> NDArray[np.float32]:
    """Each row scaled to length 1; an all-zero row stays zero."""
    return _native.unit_rows(np.ascontiguousarray(matrix))


def cosines(matrix: NDArray[np.floating], vector: NDArray[np.floating]) -> NDArray[np.float32]:
    """The cosine of each row with `vector`, in double precision, rounded once.

    One pass over the rows, without scaling them: the relevance of every
    candidate is needed, their unit rows only for the pool.
    """
    return _native.cosines(np.ascontiguousarray(matrix), vector)


def gram(units: NDArray[np.float32]) -> NDArray[np.float32]:
    """The (n, n) matrix of the rows' dot products, each pair computed once."""
    return _native.gram(units)


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
