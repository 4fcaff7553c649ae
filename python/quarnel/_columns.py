"""Columnar batches as the engines hand them over: a dict of NumPy arrays (Ray
Data's default), a pandas DataFrame (Dask, Spark) or a pyarrow Table.

A batch is read into one NumPy array per column and written back as the kind
it came in. Ragged columns (a list per row) are object arrays whose entries
are lists or arrays; nested lists arrive as object arrays of arrays, which
`matrix` stacks.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray


def _kind(batch: Any) -> str:
    if isinstance(batch, Mapping):
        return "dict"
    module = type(batch).__module__
    if module.startswith("pandas") and hasattr(batch, "columns"):
        return "pandas"
    if module.startswith("pyarrow") and hasattr(batch, "column_names"):
        return "arrow"
    raise TypeError(
        "batch: expected a dict of NumPy arrays, a pandas.DataFrame or a pyarrow.Table, "
        f"got {type(batch).__name__}"
    )


class Batch:
    """The columns of one batch, and how to write a result of the same kind."""

    def __init__(self, batch: Any):
        self.kind = _kind(batch)
        self.index = None
        if self.kind == "dict":
            self.columns = {str(name): _array(value) for name, value in batch.items()}
        elif self.kind == "pandas":
            self.columns = {str(name): batch[name].to_numpy() for name in batch.columns}
            self.index = batch.index
        else:
            self.columns = {name: batch.column(name).to_numpy(zero_copy_only=False) for name in batch.column_names}
        lengths = {len(value) for value in self.columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"batch: columns differ in length ({sorted(lengths)})")
        self.rows = lengths.pop() if lengths else 0

    def column(self, name: str) -> NDArray[Any]:
        value = self.columns.get(name)
        if value is None:
            raise KeyError(f"batch: no column {name!r} (columns: {', '.join(self.columns) or 'none'})")
        return value

    def optional(self, name: str) -> NDArray[Any] | None:
        return self.columns.get(name)

    def result(self, columns: dict[str, NDArray[Any]]) -> Any:
        """The columns as a batch of the kind this one came as (pandas keeps the index when rows match)."""
        if self.kind == "dict":
            return columns
        if self.kind == "pandas":
            import pandas as pd

            rows = len(next(iter(columns.values()))) if columns else 0
            index = self.index if self.index is not None and len(self.index) == rows else None
            return pd.DataFrame(columns, index=index)
        import pyarrow as pa

        return pa.table({name: value.tolist() if value.dtype == object else value for name, value in columns.items()})


def _array(value: Any) -> NDArray[Any]:
    if isinstance(value, np.ndarray):
        return value
    if isinstance(value, (list, tuple)):
        return objects(list(value))
    return np.asarray(value)


def objects(values: list[Any]) -> NDArray[Any]:
    """A 1-D object array holding each value as it is (NumPy would make equal-length lists a 2-D array)."""
    array = np.empty(len(values), dtype=object)
    for i, value in enumerate(values):
        array[i] = value
    return array


def missing(value: Any) -> bool:
    """A row's optional value that is absent: None, or the NaN pandas writes for one."""
    return value is None or (isinstance(value, float) and math.isnan(value))


def as_list(value: Any) -> list[Any]:
    """One row of a ragged column as a list of plain Python values."""
    return value.tolist() if isinstance(value, np.ndarray) else list(value)


def matrix(value: Any, width: int) -> Any:
    """One row of a ragged column of vectors as a 2-D array (no rows: shape (0, width))."""
    if isinstance(value, np.ndarray) and value.dtype != object:
        return value
    if isinstance(value, (str, bytes)):
        raise TypeError(f"a batch row holds a {type(value).__name__} where vectors belong (an object column "
                        "turned into strings on the way?)")
    rows = list(value)
    if not rows:
        return np.zeros((0, width), np.float32)
    return np.stack([np.asarray(row) for row in rows])
