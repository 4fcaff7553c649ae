"""What `quarnel.ContextSelector` returns next to the bare module, and what the layer costs.

Usage: PYTHONPATH=<build dir>:python python bench/bench_layer.py [--candidates 300] [--repeats 15] [--timing-only]

Candidates: Python's bundled documentation topics (pydoc_data) cut into passages of about 150
words and embedded with a hashed sublinear TF-IDF (1024 buckets, non-negative, unit rows), built
here so that the figures do not move with the demo; per query the `--candidates` closest passages,
whether or not they share a word with the query. The bare module gets them as chunk dictionaries
with id, text, embedding and token count only, `TabuSearchSolver(SolverConfig())` and default
constraints, as a new user would call it; the layer gets the same passages through
`ContextSelector()` with its defaults, and once more with the module's token budget of 8192 for a
like-for-like count. "zero" counts chosen passages whose cosine with the query is 0, "< 0.05"
those below 0.05. The timing rows (see `timing`) compare one `select` with the native solve on
the same pool (the layer's conversion, pricing and cosines are the difference).
"""
import argparse
import collections
import math
import re
import statistics
import time
import zlib

import numpy as np

import quarnel
import quarnel_solver as qs

QUERIES = [
    "how do exceptions propagate through try and finally",
    "difference between a list and a tuple",
    "what is a decorator",
    "how are default argument values evaluated",
    "string formatting with format specifiers",
]
DIM = 1024
WORDS_PER_PASSAGE = 150
TIMING_WORDS = 30
STOPWORDS = set("a an and are as at be by do does for from how in is it of on or the to what with".split())


def passages():
    from pydoc_data.topics import topics

    texts = []
    for _, text in sorted(topics.items()):
        current = []
        for paragraph in re.split(r"\n\s*\n", text):
            current.append(paragraph.strip())
            if sum(len(p.split()) for p in current) >= WORDS_PER_PASSAGE:
                texts.append("\n\n".join(current))
                current = []
        if current and sum(len(p.split()) for p in current) >= 20:
            texts.append("\n\n".join(current))
    return texts


def word_windows():
    """The same pages cut into runs of TIMING_WORDS words, for more candidates."""
    from pydoc_data.topics import topics

    texts = []
    for _, text in sorted(topics.items()):
        words = text.split()
        texts += [" ".join(words[k:k + TIMING_WORDS]) for k in range(0, len(words), TIMING_WORDS)]
    return texts


def terms(text):
    return [w for w in re.findall(r"[a-z_][a-z0-9_]+", text.lower()) if w not in STOPWORDS]


class Tfidf:
    def __init__(self, documents):
        self.count = len(documents)
        self.df = collections.Counter(t for doc in documents for t in set(doc))

    def embed(self, words):
        vector = np.zeros(DIM)
        for term, tf in collections.Counter(words).items():
            if term in self.df:
                idf = math.log((1 + self.count) / (1 + self.df[term])) + 1.0
                vector[zlib.crc32(term.encode()) % DIM] += (1.0 + math.log(tf)) * idf
        norm = np.linalg.norm(vector)
        return (vector / norm if norm else vector).astype(np.float32)


