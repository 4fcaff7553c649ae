# Private native entry points behind quarnel.maxsim and ContextSelector.
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
def gram(rows: NDArray[np.float32]) -> NDArray[np.float32]: ...
def cosines(rows: NDArray[np.floating], vector: NDArray[np.floating]) -> NDArray[np.float32]: ...
def unit_rows(rows: NDArray[np.floating]) -> NDArray[np.float32]: ...
def solve(
    solver: Any,
    *,
    embeddings: NDArray[np.float32],
    token_costs: NDArray[np.uint32],
    density_scores: NDArray[np.float32],
    centrality_scores: NDArray[np.float32],
    recency_scores: NDArray[np.float32],
    auxiliary_scores: NDArray[np.float32],
    roles: NDArray[np.uint8],
    cluster_ids: NDArray[np.int32],
    relevance_scores: NDArray[np.float32],
    similarity_matrix: NDArray[np.float32] | None = None,
    coverage_matrix: NDArray[np.float32] | None = None,
    query_token_weights: NDArray[np.float32] | None = None,
    constraints: Any = None,
    warm_starts: Any = (),
    exact_window_nodes: int | None = None,
) -> Any: ...
