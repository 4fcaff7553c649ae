#!/usr/bin/env python3
"""Select the context for a question from Python's own documentation, offline.

The candidates are the documentation topics bundled with every CPython
installation (``pydoc_data.topics``, the text behind ``help("try")``). The
script turns them into a retrieval candidate set the way a real pipeline would:

1. chunk each topic into passages of about 60-400 words;
2. embed passages and query with a small, deterministic hashed TF-IDF model;
3. derive per-chunk metadata: token counts, rhetorical roles, the source topic
   as cluster, and density / centrality / lead-position scores;
4. retrieve the passages that share a word with the query, keep the closest
   few hundred, and let ``TabuSearchSolver`` choose the subset that best
   answers the query within a token budget and a few constraints.

Run it with ``python examples/select_context.py --query "..."``; ``--help``
lists the flags. ``--json`` prints the selection as one JSON object instead of
the readable report.
"""

from __future__ import annotations

import argparse
import collections
import functools
import json
import keyword
import math
import re
import sys
import time
import zlib
from dataclasses import dataclass

import numpy as np

DEFAULT_QUERY = "how do exceptions propagate through try and finally"

# Chunk sizes in words: merge paragraphs up to the target, never beyond the
# maximum; a passage below the minimum is folded into its neighbour.
MIN_WORDS = 60
TARGET_WORDS = 160
MAX_WORDS = 400
# Passages shorter than this carry too little text to be worth a candidate.
FRAGMENT_WORDS = 15
# Rough sub-word tokens per whitespace word for English prose and code.
TOKENS_PER_WORD = 1.3
# Buckets of the hashed embedding: enough that a query word seldom collides
# with an unrelated word of the same passage.
EMBEDDING_DIM = 1024

# English filler words, minus Python's keywords: in this corpus "with", "if"
# or "is" name the very constructs a reader asks about.
STOPWORDS = frozenset(
    """
    a about above after again all also an and any are as at be because been
    before being below between both but by can could did do does doing down
    during each few for from further had has have having he her here hers him
    his how i if in into is it its itself just may me more most my no nor not
    now of off on once only or other our out over own same she should so some
    such than that the their them then there these they this those through to
    too under until up very was we were what when where which while who whom
    why will with would you your
    """.split()
) - {kw.lower() for kw in keyword.kwlist}

_WORD_RE = re.compile(r"[a-z_][a-z0-9_]*")
_SUFFIXES = ("ing", "ed", "es", "s", "e")


# --------------------------------------------------------------------------
# Corpus and chunking
# --------------------------------------------------------------------------


@dataclass
class Chunk:
    chunk_id: str
    topic: str
    cluster: int
    position: float  # 0.0 for a topic's first passage, towards 1.0 for its last
    text: str
    words: int
    tokens: int
    role: str = ""


def load_topics() -> dict[str, str]:
    """The documentation topics shipped with the interpreter, by topic name."""
    try:
        from pydoc_data.topics import topics
    except ImportError:  # stripped-down interpreters may lack the package
        sys.exit("pydoc_data.topics is not available in this Python installation")
    return dict(sorted(topics.items()))


def _is_underline(line: str) -> bool:
    stripped = line.strip()
    return len(stripped) >= 3 and set(stripped) <= set("*=-~^")


def _blocks(text: str) -> list[tuple[bool, str]]:
    """Split a topic into (is_heading, block) pairs at blank lines.

    A heading is a title line followed by a rule of *, = or -; the rule itself
    is dropped so that it does not count as words.
    """
    blocks = []
    for raw in re.split(r"\n\s*\n", text):
        lines = [line.rstrip() for line in raw.strip("\n").splitlines()]
        if not any(line.strip() for line in lines):
            continue
        if len(lines) == 2 and _is_underline(lines[1]):
            blocks.append((True, lines[0].strip()))
        else:
            blocks.append((False, "\n".join(line for line in lines if not _is_underline(line))))
    return blocks


def _split_long(block: str) -> list[str]:
    """Cut a block longer than MAX_WORDS at line boundaries."""
    pieces, current, count = [], [], 0
    for line in block.splitlines():
        n = len(line.split())
        if current and count + n > MAX_WORDS:
            pieces.append("\n".join(current))
            current, count = [], 0
        current.append(line)
        count += n
    if current:
        pieces.append("\n".join(current))
    return pieces


