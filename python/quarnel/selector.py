"""`ContextSelector`: limits and weights once, then one `select` per query."""

from __future__ import annotations

import math
import re
import time
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from types import MappingProxyType
from typing import Any, NamedTuple, TypeVar, overload

import numpy as np
import quarnel_solver
from numpy.typing import NDArray

from . import _inputs, _shortfall, _tokens, dedup
from . import coverage as coverage_module
from ._similarity import blend_lexical, cosines, gram, redundancy_matrix, relevance_scores, unit_rows
from ._solve import Limits, solve_from_fills
from .coverage import CorpusStatistics
from .defaults import DEFAULTS, CosineMeasure
from .errors import InternalError
from .selection import Selection

T = TypeVar("T")

#: Names of the scores a caller may give per chunk, with the solver's
#: weight for each, beside relevance and redundancy.
SECONDARY_SCORES = {"density": "beta", "centrality": "gamma", "recency": "delta", "auxiliary": "epsilon"}
WEIGHT_FIELDS = {"relevance": "alpha", **SECONDARY_SCORES, "fulfilment": "mu", "redundancy": "lambda_"}
# The rest of a SolverConfig: how the search runs.
SEARCH_FIELDS = (
    "support_secondary_discount", "support_quorum_bonus", "support_quorum_threshold", "support_quorum_cap",
    "iterations", "tabu_tenure", "early_stopping_patience", "use_gpu", "random_seed",
    "enable_gpu_move_evaluation", "enable_path_relinking", "enable_destroy_repair", "enable_reactive_tenure",
    "enable_exact_window", "exact_window_size", "exact_window_time_ms",
)

_REQUIRED_MISSING = re.compile(r"Required chunk missing: chunk_(\d+)")
_CLUSTER_OVERFLOW = re.compile(r"Cluster (\d+) overflow: (.*)")


class _Chunks(NamedTuple):
    """The candidates of one select call, converted."""

    units: NDArray[np.float32]  # embeddings scaled to unit length (the pool's rows; zero before pooling)
    relevance: NDArray[np.float32]  # cosine with the query
    costs: NDArray[np.uint32]
    roles: NDArray[np.uint8]
    clusters: NDArray[np.int32]
    sources: list[Hashable]  # by cluster id
    secondary: dict[str, NDArray[np.float32]]  # the scores given, by name
    coverage: NDArray[np.float32] | None  # query tokens x chunks
    token_weights: NDArray[np.float32] | None  # per query token, adding up to 1
    ids: list[Hashable]
    texts: list[str] | None
    items: list[Any]
    token_counts: list[Any] | None  # as given; texts are counted into `costs` for the pool only
    embeddings: NDArray[np.floating]  # as checked


class _Outcome(NamedTuple):
    chosen: list[int]  # positions in the pool
    objective: float
    breakdown: dict[str, float]
    total_tokens: int
    satisfied: bool
    violations: list[str]  # in the caller's terms
    solve_time_ms: float


def estimate_tokens(text: str) -> int:
    """Tokens of a text by the word-based estimate of `DEFAULTS.tokens_per_word`."""
    return math.ceil(DEFAULTS.tokens_per_word * len(text.split()))


def _measure(name: str, value: object) -> CosineMeasure:
    if value == "raw" or value == "above_mean" or (value == "above_min" and name == "relevance"):
        return value
    allowed = "'raw', 'above_mean' or 'above_min'" if name == "relevance" else "'raw' or 'above_mean'"
    raise ValueError(f"{name}: expected {allowed}, got {_inputs.describe(value)}")


def _check_query_text(query_text: object, texts: object, statistics: object) -> None:
    if query_text is not None and not isinstance(query_text, str):
        raise TypeError(f"query_text: expected a str or None, got {_inputs.describe(query_text)}")
    if query_text is not None and texts is None:
        raise ValueError("query_text: the lexical coverage is built from the chunks' texts; pass texts with query_text")
    if statistics is not None and not isinstance(statistics, CorpusStatistics):
        raise TypeError(
            f"corpus_statistics: expected a quarnel.coverage.CorpusStatistics or None, got {_inputs.describe(statistics)}"
        )