def candidates(texts, embeddings, model, query, count):
    query_embedding = model.embed(terms(query))
    relevance = embeddings @ query_embedding
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
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--timing-only", action="store_true", help="only the time per call")
    args = parser.parse_args()
    if args.timing_only:
        timing(args.repeats)
        return

    texts = passages()
    words = [terms(t) for t in texts]
    model = Tfidf(words)
    embeddings_all = np.stack([model.embed(w) for w in words])
    tokens_all = [max(1, round(1.3 * len(t.split()))) for t in texts]
    bare = qs.TabuSearchSolver(qs.SolverConfig())
    layer = quarnel.ContextSelector()
    layer_8192 = quarnel.ContextSelector(8192)
    print(f"{args.candidates} candidates per query from {len(texts)} passages; defaults {quarnel.DEFAULTS}")
    for query in QUERIES:
        query_embedding, picked, relevance = candidates(texts, embeddings_all, model, query, args.candidates)
        embeddings = embeddings_all[picked]
        chosen_texts = [texts[i] for i in picked]
        counts = [tokens_all[i] for i in picked]
        dicts = [
            {"chunk_id": f"p{i}", "content": texts[i], "embedding": embeddings[k], "token_count": counts[k]}
            for k, i in enumerate(picked)
        ]
        out = bare.solve(dicts, query_embedding)
        print(f"\n{query!r}: {int((relevance > 0).sum())} of the candidates have a cosine above 0")
        print(f"  {'selector':<30} {'chosen':>6} {'zero':>6} {'< 0.05':>7} {'mean relevance':>14} {'tokens':>7}")
        print(row("bare module, SolverConfig()", list(out.selected_indices), relevance, out.total_tokens))
        for label, selector in (("ContextSelector()", layer), ("ContextSelector(8192)", layer_8192)):
            sel = selector.select(query_embedding, embeddings, texts=chosen_texts, token_counts=counts)
            print(row(label, list(sel.indices), relevance, sel.total_tokens))

    timing(args.repeats)


def timed(selector, query_embedding, data, repeats, **kwargs):
    """Median select time, native solve time and process CPU time, in ms.

    On a shared machine the wall clock also counts waiting for a core; the
    CPU time does not (with RAYON_NUM_THREADS=1 it is the work of one call).
    """
    times, solve, cpu = [], [], []
    for _ in range(repeats):
        started, started_cpu = time.perf_counter(), time.process_time()
        sel = selector.select(query_embedding, data, **kwargs)
        cpu.append((time.process_time() - started_cpu) * 1000.0)
        times.append((time.perf_counter() - started) * 1000.0)
        solve.append(sel.solve_time_ms)
    return statistics.median(times), statistics.median(solve), statistics.median(cpu), sel


def timing(repeats):
    """The layer's cost per call at 50 and 2,000 candidates, vectors only, and at 50 with the query text.

    Runs of 30 words give 2,000 candidates from the same pages;
    chunks come with their texts and no token counts, so the layer prices
    them by its word estimate, as a caller with plain texts gets.
    """
    texts = word_windows()
    words = [terms(t) for t in texts]
    model = Tfidf(words)
    embeddings_all = np.stack([model.embed(w) for w in words])
    print(f"\nTime per call, median of {repeats}, on the first query ({len(texts)} passages of "
          f"{TIMING_WORDS} words, texts priced by the layer's estimate):")
    layer, unpooled = quarnel.ContextSelector(), quarnel.ContextSelector(pool_size=None)
    for count, selector, label in ((50, layer, "default pool"), (2000, layer, "default pool"),
                                   (2000, unpooled, "pool_size=None")):
        query_embedding, picked, _ = candidates(texts, embeddings_all, model, QUERIES[0], count)
        embeddings = embeddings_all[picked]
        chosen_texts = [texts[i] for i in picked]
        kinds = [("float32 array", embeddings)]
        if count == 50:
            kinds += [("float64 array", embeddings.astype(np.float64)), ("list of lists", embeddings.tolist())]
        # With the query text the layer also builds its lexical coverage (terms
        # remembered per text after the warm-up call, as for a retriever's repeats).
        kinds += [("+ query text", embeddings)] if count == 50 else []
        for kind, data in kinds:
            extra = {"query_text": QUERIES[0]} if kind == "+ query text" else {}
            timed(selector, query_embedding, data, 1, texts=chosen_texts, **extra)  # warm-up
            select_ms, solve_ms, cpu_ms, sel = timed(selector, query_embedding, data, repeats, texts=chosen_texts,
                                                     **extra)
            print(f"  {len(picked):>4} x {DIM} {kind:<14} {label:<15} select {select_ms:7.2f} ms = native solve "
                  f"{solve_ms:6.2f} ms + layer {select_ms - solve_ms:6.2f} ms ({sel.num_candidates} pooled); "
                  f"CPU {cpu_ms:6.2f} ms")

if __name__ == "__main__":
    main()
