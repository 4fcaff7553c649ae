"""Context selection with the quarnel layer, fully typed (checked with mypy --strict).

Run it with ``python examples/typed_selection.py``: it selects passages for a query from a small
synthetic corpus and prints why each chosen passage is there.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from quarnel import DEFAULTS, ChunkReport, ContextSelector, Selection


@dataclass(frozen=True)
class Passage:
    doc: str
    text: str
    vector: NDArray[np.float64]


def corpus(seed: int = 0) -> list[Passage]:
    rng = np.random.default_rng(seed)
    topics = rng.standard_normal((5, 64))
    return [
        Passage(
            doc=f"doc{k % 5}",
            text=f"passage {k} " + "word " * int(rng.integers(30, 150)),
            vector=topics[k % 5] + 0.7 * rng.standard_normal(64),
        )
        for k in range(60)
    ]


def choose(passages: list[Passage], query: NDArray[np.float64], budget: int) -> Selection[Passage]:
    selector = ContextSelector(budget, per_source=2, weights={"redundancy": DEFAULTS.weights["redundancy"]})
    return selector.select(
        query,
        np.stack([p.vector for p in passages]),
        texts=[p.text for p in passages],
        sources=[p.doc for p in passages],
        items=passages,
    )


def describe(report: ChunkReport) -> str:
    return (
        f"{report.id!s:>3}  relevance {report.relevance:.3f}  {report.tokens:>4} tokens  "
        f"redundancy {report.redundancy:.3f}"
    )


def main() -> None:
    passages = corpus()
    query = passages[3].vector + passages[8].vector
    selection = choose(passages, query, budget=800)
    print(selection)
    chosen: tuple[Passage, ...] = selection.ranked_items
    print("documents:", sorted({p.doc for p in chosen}))
    for report in selection.explain():
        print(describe(report))
    assert selection.satisfied and selection.total_tokens <= 800


if __name__ == "__main__":
    main()
