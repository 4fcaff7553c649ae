#!/usr/bin/env python3
"""Select the context for a question from Python's own documentation, offline.

The candidates are the documentation topics bundled with every CPython
installation (``pydoc_data.topics``, the text behind ``help("try")``), chunked
into passages (``docs_corpus``). The script embeds passages and query with a
real model when the ``demo`` extra is installed (WordLlama, whose weights ship
inside its wheel) and with a hashed TF-IDF otherwise (``embedders``), retrieves
the closest passages, and lets the solver choose the subset that best answers
the query within a token budget: from the embeddings, the texts and the query
text, as the framework adapters call it. Beside the solver's choice it prints
what top-k by relevance, hybrid retrieval (dense and BM25 ranks fused) and MMR
choose under the same limits (``selection``), which query words each pick
covers, and the copies the selector dropped.

Run it with ``python examples/select_context.py --query "..."``; ``--help``
lists the flags. ``--json`` prints the result as one JSON object.
"""

from __future__ import annotations

import argparse
import json
import sys
import time

import numpy as np

import docs_corpus
import embedders
import selection

DEFAULT_QUERY = "how do decorators, generators and context managers work"
ROLES = ("definition", "example", "table", "constraint")
MMR_LAMBDA = 0.5


def _fail(message: str) -> None:
    sys.exit(f"select_context: {message}")


def query_terms(query: str) -> dict[str, tuple[str, ...]]:
    """The query's content words (stop words dropped), each with its search terms
    as the selector's lexical coverage sees them (stems, identifiers whole and split)."""
    from quarnel.coverage import query_terms as terms_of

    words: dict[str, tuple[str, ...]] = {}
    seen: set[str] = set()
    for word in query.split():
        word = word.strip("?!,;:\"'()")
        found = terms_of(word)
        if found and not set(found) <= seen:
            words[word] = found
            seen.update(found)
    return words


def covered_words(text: str, terms: dict[str, tuple[str, ...]]) -> list[str]:
    from quarnel.coverage import covered_terms

    found = set(covered_terms(" ".join(t for ts in terms.values() for t in ts), text))
    return [word for word, ts in terms.items() if found & set(ts)]


def describe(chosen: list[int], picked: np.ndarray, chunks: list[docs_corpus.Chunk], tokens: np.ndarray,
             relevance: np.ndarray, terms: dict[str, tuple[str, ...]]) -> dict:
    """What a selection holds, and which of the query's words and topics it covers."""
    items = [
        {
            "chunk_id": chunks[picked[k]].chunk_id,
            "topic": chunks[picked[k]].topic,
            "tokens": int(tokens[k]),
            "role": chunks[picked[k]].role or "unknown",
            "relevance": round(float(relevance[k]), 4),
            "covers": covered_words(chunks[picked[k]].text, terms),
            "text": chunks[picked[k]].text,
        }
        for k in sorted(chosen, key=lambda k: -relevance[k])
    ]
    words = {w for item in items for w in item["covers"]}
    return {
        "selected": items,
        "total_tokens": sum(item["tokens"] for item in items),
        "words_covered": [w for w in terms if w in words],
        "words_missing": [w for w in terms if w not in words],
        "topics": sorted({item["topic"] for item in items}),
    }


def select_context(query: str, budget: int, max_chunks: int, num_candidates: int, per_topic: int,
                   required_roles: list[str], embedder_kind: str = "auto") -> dict:
    try:
        import quarnel_solver  # noqa: F401
    except ImportError as error:
        _fail(f"quarnel_solver is not importable ({error}); install it with `pip install .` "
              "or point PYTHONPATH at a build directory")

    started = time.perf_counter()
    chunks = docs_corpus.build_chunks(docs_corpus.load_topics())
    texts = [c.text for c in chunks]
    try:
        embedder = embedders.load_embedder(texts, embedder_kind)
    except ImportError as error:
        _fail(f"the WordLlama embedder is not installed ({error}); install the demo extra: "
              "pip install '.[demo]'")
    if not embedder.known(query):
        _fail(f"none of the words of {query!r} occurs in the documentation")
    embeddings = embedder.embed(texts)
    query_embedding = embedder.embed([query])[0]

    relevance = embeddings @ query_embedding
    picked = np.argsort(-relevance, kind="stable")[:num_candidates]
    cand_texts = [texts[i] for i in picked]
    tokens = np.array(embedder.count_tokens(cand_texts), np.int64)
    limits = selection.Limits(budget=budget, max_chunks=max_chunks,
                              clusters=np.array([chunks[i].cluster for i in picked]), per_cluster=per_topic)
    roles = [chunks[i].role for i in picked]
    prepared = time.perf_counter()
    # What the framework adapters pass: embeddings, texts and the query text.
    solution = selection.solver(query_embedding, embeddings[picked], tokens, limits, roles=roles,
                                required_roles=required_roles, texts=cand_texts, query_text=query)
    solved = time.perf_counter()

    rel = relevance[picked]
    terms = query_terms(query)
    selections = {
        "solver": describe(solution.chosen, picked, chunks, tokens, rel, terms),
        "top-k": describe(selection.top_k(rel, tokens, limits), picked, chunks, tokens, rel, terms),
        "hybrid RRF": describe(selection.hybrid(query, cand_texts, rel, tokens, limits), picked, chunks, tokens,
                               rel, terms),
        f"MMR {MMR_LAMBDA}": describe(selection.mmr(rel, embeddings[picked], tokens, limits, MMR_LAMBDA),
                                      picked, chunks, tokens, rel, terms),
    }
    return {
        "query": query,
        "embedder": embedder.name,
        "corpus": {"passages": len(chunks), "topics": len({c.topic for c in chunks}), "candidates": len(picked)},
        "limits": {"max_tokens": budget, "max_chunks": max_chunks, "max_per_topic": per_topic,
                   "must_include_roles": list(required_roles)},
        "query_words": list(terms),
        "selections": selections,
        "duplicates_dropped": [{"dropped": chunks[picked[d]].chunk_id, "copy_of": chunks[picked[k]].chunk_id}
                               for d, k in solution.duplicates],
        "constraints_satisfied": solution.satisfied,
        "constraint_violations": solution.violations,
        "timing_ms": {"prepare": round((prepared - started) * 1000.0, 2),
                      "solve": round((solved - prepared) * 1000.0, 2)},
    }


