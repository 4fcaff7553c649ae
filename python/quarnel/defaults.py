"""Every tunable default of the selection layer, in one place.

`ContextSelector` and the framework adapters read these values and nothing
else, so tuning a default means editing this file only.

The values come from the selection-quality benchmark (`bench/bench_quality.py`,
its "tune" split: constructed queries on Python's documentation, WordLlama
embeddings, 50 candidates each); the figures quoted are its mean topic recall
at token budgets 500 / 1000 / 2000. The older figures (80 queries, the solver
given a per-token MaxSim coverage) compare with top-k by relevance at
0.52 / 0.67 / 0.78 and the best MMR at 0.59 / 0.68 / 0.80. The figures marked
"adapter path" come from the 90-query tune split of the current benchmark, the
selector given texts, embeddings and the query text, as the framework adapters
call it; there top-k scores 0.50 / 0.57 / 0.71, BM25 top-k 0.56 / 0.72 / 0.82
and hybrid retrieval (RRF) 0.59 / 0.65 / 0.81. The README shows the table of
the separate "eval" split, for both models.
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
#:
#: "above_min" (relevance only): how far it exceeds the pool's least relevant
#: chunk, so every pooled chunk is worth something and the leftover budget is
#: filled (adapter path 0.63 / 0.72 / 0.83 at fulfilment 4, against
#: 0.63 / 0.72 / 0.81 above the mean; budget use alike, 95-99%).
CosineMeasure = Literal["raw", "above_mean", "above_min"]


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
    # On the adapter path (lexical coverage, IDF over the pool): 0.65 / 0.69 /
    # 0.82 at 2, 0.63 / 0.72 / 0.81 at 4, 0.61 / 0.72 / 0.82 at 8; with
    # all-MiniLM-L6-v2, 0.74 / 0.83 / 0.89 at 1 and 0.73 / 0.83 / 0.89 at 2.
    # 2 stays.
    #
    # Redundancy (lambda_) at fulfilment 2: 0.63 / 0.80 / 0.89 at 0,
    # 0.64 / 0.82 / 0.90 at 0.1, 0.65 / 0.80 / 0.88 at 0.3, 0.65 / 0.83 / 0.90
    # at 0.5; passage recall at 2000 tokens falls from 0.50 at 0.1 to
    # 0.46-0.47 at 0.3-0.5. So 0.1: enough to keep near-copies apart, little
    # enough not to push the relevant passages of one topic out. On the
    # adapter path a larger weight spreads a two-topic query further but
    # drops passages: at fulfilment 4, 0.63 / 0.72 / 0.81 at 0.1 against
    # 0.63 / 0.72 / 0.82 at 0.3; with the top candidate pinned, 0.61 / 0.71 /
    # 0.82 at 0.1, 0.61 / 0.72 / 0.79 at 0.5 and 0.59 / 0.67 / 0.78 at 1
    # (passage recall at 2000 tokens 0.52, 0.46, 0.43). With all-MiniLM-L6-v2
    # 0.3 and 0.5 help at 500 tokens (0.74 and 0.77 against 0.73) but leave
    # the budget unused at 2000 (median use 85% and 70%, passage recall 0.55
    # and 0.49 against 0.60). So 0.1 stays.
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

    # Near duplicates: candidates whose embeddings have at least this cosine
    # are copies; only the most relevant of them reaches the solver (None:
    # only the same id or normalised text makes a copy). The documentation
    # corpus holds paragraphs repeated across topics: at 0.97 top-k picks such
    # pairs 5 times over the 90 tune queries at 2000 tokens, hybrid retrieval 7;
    # the corpus's 6 pairs at 0.97 or above (WordLlama) are all one text
    # under two topics, while neighbouring passages of one topic reach 0.95.
    duplicate_cosine: float | None = 0.97

    # Relevance counts per token: each chunk's measured relevance ("above_mean"
    # or "above_min"; "raw" stays per chunk) is scaled by its tokens over the
    # pool's mean. Counted per chunk, two short chunks a little above the mean
    # outweigh one long chunk well above it, and the most relevant passage is
    # traded away: with vectors only, the top candidate stays in 78% / 94% /
    # 100% of queries per chunk against 94% / 98% / 98% per token, at the
    # same recall (0.49 / 0.59 / 0.72 against 0.49 / 0.58 / 0.70).
    #
    # Leftover budget: a chunk below the pool's mean relevance is worth
    # less than nothing, so the budget is left unused only where what still
    # fits is less relevant than a typical candidate, or would repeat what is
    # chosen; counted per token that is rare (median budget use at 2000
    # tokens: 92% with vectors only, 98% on the adapter path; "above_min"
    # fills to 99% with vectors only, at 0.51 / 0.59 / 0.69).
    relevance_per_token: bool = True

    # With a query text, the relevance the solver counts adds this weight
    # times each chunk's BM25 match (the pool's best chunk as 1): the lexical
    # half of hybrid retrieval, beside the per-term coverage that rewards
    # covering every query term once. Adapter path, WordLlama: 0.64 / 0.69 /
    # 0.80 at 0, 0.65 / 0.71 / 0.84 at 0.1, 0.64 / 0.72 / 0.84 at 0.2,
    # 0.61 / 0.71 / 0.85 at 0.4 (above 0.2 the top candidate is dropped more
    # often at 500); all-MiniLM-L6-v2 (its own tune split): 0.76 / 0.83 / 0.91
    # at 0.1, 0.73 / 0.83 / 0.89 at 0.2. 0.1 is the best over both models.
    lexical_relevance: float = 0.1

    # Pinning the most relevant candidate (when it fits) keeps it in every
    # selection but costs topic recall where the query's words point
    # elsewhere: adapter path 0.61 / 0.71 / 0.82 pinned. Off: the adapter path
    # keeps the top candidate by cosine in about 57% of queries at 500 tokens
    # (hybrid retrieval 69%, BM25 top-k 39%), trading it for a passage that
    # names the query's words; see the README.
    keep_most_relevant: bool = False

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
