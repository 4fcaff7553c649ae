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
from .defaults import CosineMeasure


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


def relevance_scores(cosines: NDArray[np.float32], measure: CosineMeasure) -> NDArray[np.float32]:
    """What the solver's relevance term counts, from the pool's cosines with the query."""
    if measure == "raw" or len(cosines) == 0:
        return cosines
    centred: NDArray[np.float32] = cosines - np.float32(cosines.mean(dtype=np.float64))
    return centred


def redundancy_matrix(cosines: NDArray[np.float32], measure: CosineMeasure) -> NDArray[np.float32]:
    """What the solver's redundancy penalty is charged on, from the pool's cosines."""
    if measure == "raw" or len(cosines) < 2:
        return cosines
    n = len(cosines)
    off_diagonal = float(cosines.sum(dtype=np.float64) - np.trace(cosines, dtype=np.float64))
    mean = np.float32(off_diagonal / (n * (n - 1)))
    above: NDArray[np.float32] = np.maximum(cosines - mean, np.float32(0.0))
    return above
