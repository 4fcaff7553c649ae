"""What `quarnel.ContextSelector` returns next to the bare module, and what the layer costs.

Usage: PYTHONPATH=<build dir>:python python bench/bench_layer.py [--candidates 300] [--repeats 5]

Candidates: the demo's documentation passages (examples/select_context.py) with its hashed TF-IDF
embeddings; per query the `--candidates` closest passages, whether or not they share a word with
the query. The bare module gets them as chunk dictionaries with id, text, embedding and token
count only, `TabuSearchSolver(SolverConfig())` and default constraints, as a new user would call
it; the layer gets the same passages through `ContextSelector()` with its defaults, and once more
with the module's token budget of 8192 for a like-for-like count. "zero" counts chosen passages
whose cosine with the query is 0, "< 0.05" those below 0.05. The timing rows compare one `select` with the native solve on
the same pool (the layer's conversion and cosines are the difference).
"""
import argparse
import importlib.util
import pathlib
import statistics
import sys
import time

import numpy as np

import quarnel
import quarnel_solver as qs

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "select_context.py"
QUERIES = [
    "how do exceptions propagate through try and finally",
    "difference between a list and a tuple",
    "what is a decorator",
    "how are default argument values evaluated",
    "string formatting with format specifiers",
]


def load_example():
    spec = importlib.util.spec_from_file_location("select_context", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def candidates(ex, corpus, query, count):
    query_embedding = corpus.model.embed(corpus.model.known(ex.tokenize(query)))
    relevance = corpus.embeddings @ query_embedding
    picked = np.argsort(-relevance, kind="stable")[:count]
    return query_embedding, picked, relevance[picked]


def row(label, chosen, relevance, tokens):
    zero = sum(1 for k in chosen if relevance[k] <= 0.0)
    weak = sum(1 for k in chosen if relevance[k] < 0.05)
    mean = float(np.mean([relevance[k] for k in chosen])) if chosen else 0.0
    return f"  {label:<30} {len(chosen):>6} {zero:>6} {weak:>7} {mean:>14.3f} {tokens:>7}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--candidates", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    ex = load_example()
    corpus = ex.build_corpus()
    bare = qs.TabuSearchSolver(qs.SolverConfig())
    layer = quarnel.ContextSelector()
    layer_8192 = quarnel.ContextSelector(8192)
    print(f"{args.candidates} candidates per query from {len(corpus.chunks)} passages; defaults {quarnel.DEFAULTS}")
    for query in QUERIES:
        query_embedding, picked, relevance = candidates(ex, corpus, query, args.candidates)
        chunks = [corpus.chunks[i] for i in picked]
        embeddings = corpus.embeddings[picked]
        texts = [c.text for c in chunks]
        counts = [c.tokens for c in chunks]
        dicts = [
            {"chunk_id": c.chunk_id, "content": c.text, "embedding": embeddings[k], "token_count": c.tokens}
            for k, c in enumerate(chunks)
        ]
        out = bare.solve(dicts, query_embedding)
        print(f"\n{query!r}: {int((relevance > 0).sum())} of the candidates have a cosine above 0")
        print(f"  {'selector':<30} {'chosen':>6} {'zero':>6} {'< 0.05':>7} {'mean relevance':>14} {'tokens':>7}")
        print(row("bare module, SolverConfig()", list(out.selected_indices), relevance, out.total_tokens))
        for label, selector in (("ContextSelector()", layer), ("ContextSelector(8192)", layer_8192)):
            sel = selector.select(query_embedding, embeddings, texts=texts, token_counts=counts)
            print(row(label, list(sel.indices), relevance, sel.total_tokens))

    print(f"\nTime per call, median of {args.repeats}, ContextSelector() on the first query:")
    for count in sorted({50, args.candidates}):
        query_embedding, picked, _ = candidates(ex, corpus, QUERIES[0], count)
        embeddings = corpus.embeddings[picked]
        counts = [corpus.chunks[i].tokens for i in picked]
        for label, data in (("float32 array", embeddings), ("float64 array", embeddings.astype(np.float64)),
                            ("list of lists", embeddings.tolist())):
            times, solve = [], []
            for _ in range(args.repeats):
                started = time.perf_counter()
                sel = layer.select(query_embedding, data, token_counts=counts)
                times.append((time.perf_counter() - started) * 1000.0)
                solve.append(sel.solve_time_ms)
            select_ms, solve_ms = statistics.median(times), statistics.median(solve)
            print(f"  {count:>4} x {embeddings.shape[1]} {label:<14} select {select_ms:7.2f} ms = native solve "
                  f"{solve_ms:6.2f} ms + layer {select_ms - solve_ms:6.2f} ms ({sel.num_candidates} candidates)")

if __name__ == "__main__":
    main()
