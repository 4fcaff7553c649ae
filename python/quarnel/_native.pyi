# Private native entry points behind quarnel.maxsim; see that module.
from typing import Any

import numpy as np
from numpy.typing import NDArray

def simd_path() -> str: ...
def start_pool(threads: int) -> int: ...
def restore(class_name: str, state: tuple[Any, ...]) -> Any: ...
def maxsim_f32(
    queries: NDArray[np.float32],
    query_index: NDArray[np.int64],
    documents: NDArray[np.float32],
    document_index: NDArray[np.int64],
    query_of: Any = None,
    document_of: Any = None,
) -> NDArray[np.float32]: ...
def maxsim_binary(
    queries: NDArray[np.float32],
    query_index: NDArray[np.int64],
    documents: NDArray[np.uint8],
    document_index: NDArray[np.int64],
    query_of: Any = None,
    document_of: Any = None,
) -> NDArray[np.float32]: ...
def maxsim_codes(
    query_codes: NDArray[np.uint8],
    query_meta: NDArray[np.float32],
    query_index: NDArray[np.int64],
    document_codes: NDArray[np.uint8],
    document_meta: NDArray[np.float32],
    document_index: NDArray[np.int64],
    num_bits: int,
    dim: int,
    query_of: Any = None,
    document_of: Any = None,
) -> NDArray[np.float32]: ...