def chunk_topic(text: str) -> list[str]:
    """Merge a topic's paragraphs into passages of MIN_WORDS..MAX_WORDS words.

    A heading starts a new passage once the current one is long enough, so
    passages tend to stay within one section; a heading is kept with the text
    that follows it.
    """
    passages: list[str] = []
    current: list[str] = []
    count = 0

    def flush():
        nonlocal current, count
        if current:
            passages.append("\n\n".join(current))
        current, count = [], 0

    for is_heading, block in _blocks(text):
        for piece in [block] if is_heading else _split_long(block):
            n = len(piece.split())
            long_enough = count >= MIN_WORDS and (is_heading or count >= TARGET_WORDS)
            if long_enough or count + n > MAX_WORDS:
                flush()
            current.append(piece)
            count += n
    flush()

    # Fold a short tail into the passage before it when they fit together.
    if len(passages) >= 2:
        tail_words = len(passages[-1].split())
        if tail_words < MIN_WORDS and len(passages[-2].split()) + tail_words <= MAX_WORDS:
            passages[-2:] = [passages[-2] + "\n\n" + passages[-1]]
    return [p for p in passages if len(p.split()) >= FRAGMENT_WORDS]


def build_chunks(topics: dict[str, str]) -> list[Chunk]:
    """All passages of all topics, each identical passage only once.

    Many passages appear twice: on a statement's own page ("try") and in the
    chapter that contains it ("compound"). Like a real ingestion pipeline we
    drop exact copies, keeping the one from the narrowest topic (fewest
    passages); near-duplicates are left for the solver's redundancy penalty.
    """
    passages = {topic: chunk_topic(text) for topic, text in topics.items()}
    home: dict[str, tuple[int, str]] = {}  # normalised text -> (topic size, topic)
    for topic, texts in passages.items():
        for text in texts:
            key = " ".join(text.split())
            home[key] = min(home.get(key, (len(texts), topic)), (len(texts), topic))

    chunks = []
    for cluster, (topic, texts) in enumerate(passages.items()):
        for k, text in enumerate(texts):
            if home[" ".join(text.split())][1] != topic:
                continue
            words = len(text.split())
            chunks.append(
                Chunk(
                    chunk_id=f"{topic}#{k}",
                    topic=topic,
                    cluster=cluster,
                    position=k / len(texts),
                    text=text,
                    words=words,
                    tokens=max(1, round(TOKENS_PER_WORD * words)),
                )
            )
    return chunks


# --------------------------------------------------------------------------
# Rhetorical roles
# --------------------------------------------------------------------------

_EXAMPLE_RE = re.compile(r">>>|\bfor (example|instance)\b|\be\.g\.", re.I)
_CONSTRAINT_RE = re.compile(r"\b(must|must not|should not|cannot|is not allowed|it is an error)\b", re.I)
_DEFINITION_RE = re.compile(r"::=|\b(is a|is an|are a|refers to|is defined as|is called|are called|denotes)\b", re.I)