# --------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------


def preview(text: str, width: int) -> str:
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[: width - 3] + "..."


def print_selection(name: str, selection: dict, limits: dict, words: list[str]) -> None:
    items = selection["selected"]
    covered = len(selection["words_covered"])
    missing = ", ".join(selection["words_missing"]) or "none"
    print(f"{name}: {len(items)} chunks, {selection['total_tokens']} of {limits['max_tokens']} tokens; "
          f"query words covered {covered}/{len(words)} (missing: {missing}); "
          f"{len(selection['topics'])} topics")
    id_width = max([len("chunk")] + [len(s["chunk_id"]) for s in items])
    for item in items:
        covers = ", ".join(item["covers"]) or "-"
        print(f"  {item['chunk_id']:<{id_width}}  {item['tokens']:>5}  {item['relevance']:>6.3f}  "
              f"covers {covers:<28}  {preview(item['text'], 44)}")
    print()


def print_report(report: dict) -> None:
    limits = report["limits"]
    corpus = report["corpus"]
    roles = ", ".join(limits["must_include_roles"]) or "none"
    print(f"Query       {report['query']}")
    print(f"Embeddings  {report['embedder']}")
    print(f"Corpus      {corpus['passages']} passages from {corpus['topics']} documentation topics; "
          f"the {corpus['candidates']} most relevant are the candidates")
    print(f"Limits      {limits['max_tokens']} tokens, at most {limits['max_chunks']} chunks, "
          f"{limits['max_per_topic']} per topic; required roles: {roles}")
    print(f"Query words {', '.join(report['query_words'])}")
    print()
    for name, selection in report["selections"].items():
        print_selection(name, selection, limits, report["query_words"])
    dropped = report["duplicates_dropped"]
    print("Duplicates  " + ("; ".join(f"{d['dropped']} dropped as a copy of {d['copy_of']}" for d in dropped)
                            if dropped else "none among the solver's candidates"))
    if report["constraints_satisfied"]:
        print("Constraints the solver's selection meets them all" +
              (" (top-k and MMR ignore required roles)" if limits["must_include_roles"] else ""))
    else:
        print("Constraints NOT satisfied: " + "; ".join(report["constraint_violations"]))
    timing = report["timing_ms"]
    print(f"Time        {timing['prepare']:.0f} ms to chunk and embed, {timing['solve']:.1f} ms to solve")


def positive_int(limit: int):
    def parse(text: str) -> int:
        value = int(text)
        if not 1 <= value <= limit:
            raise argparse.ArgumentTypeError(f"must be between 1 and {limit}")
        return value

    return parse


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Choose the passages of Python's bundled documentation that best answer a query "
                    "within a token budget, next to top-k and MMR.",
    )
    parser.add_argument("--query", default=DEFAULT_QUERY, help=f"the question (default: {DEFAULT_QUERY!r})")
    parser.add_argument("--budget", type=positive_int(2**32 - 1), default=2048,
                        help="token budget of the selection (default: 2048)")
    parser.add_argument("--max-chunks", type=positive_int(10_000), default=8,
                        help="most passages to select (default: 8)")
    parser.add_argument("--per-topic", type=positive_int(10_000), default=2,
                        help="most passages from one documentation topic (default: 2)")
    parser.add_argument("--candidates", type=positive_int(100_000), default=50,
                        help="how many of the most relevant passages the selectors consider (default: 50)")
    parser.add_argument("--require-role", action="append", choices=ROLES, default=[], metavar="ROLE",
                        help=f"a role the solver's selection must include ({', '.join(ROLES)}); repeatable")
    parser.add_argument("--embedder", choices=("auto", "wordllama", "tfidf"), default="auto",
                        help="auto: WordLlama when installed, else the hashed TF-IDF (default: auto)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    args = parser.parse_args(argv)

    report = select_context(args.query, args.budget, args.max_chunks, args.candidates, args.per_topic,
                            list(dict.fromkeys(args.require_role)), args.embedder)
    if args.json:
        json.dump(report, sys.stdout, indent=2)
        print()
    else:
        print_report(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
