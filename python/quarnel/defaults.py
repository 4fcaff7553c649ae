"""Every tunable default of the selection layer, in one place.

`ContextSelector` and the framework adapters read these values and nothing
else, so tuning a default means editing this file only.

The values are provisional: they were chosen to serve the query on sparse
(TF-IDF) and dense embeddings alike, and are to be settled on the selection
quality benchmark (`bench/bench_quality.py`), whose figures should then be
quoted here beside each value.
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
CosineMeasure = Literal["raw", "above_mean"]


@dataclass(frozen=True)
class SelectionDefaults:
    # Which candidates the solver sees: the `pool_size` most relevant ones
    # whose cosine with the query exceeds `relevance_floor`. A floor of 0
    # keeps out chunks that share nothing with the query; None disables
    # either filter.
    pool_size: int | None = 50
    relevance_floor: float | None = 0.0
    relevance: CosineMeasure = "raw"
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
    weights: Mapping[str, float] = field(
        default_factory=lambda: MappingProxyType(
            {
                "relevance": 1.0,
                "density": 0.1,
                "centrality": 0.1,
                "recency": 0.1,
                "auxiliary": 0.1,
                "fulfilment": 1.0,  # of the query tokens' coverage, when a coverage matrix is given
                "redundancy": 0.5,  # lambda_ of the solver configuration
            }
        )
    )

    # Token estimate for texts without a count and without a token_counter:
    # sub-word tokens per whitespace-separated word of English prose and code.
    tokens_per_word: float = 1.3


DEFAULTS = SelectionDefaults()