def _optional_count(name: str, value: object) -> int | None:
    return None if value is None else _inputs.token_count(name, value)


class ContextSelector:
    """Chooses the chunks that best serve a query within a token budget.

    Construct it once with the limits and weights; `select` then takes the
    query embedding and the candidates' embeddings (NumPy arrays of any real
    dtype and layout, lists, tuples or other sequences), with optional texts,
    ids, sources, roles, secondary scores and token counts per chunk.

    Relevance is the cosine of each chunk with the query. The solver sees
    the `pool_size` most relevant chunks whose relevance exceeds
    `relevance_floor`, plus whatever the constraints need (the required ids,
    the most relevant chunk of each required role, enough chunks for
    `min_chunks`); excluded ids never enter. Redundancy between two chunks is
    their cosine, or with `redundancy="above_mean"` how far it exceeds the
    pool's mean cosine; `relevance="above_mean"` measures relevance against
    the pool's mean likewise. A secondary score (density, centrality,
    recency, auxiliary) counts only in the calls that give it, and so does
    the fulfilment of query tokens, which needs a `coverage` matrix.

    `weights` maps relevance, density, centrality, recency, auxiliary,
    fulfilment and redundancy to their weights; missing keys take the defaults
    (`quarnel.defaults.DEFAULTS`), or the weights of `config` when one is
    given. `config`, a `quarnel_solver.SolverConfig`, sets how the search
    runs; without one, the search's exact window stops after
    `DEFAULTS.exact_window_nodes` nodes instead of on the clock, so that a
    select returns the same result whatever the machine load and thread
    count. The search also starts from the top-k fill (the most relevant
    pooled chunks that fit), so the result never scores below it. Pooled
    chunks are priced by `token_counts`, else by `token_counter`, a callable
    taking a text or a tokenizer whose `encode(text)` gives its tokens
    (`tokenizers.Tokenizer`, tiktoken), else by a word-based estimate of
    their text; chunks outside the pool are not counted. `strict=True` turns
    the warning for a selection that falls short into a
    `quarnel.SelectionError`.

    A selector never changes after construction; one may serve many threads.
    """

    def __init__(
        self,
        token_budget: int = DEFAULTS.token_budget,
        *,
        max_chunks: int | None = DEFAULTS.max_chunks,
        min_chunks: int = DEFAULTS.min_chunks,
        min_tokens: int = 0,
        per_source: int | None = DEFAULTS.per_source,
        must_include_roles: Iterable[str] = (),
        required_ids: Iterable[Hashable] = (),
        excluded_ids: Iterable[Hashable] = (),
        weights: Mapping[str, float] | None = None,
        pool_size: int | None = DEFAULTS.pool_size,
        relevance_floor: float | None = DEFAULTS.relevance_floor,
        relevance: CosineMeasure = DEFAULTS.relevance,
        redundancy: CosineMeasure = DEFAULTS.redundancy,
        token_counter: Callable[[str], int] | Any | None = None,
        config: quarnel_solver.SolverConfig | None = None,
        strict: bool = False,
    ) -> None:
        self.token_budget: int = _inputs.token_budget(token_budget)
        self.max_chunks = _optional_count("max_chunks", max_chunks)
        self.min_chunks: int = _inputs.token_count("min_chunks", min_chunks)
        self.min_tokens: int = _inputs.token_count("min_tokens", min_tokens)
        self.per_source = _optional_count("per_source", per_source)
        self.must_include_roles = _inputs.required_role_names(must_include_roles)
        self.required_ids = _inputs.id_tuple("required_ids", required_ids)
        self.excluded_ids = frozenset(_inputs.id_tuple("excluded_ids", excluded_ids))
        self.pool_size = _optional_count("pool_size", pool_size)
        if self.pool_size == 0:
            raise ValueError("pool_size: expected a positive int or None, got int 0")
        self.relevance_floor = (
            None if relevance_floor is None else _inputs.finite_number("relevance_floor", relevance_floor)
        )
        self.relevance: CosineMeasure = _measure("relevance", relevance)
        self.redundancy: CosineMeasure = _measure("redundancy", redundancy)
        self.token_counter: Callable[[str], int] = _tokens.token_counter(token_counter) or estimate_tokens
        self.strict = bool(strict)
        if config is not None and not isinstance(config, quarnel_solver.SolverConfig):
            raise TypeError(f"config: expected a quarnel_solver.SolverConfig or None, got {_inputs.describe(config)}")
        self.weights: Mapping[str, float] = MappingProxyType(self._weights(weights, config))
        search = config or quarnel_solver.SolverConfig()
        self._search: dict[str, Any] = {name: getattr(search, name) for name in SEARCH_FIELDS}
        self._solvers: dict[frozenset[str], quarnel_solver.TabuSearchSolver] = {}
        # The default configuration bounds the exact window by nodes, so that
        # a select gives the same result whatever the machine load; a given
        # configuration keeps its exact_window_time_ms.
        self._exact_window_nodes = DEFAULTS.exact_window_nodes if config is None else None
        self._frozen = True

    def __setattr__(self, name: str, value: Any) -> None:
        # The solvers cached per score combination hold the weights: a
        # selector that changed after them would solve with stale values.
        if getattr(self, "_frozen", False):
            raise AttributeError(f"ContextSelector is immutable; make a new one to change {name}")
        super().__setattr__(name, value)

    def __reduce__(self) -> tuple[Callable[[dict[str, Any]], ContextSelector], tuple[dict[str, Any]]]:
        # Plain data only: the cached native solvers are rebuilt on demand.
        state = {name: value for name, value in self.__dict__.items() if name != "_solvers"}
        state["weights"] = dict(self.weights)
        return _restore, (state,)

    @staticmethod
    def _weights(weights: Mapping[str, float] | None, config: quarnel_solver.SolverConfig | None) -> dict[str, float]:
        if config is None:
            resolved = dict(DEFAULTS.weights)
        else:
            resolved = {key: getattr(config, field) for key, field in WEIGHT_FIELDS.items()}
        if weights is None:
            return resolved
        if not isinstance(weights, Mapping):
            raise TypeError(f"weights: expected a mapping of weight names to numbers, got {_inputs.describe(weights)}")
        for key, value in list(weights.items()):  # a value's __float__ may change the mapping
            if key not in WEIGHT_FIELDS:
                raise ValueError(f"weights: unknown key {key!r}; expected {', '.join(WEIGHT_FIELDS)}")
            resolved[key] = _inputs.float32_number(f"weights[{key!r}]", value)
        return resolved

    def _solver(self, given_scores: frozenset[str]) -> quarnel_solver.TabuSearchSolver:
        """The solver whose secondary weights are on for exactly the given scores."""
        solver = self._solvers.get(given_scores)
        if solver is None:
            weights: dict[str, Any] = {
                field: self.weights[key] if key in given_scores or key not in SECONDARY_SCORES else 0.0
                for key, field in WEIGHT_FIELDS.items()
            }
            solver = quarnel_solver.TabuSearchSolver(quarnel_solver.SolverConfig(**weights, **self._search))
            solver = self._solvers.setdefault(given_scores, solver)
        return solver

    @overload
    def select(
        self,
        query_embedding: Any,
        embeddings: Any,
        *,
        texts: Iterable[str] | None = None,
        ids: Iterable[Hashable] | None = None,
        sources: Iterable[Hashable | None] | None = None,
        roles: Iterable[str | None] | None = None,
        scores: Mapping[str, Iterable[float]] | None = None,
        token_counts: Iterable[int | None] | None = None,
        coverage: Any = None,
        query_token_weights: Iterable[float] | None = None,
        query_text: str | None = None,
        corpus_statistics: CorpusStatistics | None = None,
        items: Iterable[T],
    ) -> Selection[T]: ...

    @overload
    def select(
        self,
        query_embedding: Any,
        embeddings: Any,
        *,
        texts: Iterable[str],
        ids: Iterable[Hashable] | None = None,
        sources: Iterable[Hashable | None] | None = None,
        roles: Iterable[str | None] | None = None,
        scores: Mapping[str, Iterable[float]] | None = None,
        token_counts: Iterable[int | None] | None = None,
        coverage: Any = None,
        query_token_weights: Iterable[float] | None = None,
        query_text: str | None = None,
        corpus_statistics: CorpusStatistics | None = None,
        items: None = None,
    ) -> Selection[str]: ...

    @overload
    def select(
        self,
        query_embedding: Any,
        embeddings: Any,
        *,
        texts: Iterable[str] | None = None,
        ids: Iterable[Hashable] | None = None,
        sources: Iterable[Hashable | None] | None = None,
        roles: Iterable[str | None] | None = None,
        scores: Mapping[str, Iterable[float]] | None = None,
        token_counts: Iterable[int | None] | None = None,
        coverage: Any = None,
        query_token_weights: Iterable[float] | None = None,
        query_text: str | None = None,
        corpus_statistics: CorpusStatistics | None = None,
        items: None = None,
    ) -> Selection[Any]: ...

    def select(
        self,
        query_embedding: Any,
        embeddings: Any,
        *,
        texts: Iterable[str] | None = None,
        ids: Iterable[Hashable] | None = None,
        sources: Iterable[Hashable | None] | None = None,
        roles: Iterable[str | None] | None = None,
        scores: Mapping[str, Iterable[float]] | None = None,
        token_counts: Iterable[int | None] | None = None,
        coverage: Any = None,
        query_token_weights: Iterable[float] | None = None,
        query_text: str | None = None,
        corpus_statistics: CorpusStatistics | None = None,
        items: Iterable[Any] | None = None,
    ) -> Selection[Any]:
        """Choose among the chunks whose vectors are the rows of `embeddings`.

        Every per-chunk argument has one entry per row. `sources` puts chunks
        into groups (a file, a URL; None for none) that `per_source` caps;
        `roles` are role names such as "definition" or "example" (None for
        none); `scores` maps density, centrality, recency or auxiliary to one
        number per chunk. `coverage` (query tokens x chunks) says how well each
        chunk covers each query token, `query_token_weights` how much each
        token matters (scaled to add up to 1; equal when not given).

        `query_text` with `texts` adds a lexical coverage: each query term's
        BM25 match in each candidate (`quarnel.coverage.lexical_coverage`),
        with IDF weights over the candidates the solver sees, or over the
        caller's corpus when `corpus_statistics` is given. With a `coverage`
        matrix as well, each carries half of the fulfilment weight.

        Copies (the same id or normalised text, or a cosine of at least
        `DEFAULTS.duplicate_cosine`) are collapsed to their most relevant
        one before solving; `Selection.duplicates` says which were dropped.
        `items` are returned for the chosen chunks; they default to the
        texts, else the ids. Ids default to the positions and must be
        distinct.

        A selection that leaves a constraint unmet, or holds nothing because
        nothing fits the budget, warns with `quarnel.SelectionWarning`, or
        raises `quarnel.SelectionError` when the selector is `strict`.
        """
        started = time.perf_counter()
        _check_query_text(query_text, texts, corpus_statistics)
        chunks = self._read(
            query_embedding, embeddings, texts, ids, sources, roles, scores, token_counts, coverage,
            query_token_weights, items,
        )
        pool = self._pool(chunks)
        chunks = self._pooled(chunks, pool)
        cosines = gram(chunks.units[pool])
        pool, cosines, duplicates = self._collapse_copies(chunks, pool, cosines)
        coverage, lexical = self._coverage(chunks, pool, query_text, corpus_statistics)
        charges = redundancy_matrix(cosines, self.redundancy)
        outcome = self._solve(chunks, pool, charges, coverage, lexical)
        present = {chunks.ids[p] for p in pool}
        violations = outcome.violations + [
            f"Required chunk missing: {cid}" for cid in self.required_ids if cid not in present
        ]

        chosen = outcome.chosen
        indices = tuple(int(pool[k]) for k in chosen)
        lambda_ = float(np.float32(self.weights["redundancy"]))
        selection = Selection(
            indices=indices,
            ids=tuple(chunks.ids[i] for i in indices),
            items=tuple(chunks.items[i] for i in indices),
            relevance=tuple(float(chunks.relevance[i]) for i in indices),
            tokens=tuple(int(chunks.costs[i]) for i in indices),
            total_tokens=outcome.total_tokens,
            token_budget=self.token_budget,
            objective=outcome.objective,
            breakdown=outcome.breakdown,
            satisfied=outcome.satisfied and not violations,
            violations=tuple(violations),
            num_inputs=len(chunks.ids),
            num_candidates=len(pool),
            solve_time_ms=outcome.solve_time_ms,
            elapsed_ms=(time.perf_counter() - started) * 1000.0,
            _cosines=cosines[np.ix_(chosen, chosen)].tolist(),
            _charges=(0.5 * lambda_ * charges[np.ix_(chosen, chosen)].astype(np.float64)).tolist(),
            _texts=None if chunks.texts is None else tuple(chunks.texts),
            duplicates=duplicates,
        )
        _shortfall.report(selection, chunks.costs[pool], self.strict)
        return selection

    def _collapse_copies(
        self, chunks: _Chunks, pool: NDArray[np.intp], cosines: NDArray[np.float32]
    ) -> tuple[NDArray[np.intp], NDArray[np.float32], tuple[tuple[int, int], ...]]:
        """The pool without copies, its cosines, and (dropped, kept) input positions."""
        order = np.argsort(-chunks.relevance[pool], kind="stable").tolist()
        required = set(self.required_ids)
        dropped = dedup.find_copies(
            order,
            cosines,
            DEFAULTS.duplicate_cosine,
            None if chunks.texts is None else [chunks.texts[p] for p in pool],
            [chunks.ids[p] for p in pool],
            [chunks.ids[p] in required for p in pool],
        )
        if not dropped:
            return pool, cosines, ()
        keep = np.array([k for k in range(len(pool)) if k not in dropped], dtype=np.intp)
        pairs = tuple(sorted((int(pool[k]), int(pool[original])) for k, original in dropped.items()))
        return pool[keep], np.ascontiguousarray(cosines[np.ix_(keep, keep)]), pairs

    @staticmethod
    def _coverage(
        chunks: _Chunks, pool: NDArray[np.intp], query_text: str | None, statistics: CorpusStatistics | None
    ) -> tuple[tuple[NDArray[np.float32], NDArray[np.float32]] | None, NDArray[np.float32] | None]:
        """The pool's query-token coverage and token weights (the caller's, the
        lexical one, or both), and each pooled chunk's lexical match in [0, 1]."""
        given = None
        if chunks.coverage is not None and chunks.token_weights is not None:
            given = (np.ascontiguousarray(chunks.coverage[:, pool]), chunks.token_weights)
        if query_text is None or chunks.texts is None:
            return given, None
        lexical = coverage_module.lexical_coverage(query_text, [chunks.texts[p] for p in pool], statistics)
        if not len(lexical.terms):
            return given, None
        parts = [(lexical.matrix, lexical.weights)] + ([given] if given is not None else [])
        return coverage_module.combine_coverage(parts), coverage_module.match_scores(lexical)

    def _read(
        self,
        query_embedding: Any,
        embeddings: Any,
        texts: Iterable[str] | None,
        ids: Iterable[Hashable] | None,
        sources: Iterable[Hashable | None] | None,
        roles: Iterable[str | None] | None,
        scores: Mapping[str, Iterable[float]] | None,
        token_counts: Iterable[int | None] | None,
        coverage: Any,
        query_token_weights: Iterable[float] | None,
        items: Iterable[Any] | None,
    ) -> _Chunks:
        """Every argument converted and checked once, in signature order."""
        matrix = _inputs.embedding_matrix(embeddings)
        count, dim = matrix.shape
        query = _inputs.query_vector(query_embedding, dim, count)
        text_list = _inputs.texts_list(texts, count)
        id_list = _inputs.id_list(ids, count)
        clusters, source_labels = _inputs.cluster_ids(sources, count)
        role_codes = _inputs.role_codes(roles, count)
        secondary = self._secondary_scores(scores, count)
        counts = _inputs.per_chunk("token_counts", token_counts, count)
        costs = _inputs.given_costs(counts, text_list, count)
        cover = None if coverage is None else _inputs.coverage_matrix(coverage, count)
        token_weights = _inputs.query_token_weights(query_token_weights, cover)
        item_list = _inputs.per_chunk("items", items, count)
        if item_list is None:
            item_list = list(text_list) if text_list is not None else list(id_list)
        units = np.zeros((count, dim), np.float32)  # pages untouched until the pool's rows are written
        relevance = cosines(matrix, query) if count else np.zeros(0, np.float32)
        return _Chunks(
            units, relevance, costs, role_codes, clusters, source_labels, secondary, cover, token_weights,
            id_list, text_list, item_list, counts, matrix,
        )

    def _pooled(self, chunks: _Chunks, pool: NDArray[np.intp]) -> _Chunks:
        """`chunks` with the pool's unit rows and token costs filled in: only
        the pool is scaled and priced, as counting every text costs more
        than the solve."""
        if len(pool):
            chunks.units[pool] = unit_rows(chunks.embeddings[pool])
        costs = _inputs.count_texts(chunks.costs, chunks.token_counts, chunks.texts, self.token_counter, pool)
        return chunks._replace(costs=costs)

    def _solve(
        self,
        chunks: _Chunks,
        pool: NDArray[np.intp],
        charges: NDArray[np.float32],
        coverage: tuple[NDArray[np.float32], NDArray[np.float32]] | None,
        lexical: NDArray[np.float32] | None,
    ) -> _Outcome:
        """The solve on the pool, started also from the top-k fill and, with a
        lexical match, from the fill of the hybrid ranking (dense and lexical
        ranks fused)."""
        required = set(self.required_ids)
        anchor = self._anchor(chunks, pool)
        limits = Limits(
            token_budget=self.token_budget,
            max_chunks=len(pool) if self.max_chunks is None else self.max_chunks,
            per_source=len(pool) if self.per_source is None else self.per_source,
            required=tuple(k for k, p in enumerate(pool) if chunks.ids[p] in required or k == anchor),
        )
        constraints = quarnel_solver.SolverConstraints(
            max_tokens=self.token_budget,
            min_tokens=self.min_tokens,
            min_chunks=self.min_chunks,
            max_chunks=limits.max_chunks,
            max_per_cluster=limits.per_source,
            must_include_roles=list(self.must_include_roles),
            required_chunks=[f"chunk_{k}" for k in limits.required],
        )
        top_k = np.argsort(-chunks.relevance[pool], kind="stable")
        rankings = [] if lexical is None else [coverage_module.hybrid_ranking(chunks.relevance[pool], lexical)]

        def column(name: str) -> NDArray[np.float32]:
            scores = chunks.secondary.get(name)
            return np.zeros(len(pool), np.float32) if scores is None else scores[pool]

        fulfilment: dict[str, NDArray[np.float32]] = {}
        if coverage is not None:
            fulfilment["coverage_matrix"], fulfilment["query_token_weights"] = coverage
        try:
            output = solve_from_fills(
                self._solver(frozenset(chunks.secondary)),
                limits,
                [top_k, *rankings],
                self._exact_window_nodes,
                embeddings=chunks.units[pool],
                token_costs=chunks.costs[pool],
                density_scores=column("density"),
                centrality_scores=column("centrality"),
                recency_scores=column("recency"),
                auxiliary_scores=column("auxiliary"),
                roles=chunks.roles[pool],
                cluster_ids=chunks.clusters[pool],
                relevance_scores=relevance_scores(
                    blend_lexical(chunks.relevance[pool], lexical), self.relevance, chunks.costs[pool]
                ),
                similarity_matrix=charges,
                constraints=constraints,
                **fulfilment,
            )
        except quarnel_solver.PanicException as panic:
            raise InternalError(f"the solver failed on checked input: {panic}") from panic
        return _Outcome(
            chosen=[int(k) for k in output.selected_indices],
            objective=output.objective_score,
            breakdown={
                "relevance": output.relevance_total,
                "density": output.density_total,
                "centrality": output.centrality_total,
                "recency": output.recency_total,
                "auxiliary": output.auxiliary_total,
                "fulfilment": output.fulfilment_total,
                "redundancy_penalty": output.redundancy_penalty,
            },
            total_tokens=output.total_tokens,
            satisfied=output.constraints_satisfied,
            violations=[self._message(v, pool, chunks.ids, chunks.sources) for v in output.constraint_violations],
            solve_time_ms=output.solve_time_ms,
        )

    def _anchor(self, chunks: _Chunks, pool: NDArray[np.intp]) -> int:
        """The pool position of the most relevant candidate when the selection must keep it, else -1.

        With `DEFAULTS.keep_most_relevant` the best match always stays in,
        provided it fits the budget and the caller pins nothing of their own.
        """
        if not DEFAULTS.keep_most_relevant or self.required_ids or not len(pool):
            return -1
        best = int(np.argmax(chunks.relevance[pool]))
        return best if int(chunks.costs[pool[best]]) <= self.token_budget else -1

    def _secondary_scores(
        self, scores: Mapping[str, Iterable[float]] | None, count: int
    ) -> dict[str, NDArray[np.float32]]:
        if scores is None:
            return {}
        if not isinstance(scores, Mapping):
            raise TypeError(f"scores: expected a mapping such as {{'recency': [...]}}, got {_inputs.describe(scores)}")
        arrays = {}
        for key, values in list(scores.items()):  # reading a score list may change the mapping
            if key not in SECONDARY_SCORES:
                raise ValueError(f"scores: unknown key {key!r}; expected {', '.join(SECONDARY_SCORES)}")
            arrays[key] = _inputs.score_array(f"scores[{key!r}]", values, count)
        return arrays

    def _pool(self, chunks: _Chunks) -> NDArray[np.intp]:
        """Positions of the candidates the solver sees, ascending."""
        relevance, ids, roles = chunks.relevance, chunks.ids, chunks.roles
        ranked = np.argsort(-relevance, kind="stable")  # most relevant first; ties in input order
        if self.excluded_ids:
            ranked = ranked[[ids[k] not in self.excluded_ids for k in ranked]]
        top = ranked
        if self.relevance_floor is not None:
            top = top[relevance[top] > self.relevance_floor]
        if self.pool_size is not None:
            top = top[: self.pool_size]
        pool = set(top.tolist())
        if self.required_ids:
            required = set(self.required_ids)
            pool.update(k for k in ranked.tolist() if ids[k] in required)
        for name in self.must_include_roles:
            code = _inputs.ROLE_CODES.get(name, _inputs.UNKNOWN_ROLE)
            holders = ranked[roles[ranked] == code]
            if len(holders) and not any(roles[k] == code for k in pool):
                pool.add(int(holders[0]))
        for k in ranked.tolist():
            if len(pool) >= self.min_chunks:
                break
            pool.add(k)
        return np.array(sorted(pool), dtype=np.intp)

    @staticmethod
    def _message(violation: str, pool: NDArray[np.intp], ids: Sequence[Hashable], sources: Sequence[Hashable]) -> str:
        """A solver message in the caller's terms: their ids and sources."""
        match = _REQUIRED_MISSING.fullmatch(violation)
        if match:
            return f"Required chunk missing: {ids[pool[int(match.group(1))]]}"
        match = _CLUSTER_OVERFLOW.fullmatch(violation)
        if match:
            return f"Source {sources[int(match.group(1))]!r} overflow: {match.group(2)}"
        return violation

    def __repr__(self) -> str:
        return (
            f"ContextSelector(token_budget={self.token_budget}, max_chunks={self.max_chunks}, "
            f"per_source={self.per_source}, pool_size={self.pool_size}, "
            f"relevance_floor={self.relevance_floor}, relevance={self.relevance!r}, "
            f"redundancy={self.redundancy!r}, weights={dict(self.weights)})"
        )


def _restore(state: dict[str, Any]) -> ContextSelector:
    selector = object.__new__(ContextSelector)
    selector.__dict__.update(state, weights=MappingProxyType(state["weights"]), _solvers={})
    return selector
