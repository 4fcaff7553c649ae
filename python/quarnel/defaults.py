"""Every tunable default of the selection layer, in one place.

`ContextSelector` and the framework adapters read these values and nothing
else, so tuning a default means editing this file only.

The values come from the selection-quality benchmark (`bench/bench_quality.py`,
its "tune" split: 80 constructed queries on Python's documentation, WordLlama
embeddings, 50 candidates each); the figures quoted are its mean topic recall
at token budgets 500 / 1000 / 2000 (top-k by relevance: 0.52 / 0.67 / 0.78,
the best MMR: 0.59 / 0.68 / 0.80). The README shows the table of the separate
"eval" split.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Literal

#: How a cosine counts in the objective.
#: "raw": the cosine itself.
#: "above_mean": how far it exceeds the mean over the candidate pool (for
#: redundancy, never below 0). Embedding models whose cosines are all
#: positive (most dense models) make every chunk look relevant and every pair
#: redundant on the raw cosine; measured against the pool's own mean, only
#: chunks closer than usual to the query, and pairs closer than usual to each
#: other, are.
#:
#: Relevance: on the raw cosine every chunk brings about the same +0.3-0.5
#: whatever its length, so the knapsack fills the budget with many short,
#: weak chunks (0.44 / 0.62 / 0.72, redundancy above_mean at 0.5); above the
#: mean a chunk must beat a typical candidate to be worth its tokens
#: (0.53 / 0.64 / 0.76 at redundancy 0.1, without query-token coverage).
CosineMeasure = Literal["raw", "above_mean"]


@dataclass(frozen=True)
class SelectionDefaults:
    # Which candidates the solver sees: the `pool_size` most relevant ones
    # whose cosine with the query exceeds `relevance_floor`. A floor of 0
    # keeps out chunks that share nothing with the query; None disables
    # either filter. A smaller pool cuts recall (pool 10: 0.59 / 0.74 / 0.78,
    # 20: 0.60 / 0.79 / 0.82, 30: 0.63 / 0.80 / 0.84, 50: 0.64 / 0.82 / 0.90);
    # the floor of 0 never bound on these dense embeddings.
    pool_size: int | None = 50
    relevance_floor: float | None = 0.0
    relevance: CosineMeasure = "above_mean"
    redundancy: CosineMeasure = "above_mean"

    # Limits.
    token_budget: int = 2048
    max_chunks: int | None = None  # None: as many as the budget holds
    min_chunks: int = 1
    per_source: int | None = None  # None: no cap on the chunks from one source

    # Objective weights. A secondary score counts only when the caller gives
    # it; the weights below apply then. Relevance is a cosine, often 0.1-0.5,
    # while the secondary scores span [0, 1], so they get small weights: they
    # break ties rather than outvote relevance.
    #
    # Fulfilment counts only when the caller gives a query-token coverage
    # matrix; its token weights add up to 1, so a selection that covers every
    # query token fully earns about `fulfilment`. With coverage (a per-token
    # MaxSim of the embedding model's token vectors, IDF token weights) and
    # redundancy 0.1: 0.62 / 0.75 / 0.84 at 0.5, 0.64 / 0.78 / 0.88 at 1,
    # 0.64 / 0.82 / 0.90 at 2, 0.63 / 0.79 / 0.91 at 4; passage recall at 2 is
    # 0.47 / 0.49 / 0.50 against top-k's 0.38 / 0.39 / 0.47.
    #
    # Redundancy (lambda_) at fulfilment 2: 0.63 / 0.80 / 0.89 at 0,
    # 0.64 / 0.82 / 0.90 at 0.1, 0.65 / 0.80 / 0.88 at 0.3, 0.65 / 0.83 / 0.90
    # at 0.5; passage recall at 2000 tokens falls from 0.50 at 0.1 to
    # 0.46-0.47 at 0.3-0.5. So 0.1: enough to keep near-copies apart, little
    # enough not to push the relevant passages of one topic out.
    weights: Mapping[str, float] = field(
        default_factory=lambda: MappingProxyType(
            {
                "relevance": 1.0,
                "density": 0.1,
                "centrality": 0.1,
                "recency": 0.1,
                "auxiliary": 0.1,
                "fulfilment": 2.0,  # mu: the query tokens' coverage, when a coverage matrix is given
                "redundancy": 0.1,  # lambda_ of the solver configuration
            }
        )
    )

    # The exact polishing window of the search stops after this many nodes
    # rather than on the clock, so that a select gives the same result
    # whatever the machine load and thread count. 2**14 covers every subset
    # of the default window of 14 chunks; a pool of 50 takes well under a
    # millisecond for them. Applies when no `config` is given.
    exact_window_nodes: int = 1 << 14

    # Token estimate for texts without a count and without a token_counter:
    # sub-word tokens per whitespace-separated word of English prose and code.
    tokens_per_word: float = 1.3


DEFAULTS = SelectionDefaults()