def _looks_like_table(text: str) -> bool:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if not lines:
        return False
    grid = sum(line.startswith(("+--", "+==", "|")) or set(line) <= set("=- ") for line in lines)
    bullets = sum(line.startswith(("* ", "- ", "• ")) for line in lines)
    return grid >= 3 or bullets >= max(3, len(lines) // 2)


def classify_role(text: str) -> str:
    """A rough rhetorical role from surface cues; "" when nothing matches.

    The order matters: a passage with a worked example is most useful as an
    example even if it also states a rule or a definition.
    """
    if _EXAMPLE_RE.search(text):
        return "example"
    if _looks_like_table(text):
        return "table"
    if _CONSTRAINT_RE.search(text):
        return "constraint"
    if _DEFINITION_RE.search(text):
        return "definition"
    return ""


# --------------------------------------------------------------------------
# Hashed TF-IDF embedding
# --------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def _term(word: str) -> str:
    """The search term of a lower-cased word, "" for a word not worth indexing.

    The suffix stripping is crude but consistent: "raise", "raised" and
    "raises" all become "rais", which is all the embedding needs.
    """
    if len(word) < 2 or word in STOPWORDS:
        return ""
    if word.endswith("ies") and len(word) > 4:
        return word[:-3] + "y"
    for suffix in _SUFFIXES:
        if word.endswith(suffix) and len(word) - len(suffix) >= 3 and not word.endswith("ss"):
            return word[: -len(suffix)]
    return word


def tokenize(text: str) -> list[str]:
    """The search terms of a text, in order."""
    return [term for term in map(_term, _WORD_RE.findall(text.lower())) if term]


def _bucket(term: str, dim: int) -> int:
    # crc32 is stable across processes and platforms, unlike the salted
    # built-in hash(). No sign trick: with non-negative vectors every cosine
    # is >= 0, so an unrelated passage never looks "anti-redundant" to the
    # solver's redundancy penalty.
    return zlib.crc32(term.encode("utf-8")) % dim


class HashedTfidf:
    """Sublinear TF x IDF over hashed term buckets, L2-normalised, float32."""

    def __init__(self, documents: list[list[str]], dim: int = EMBEDDING_DIM):
        self.dim = dim
        self.num_documents = len(documents)
        self.doc_freq: dict[str, int] = {}
        for terms in documents:
            for term in set(terms):
                self.doc_freq[term] = self.doc_freq.get(term, 0) + 1

    def idf(self, term: str) -> float:
        # Smoothed, so unseen query terms get the highest weight, not infinity.
        return math.log((1 + self.num_documents) / (1 + self.doc_freq.get(term, 0))) + 1.0

    def known(self, terms: list[str]) -> list[str]:
        """The terms that occur in the corpus. A query word the corpus never
        uses can only match by a hash collision, and with the top IDF weight it
        would swamp the real matches."""
        return [term for term in terms if term in self.doc_freq]

    def embed(self, terms: list[str]) -> np.ndarray:
        vector = np.zeros(self.dim, dtype=np.float64)
        for term, tf in collections.Counter(terms).items():
            vector[_bucket(term, self.dim)] += (1.0 + math.log(tf)) * self.idf(term)
        norm = np.linalg.norm(vector)
        if norm > 0.0:
            vector /= norm
        return vector.astype(np.float32)

    def embed_all(self, documents: list[list[str]]) -> np.ndarray:
        if not documents:
            return np.zeros((0, self.dim), dtype=np.float32)
        return np.stack([self.embed(terms) for terms in documents])


# --------------------------------------------------------------------------
# Per-chunk scores
# --------------------------------------------------------------------------


def percentile_ranks(values: np.ndarray) -> np.ndarray:
    """Map values to [0, 1] by rank, so that differently scaled scores compare."""
    if len(values) <= 1:
        return np.ones(len(values), dtype=np.float32)
    ranks = np.empty(len(values), dtype=np.float64)
    ranks[np.argsort(values, kind="stable")] = np.arange(len(values))
    return (ranks / (len(values) - 1)).astype(np.float32)


def fact_density(chunk_terms: list[list[str]], chunks: list[Chunk]) -> np.ndarray:
    """Distinct content words per word: prose full of filler ranks low."""
    raw = np.array([len(set(terms)) / max(c.words, 1) for terms, c in zip(chunk_terms, chunks)])
    return percentile_ranks(raw)


def topic_centrality(embeddings: np.ndarray, clusters: np.ndarray) -> np.ndarray:
    """Cosine of each passage with its topic's centroid: how typical it is of its topic."""
    scores = np.ones(len(embeddings), dtype=np.float32)
    for cluster in np.unique(clusters):
        members = np.flatnonzero(clusters == cluster)
        centroid = embeddings[members].mean(axis=0)
        norm = np.linalg.norm(centroid)
        if len(members) > 1 and norm > 0.0:
            scores[members] = np.clip(embeddings[members] @ (centroid / norm), 0.0, 1.0)
    return scores


def title_match(topics: list[str], query_terms: set[str]) -> np.ndarray:
    """Share of a topic name's words that the query mentions ("try" for a try question)."""
    scores = []
    for topic in topics:
        words = tokenize(topic.replace("-", " "))
        scores.append(sum(w in query_terms for w in words) / len(words) if words else 0.0)
    return np.array(scores, dtype=np.float32)


# --------------------------------------------------------------------------
# The candidate set
# --------------------------------------------------------------------------


@dataclass
class Corpus:
    chunks: list[Chunk]
    model: HashedTfidf
    terms: list[set[str]]  # the distinct terms of each passage
    embeddings: np.ndarray  # (passages, EMBEDDING_DIM) float32, unit rows
    density: np.ndarray
    centrality: np.ndarray
    num_topics: int


def build_corpus() -> Corpus:
    topics = load_topics()
    chunks = build_chunks(topics)
    terms = [tokenize(c.text) for c in chunks]
    model = HashedTfidf(terms)
    embeddings = model.embed_all(terms)
    for chunk in chunks:
        chunk.role = classify_role(chunk.text)
    clusters = np.array([c.cluster for c in chunks], dtype=np.int64)
    return Corpus(
        chunks=chunks,
        model=model,
        terms=[set(t) for t in terms],
        embeddings=embeddings,
        density=fact_density(terms, chunks),
        centrality=topic_centrality(embeddings, clusters),
        num_topics=len(topics),
    )


def candidate_dicts(corpus: Corpus, picked: np.ndarray, query_terms: set[str]) -> list[dict]:
    """The chunk dictionaries the solver takes, one per pre-selected passage."""
    chunks = [corpus.chunks[i] for i in picked]
    title = title_match([c.topic for c in chunks], query_terms)
    return [
        {
            "chunk_id": chunk.chunk_id,
            "content": chunk.text,
            "embedding": corpus.embeddings[i],
            "token_count": chunk.tokens,
            "fact_density": float(corpus.density[i]),
            "centrality_score": float(corpus.centrality[i]),
            # The documentation carries no dates. A topic opens with the rule
            # and refines it afterwards, so the lead passages stand in for the
            # "freshest" ones.
            "recency_score": 1.0 - chunk.position,
            "auxiliary_score": float(title[k]),
            "rhetorical_role": chunk.role,
            "cluster_id": chunk.cluster,
        }
        for k, (i, chunk) in enumerate(zip(picked, chunks))
    ]


# --------------------------------------------------------------------------
# Solving
# --------------------------------------------------------------------------

# Relevance is a cosine of sparse text vectors (about 0.1-0.5 for a good
# match), so the secondary scores, which span [0, 1], get small weights: they
# break ties rather than outvote relevance. The title match ("auxiliary") is
# worth a little more, as it rarely fires by accident. The redundancy weight
# makes the search prefer a passage that adds something new over a close
# relative of one already chosen.
SOLVER_SETTINGS = dict(
    alpha=1.0,
    beta=0.02,
    gamma=0.02,
    delta=0.01,
    epsilon=0.08,
    lambda_=0.15,
    iterations=100,
    early_stopping_patience=20,
)
# Topics an answer may draw from at most this many passages each.
PER_TOPIC = 2
# Roles the selection should cover when the candidates offer them: a
# statement of what the construct is, and an example of it in use.
WANTED_ROLES = ("definition", "example")


def select_context(query: str, budget: int, max_chunks: int, num_candidates: int) -> dict:
    """Build the candidates for `query`, solve, and describe the selection as a dict."""
    try:
        import quarnel_solver as qs
    except ImportError as error:
        sys.exit(f"quarnel_solver is not importable ({error}); install it with `pip install .` "
                 "or point PYTHONPATH at a build directory")

    started = time.perf_counter()
    corpus = build_corpus()
    query_terms = corpus.model.known(tokenize(query))
    if not query_terms:
        sys.exit(f"none of the words of {query!r} occurs in the documentation")
    query_embedding = corpus.model.embed(query_terms)

    # Retrieval: passages that share a word with the query, the closest
    # first. The solver then trades their relevance against the budget,
    # redundancy and the constraints.
    relevance = corpus.embeddings @ query_embedding
    wanted = set(query_terms)
    matching = np.array([bool(terms & wanted) for terms in corpus.terms])
    ranked = np.argsort(-relevance, kind="stable")
    picked = ranked[matching[ranked]][:num_candidates]
    chunks = candidate_dicts(corpus, picked, wanted)

    offered = {c["rhetorical_role"] for c in chunks}
    required_roles = [role for role in WANTED_ROLES if role in offered]
    constraints = qs.SolverConstraints(
        max_tokens=budget,
        max_chunks=max_chunks,
        max_per_cluster=PER_TOPIC,
        must_include_roles=required_roles,
    )
    solver = qs.TabuSearchSolver(qs.SolverConfig(**SOLVER_SETTINGS))
    prepared = time.perf_counter()
    output = solver.solve(chunks, query_embedding, constraints)
    finished = time.perf_counter()

    selected = []
    for index in output.selected_indices:
        chunk = chunks[index]
        selected.append(
            {
                "chunk_id": chunk["chunk_id"],
                "topic": corpus.chunks[picked[index]].topic,
                "cluster": chunk["cluster_id"],
                "tokens": chunk["token_count"],
                "role": chunk["rhetorical_role"] or "unknown",
                "relevance": round(float(relevance[picked[index]]), 4),
                "text": chunk["content"],
            }
        )
    result = output.to_dict()
    return {
        "query": query,
        "corpus": {
            "topics": corpus.num_topics,
            "passages": len(corpus.chunks),
            "matching": int(matching.sum()),
            "candidates": len(chunks),
        },
        "constraints": {
            "max_tokens": constraints.max_tokens,
            "max_chunks": constraints.max_chunks,
            "max_per_cluster": constraints.max_per_cluster,
            "must_include_roles": required_roles,
        },
        "selected": selected,
        "total_tokens": result["total_tokens"],
        "objective": {
            key: result[key]
            for key in (
                "objective_score", "relevance_total", "density_total", "centrality_total",
                "recency_total", "auxiliary_total", "fulfilment_total", "redundancy_penalty",
            )
        },
        "constraints_satisfied": result["constraints_satisfied"],
        "constraint_violations": result["constraint_violations"],
        "search": {
            key: result[key]
            for key in (
                "iterations_run", "best_iteration", "exact_window_used", "exact_window_core_size",
                "exact_window_nodes", "exact_window_exhaustive",
            )
        },
        "timing_ms": {
            "prepare": round((prepared - started) * 1000.0, 2),
            "solve": round(result["solve_time_ms"], 2),
            "total": round((finished - started) * 1000.0, 2),
        },
    }


# --------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------


def preview(text: str, width: int) -> str:
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[: width - 3] + "..."


def print_report(report: dict) -> None:
    limits = report["constraints"]
    corpus = report["corpus"]
    roles = ", ".join(limits["must_include_roles"]) or "none"
    print(f"Query       {report['query']}")
    print(f"Corpus      {corpus['passages']} passages from {corpus['topics']} documentation topics")
    print(f"Candidates  the {corpus['candidates']} closest of the {corpus['matching']} passages "
          "that share a word with the query")
    print(f"Limits      {limits['max_tokens']} tokens, at most {limits['max_chunks']} chunks, "
          f"{limits['max_per_cluster']} per topic; required roles: {roles}")
    print()

    id_width = max([len("chunk")] + [len(s["chunk_id"]) for s in report["selected"]])
    header = f"  {'#':>2}  {'chunk':<{id_width}}  {'tokens':>6}  {'role':<10}  {'relev.':>6}  text"
    print(header)
    print("  " + "-" * (len(header) + 56))
    for n, item in enumerate(report["selected"], 1):
        print(f"  {n:>2}  {item['chunk_id']:<{id_width}}  {item['tokens']:>6}  {item['role']:<10}  "
              f"{item['relevance']:>6.3f}  {preview(item['text'], 60)}")
    print()

    parts = report["objective"]
    print(f"Selected    {len(report['selected'])} chunks, {report['total_tokens']} of "
          f"{limits['max_tokens']} tokens")
    print(f"Objective   {parts['objective_score']:.4f} = relevance {parts['relevance_total']:.4f}"
          f" + density {parts['density_total']:.4f} + centrality {parts['centrality_total']:.4f}"
          f" + lead {parts['recency_total']:.4f} + title {parts['auxiliary_total']:.4f}"
          f" - redundancy {parts['redundancy_penalty']:.4f}")
    if report["constraints_satisfied"]:
        print("Constraints all satisfied")
    else:
        print("Constraints NOT satisfied: " + "; ".join(report["constraint_violations"]))
    search = report["search"]
    window = "not used"
    if search["exact_window_used"]:
        window = (f"{search['exact_window_core_size']} chunks, {search['exact_window_nodes']} nodes, "
                  + ("exhaustive" if search["exact_window_exhaustive"] else "stopped by its time limit"))
    print(f"Search      {search['iterations_run']} iterations since the last restart, best at iteration "
          f"{search['best_iteration']}; exact window: {window}")
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
                    "within a token budget.",
    )
    parser.add_argument("--query", default=DEFAULT_QUERY, help=f"the question (default: {DEFAULT_QUERY!r})")
    parser.add_argument("--budget", type=positive_int(2**32 - 1), default=2048,
                        help="token budget of the selection (default: 2048)")
    parser.add_argument("--max-chunks", type=positive_int(10_000), default=8,
                        help="most passages to select (default: 8)")
    parser.add_argument("--candidates", type=positive_int(100_000), default=250,
                        help="how many of the most relevant passages the solver considers (default: 250)")
    parser.add_argument("--json", action="store_true", help="print the selection as JSON")
    args = parser.parse_args(argv)

    report = select_context(args.query, args.budget, args.max_chunks, args.candidates)
    if args.json:
        json.dump(report, sys.stdout, indent=2)
        print()
    else:
        print_report(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
