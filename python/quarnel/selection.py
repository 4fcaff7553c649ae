"""The result of one `ContextSelector.select` call."""

from __future__ import annotations

import html
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import asdict, dataclass
from typing import Any, Generic, TypeVar

T = TypeVar("T")

#: Keys of `Selection.breakdown`, in the order the objective adds them up.
BREAKDOWN_KEYS = (
    "relevance",
    "density",
    "centrality",
    "recency",
    "auxiliary",
    "fulfilment",
    "redundancy_penalty",
)


@dataclass(frozen=True)
class ChunkReport:
    """Why one chosen chunk is in the selection."""

    index: int  # position in the caller's input
    id: Hashable
    relevance: float  # cosine with the query
    tokens: int
    token_share: float  # of the selection's tokens, 0-1
    redundancy: float  # this chunk's part of the objective's redundancy penalty
    nearest_id: Hashable | None  # the most similar other chosen chunk, if any
    nearest_similarity: float | None  # and its cosine with this one


@dataclass(frozen=True, eq=False)
class Selection(Generic[T]):
    """The chosen chunks, in the caller's input order unless said otherwise.

    `items` are the caller's own objects (the `items` given to `select`, else
    the texts, else the ids). `ranked_indices` and `ranked_items` hold the
    same chunks, most relevant first.
    """

    indices: tuple[int, ...]
    ids: tuple[Hashable, ...]
    items: tuple[T, ...]
    relevance: tuple[float, ...]
    tokens: tuple[int, ...]
    total_tokens: int
    token_budget: int
    objective: float
    breakdown: Mapping[str, float]
    satisfied: bool
    violations: tuple[str, ...]
    num_inputs: int  # chunks given to select
    num_candidates: int  # chunks the solver chose from
    solve_time_ms: float
    elapsed_ms: float  # the whole select call: conversion, cosines, solve
    # Chosen x chosen: raw cosines, and each pair's redundancy charge.
    _cosines: Sequence[Sequence[float]]
    _charges: Sequence[Sequence[float]]
    _texts: tuple[str, ...] | None
    # (dropped, kept) input positions: each candidate left out as a copy of a
    # more relevant one (same id or text, or a near-identical embedding).
    duplicates: tuple[tuple[int, int], ...] = ()

    def __len__(self) -> int:
        return len(self.indices)

    def __iter__(self) -> Iterator[T]:
        return iter(self.items)

    @property
    def ranked_order(self) -> tuple[int, ...]:
        """Positions within this selection, most relevant first (ties: input order)."""
        return tuple(sorted(range(len(self.indices)), key=lambda k: (-self.relevance[k], self.indices[k])))

    @property
    def ranked_indices(self) -> tuple[int, ...]:
        return tuple(self.indices[k] for k in self.ranked_order)

    @property
    def ranked_items(self) -> tuple[T, ...]:
        return tuple(self.items[k] for k in self.ranked_order)

    def explain(self) -> list[ChunkReport]:
        """Per chosen chunk, most relevant first: relevance, token share and
        redundancy with the rest of the selection. The `redundancy` values add
        up to the objective's redundancy penalty (up to rounding)."""
        reports = []
        for k in self.ranked_order:
            others = [j for j in range(len(self.indices)) if j != k]
            nearest = max(others, key=lambda j: self._cosines[k][j], default=None)
            reports.append(
                ChunkReport(
                    index=self.indices[k],
                    id=self.ids[k],
                    relevance=self.relevance[k],
                    tokens=self.tokens[k],
                    token_share=self.tokens[k] / self.total_tokens if self.total_tokens else 0.0,
                    redundancy=sum(self._charges[k][j] for j in others),
                    nearest_id=None if nearest is None else self.ids[nearest],
                    nearest_similarity=None if nearest is None else self._cosines[k][nearest],
                )
            )
        return reports

    def to_dict(self) -> dict[str, Any]:
        """Plain data (the caller's items left out), ready for JSON when the ids are."""
        return {
            "indices": list(self.indices),
            "ids": list(self.ids),
            "total_tokens": self.total_tokens,
            "token_budget": self.token_budget,
            "objective": self.objective,
            "breakdown": dict(self.breakdown),
            "satisfied": self.satisfied,
            "violations": list(self.violations),
            "num_inputs": self.num_inputs,
            "num_candidates": self.num_candidates,
            "solve_time_ms": self.solve_time_ms,
            "elapsed_ms": self.elapsed_ms,
            "duplicates": [list(pair) for pair in self.duplicates],
            "chunks": [asdict(report) for report in self.explain()],
        }

    def __repr__(self) -> str:
        shown = ", ".join(repr(i) for i in self.ids[:8]) + (", ..." if len(self.ids) > 8 else "")
        status = "satisfied" if self.satisfied else f"violations={list(self.violations)!r}"
        return (
            f"Selection({len(self)} of {self.num_candidates} candidates, "
            f"{self.total_tokens}/{self.token_budget} tokens, objective={self.objective:.4f}, "
            f"{status}, ids=[{shown}])"
        )

    def _repr_html_(self) -> str:
        """A table for notebooks, most relevant first."""
        texts = self._texts
        head = ["#", "id", "tokens", "share", "relevance", "redundancy", "nearest"] + (["text"] if texts else [])
        rows = []
        for rank, report in enumerate(self.explain(), 1):
            nearest = (
                "" if report.nearest_id is None else f"{report.nearest_id!r} ({report.nearest_similarity:.3f})"
            )
            cells = [
                str(rank),
                repr(report.id),
                str(report.tokens),
                f"{report.token_share:.0%}",
                f"{report.relevance:.3f}",
                f"{report.redundancy:.3f}",
                nearest,
            ]
            if texts:
                text = " ".join(texts[report.index].split())
                cells.append(text if len(text) <= 120 else text[:117] + "...")
            rows.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
        status = "constraints satisfied" if self.satisfied else "; ".join(self.violations)
        caption = (
            f"{len(self)} of {self.num_candidates} candidates, {self.total_tokens}/{self.token_budget} tokens, "
            f"objective {self.objective:.4f}, {status}"
        )
        header = "".join(f"<th>{html.escape(h)}</th>" for h in head)
        return (
            f"<table><caption>{html.escape(caption)}</caption><thead><tr>{header}</tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table>"
        )
