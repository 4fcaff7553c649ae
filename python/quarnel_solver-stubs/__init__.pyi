"""Type stubs for quarnel_solver."""

from collections.abc import Sequence
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "SolverConfig",
    "SolverConstraints",
    "SolverOutput",
    "TabuSearchSolver",
    "gpu_available",
    "cuda_available",
    "version",
    "compute_max_sim_batch",
    "compute_max_sim_batch_f32",
]

class PanicException(BaseException):
    """An internal precondition of the solver was violated."""

class SolverConfig:
    """Python-exposed solver configuration"""

    # Weights are stored as float32; reading one gives that value widened.
    alpha: float
    beta: float
    gamma: float
    delta: float
    epsilon: float
    mu: float
    support_secondary_discount: float
    support_quorum_bonus: float
    support_quorum_threshold: float
    support_quorum_cap: int
    lambda_: float
    iterations: int
    tabu_tenure: int
    early_stopping_patience: int
    use_gpu: bool
    random_seed: int | None
    enable_gpu_move_evaluation: bool
    enable_path_relinking: bool
    enable_destroy_repair: bool
    enable_reactive_tenure: bool
    enable_exact_window: bool
    exact_window_size: int
    exact_window_time_ms: int
    def __init__(
        self,
        alpha: float = 1.0,
        beta: float = 0.3,
        gamma: float = 0.2,
        delta: float = 0.1,
        epsilon: float = 0.0,
        mu: float = 1.0,
        support_secondary_discount: float = 0.35,
        support_quorum_bonus: float = 0.18,
        support_quorum_threshold: float = 0.55,
        support_quorum_cap: int = 4,
        lambda_: float = 0.5,
        iterations: int = 100,
        tabu_tenure: int = 10,
        early_stopping_patience: int = 20,
        use_gpu: bool = False,
        random_seed: int | None = None,
        enable_gpu_move_evaluation: bool = True,
        enable_path_relinking: bool = True,
        enable_destroy_repair: bool = True,
        enable_reactive_tenure: bool = True,
        enable_exact_window: bool = True,
        exact_window_size: int = 14,
        exact_window_time_ms: int = 25,
    ) -> None: ...

class SolverConstraints:
    """Python-exposed solver constraints"""

    max_tokens: int
    min_tokens: int
    min_chunks: int
    max_chunks: int
    max_per_cluster: int
    # must_include_roles, excluded_chunks and required_chunks are set only
    # through the constructor and cannot be read back.
    def __init__(
        self,
        max_tokens: int = 8192,
        min_tokens: int = 0,
        min_chunks: int = 1,
        max_chunks: int = 50,
        max_per_cluster: int = 3,
        must_include_roles: Sequence[str] | None = None,
        excluded_chunks: Sequence[str] | None = None,
        required_chunks: Sequence[str] | None = None,
    ) -> None: ...

class _SolverOutputDict(TypedDict):
    selected_indices: list[int]
    objective_score: float
    relevance_total: float
    density_total: float
    centrality_total: float
    recency_total: float
    auxiliary_total: float
    fulfilment_total: float
    redundancy_penalty: float
    total_tokens: int
    num_selected: int
    iterations_run: int
    best_iteration: int
    constraints_satisfied: bool
    constraint_violations: list[str]
    solve_time_ms: float
    exact_window_used: bool
    exact_window_core_size: int
    exact_window_nodes: int
    exact_window_exhaustive: bool
    exact_window_gap: float
    exact_window_fixed_in: int
    exact_window_fixed_out: int

class SolverOutput:
    """Python-exposed solver output"""

    @property
    def selected_indices(self) -> list[int]: ...
    @property
    def objective_score(self) -> float: ...
    @property
    def relevance_total(self) -> float: ...
    @property
    def density_total(self) -> float: ...
    @property
    def centrality_total(self) -> float: ...
    @property
    def recency_total(self) -> float: ...
    @property
    def auxiliary_total(self) -> float: ...
    @property
    def fulfilment_total(self) -> float: ...
    @property
    def redundancy_penalty(self) -> float: ...
    @property
    def total_tokens(self) -> int: ...
    @property
    def num_selected(self) -> int: ...
    @property
    def iterations_run(self) -> int: ...
    @property
    def best_iteration(self) -> int: ...
    @property
    def constraints_satisfied(self) -> bool: ...
    @property
    def constraint_violations(self) -> list[str]: ...
    @property
    def solve_time_ms(self) -> float: ...
    @property
    def exact_window_used(self) -> bool: ...
    @property
    def exact_window_core_size(self) -> int: ...
    @property
    def exact_window_nodes(self) -> int: ...
    @property
    def exact_window_exhaustive(self) -> bool: ...
    @property
    def exact_window_gap(self) -> float: ...
    @property
    def exact_window_fixed_in(self) -> int: ...
    @property
    def exact_window_fixed_out(self) -> int: ...
    def to_dict(self) -> _SolverOutputDict: ...

class _ChunkDict(TypedDict, total=False):
    """One candidate of TabuSearchSolver.solve; only "embedding" is required."""

    chunk_id: str
    content: str
    embedding: Sequence[float] | NDArray[np.floating[Any]]
    token_count: int
    fact_density: float
    centrality_score: float
    recency_score: float
    auxiliary_score: float
    rhetorical_role: str
    cluster_id: int

class TabuSearchSolver:
    """Python-exposed Tabu Search Solver"""

    def __init__(self, config: SolverConfig | None = None) -> None: ...
    def backend_kind(self) -> str: ...
    def solve_numpy(
        self,
        embeddings: NDArray[np.float32],
        query_embedding: NDArray[np.float32],
        token_costs: NDArray[np.uint32],
        density_scores: NDArray[np.float32],
        centrality_scores: NDArray[np.float32],
        recency_scores: NDArray[np.float32],
        auxiliary_scores: NDArray[np.float32],
        roles: NDArray[np.uint8],
        cluster_ids: NDArray[np.int32],
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve the knapsack problem from numpy arrays"""

    def solve_precomputed_numpy(
        self,
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
        fulfilment_scores: NDArray[np.float32] | None = None,
        coverage_matrix: NDArray[np.float32] | None = None,
        query_token_weights: NDArray[np.float32] | None = None,
        query_embedding: NDArray[np.float32] | None = None,
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve from precomputed relevance, redundancy, and fulfilment tensors."""

    def solve(
        self,
        chunks: list[_ChunkDict] | list[dict[str, Any]],
        query_embedding: NDArray[np.float32],
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve from a list of chunk dictionaries"""

def gpu_available() -> bool:
    """Check if GPU is available"""

def cuda_available() -> bool:
    """Check if CUDA is available"""

def version() -> str:
    """Get library version"""

def compute_max_sim_batch(
    q_codes: NDArray[np.uint8],
    q_meta: NDArray[np.float32],
    d_codes: NDArray[np.uint8],
    d_meta: NDArray[np.float32],
    num_bits: int,
    dim: int,
) -> NDArray[np.float32]:
    """MaxSim scores of quantised query token codes against document token codes, shape (Q, N)."""

def compute_max_sim_batch_f32(q_vecs: NDArray[np.float32], d_vecs: NDArray[np.float32]) -> NDArray[np.float32]:
    """MaxSim scores of float32 query token vectors (Q, Tq, D) against document token vectors (N, Td, D), shape (Q, N)."""
