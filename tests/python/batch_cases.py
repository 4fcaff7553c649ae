"""Shared inputs for the batch tests: queries with ragged candidate lists, and
document shards with exact score ties, plus the single-process answers."""

import numpy as np

from quarnel import ContextSelector
from quarnel.batch import BatchMaxSim

DIM = 16
# No config: the exact window is then bounded by nodes, not by the clock, so a loaded machine
# cannot make two processes choose differently.
SELECTOR_ARGUMENTS = {"token_budget": 300, "max_chunks": 5, "per_source": None}


def selection_columns(queries=40, seed=0):
    """Columns of `queries` rows; candidate counts vary from 0 to 14."""
    rng = np.random.default_rng(seed)
    counts = [0, 1] + [int(c) for c in rng.integers(2, 15, queries - 2)]
    return {
        "query_id": np.arange(1000, 1000 + queries),
        "query_embedding": rng.normal(size=(queries, DIM)).astype(np.float32),
        "embeddings": [rng.normal(size=(c, DIM)).astype(np.float32) for c in counts],
        "ids": [[f"q{q}-c{j}" for j in range(c)] for q, c in enumerate(counts)],
        "token_counts": [rng.integers(10, 120, c).tolist() for c in counts],
    }


def loop_selections(columns, **arguments):
    """The plain loop's answer per query id: (ids, indices, total_tokens, satisfied, violations)."""
    selector = ContextSelector(**{**SELECTOR_ARGUMENTS, **arguments})
    answers = {}
    for row, query_id in enumerate(columns["query_id"].tolist()):
        s = selector.select(columns["query_embedding"][row], columns["embeddings"][row], ids=columns["ids"][row],
                            token_counts=columns["token_counts"][row])
        answers[query_id] = (list(s.ids), list(s.indices), s.total_tokens, s.satisfied, list(s.violations))
    return answers


def batch_answers(query_ids, ids, indices, total_tokens, satisfied, violations):
    """The same shape of answer from a batch's columns."""
    return {
        int(q): (list(i), [int(k) for k in x], int(t), bool(s), list(v))
        for q, i, x, t, s, v in zip(query_ids, ids, indices, total_tokens, satisfied, violations)
    }


def documents(count=60, seed=1):
    """Packed float32 tokens and offsets; every fourth document repeats an earlier one, so scores tie."""
    rng = np.random.default_rng(seed)
    docs = []
    for j in range(count):
        docs.append(docs[j // 2] if j % 4 == 3 else rng.normal(size=(int(rng.integers(1, 7)), DIM)).astype(np.float32))
    tokens = np.concatenate(docs)
    offsets = np.concatenate([[0], np.cumsum([len(d) for d in docs])]).astype(np.int64)
    return tokens, offsets


def query_tokens(queries=30, seed=2):
    rng = np.random.default_rng(seed)
    return [rng.normal(size=(int(rng.integers(1, 5)), DIM)).astype(np.float32) for _ in range(queries)]


def split_shards(tokens, offsets, ids, parts, **arguments):
    """The documents cut into `parts` BatchMaxSim shards that keep the documents' ids."""
    cuts = np.linspace(0, len(offsets) - 1, parts + 1).astype(int)
    shards = []
    for a, b in zip(cuts[:-1], cuts[1:]):
        rows = slice(offsets[a], offsets[b])
        shards.append(BatchMaxSim(tokens[rows], offsets=offsets[a:b + 1] - offsets[a], ids=ids[a:b], **arguments))
    return shards


def tops_by_query(query_ids, ids, scores):
    return {int(q): (list(i), np.asarray(s, np.float32).tolist()) for q, i, s in zip(query_ids, ids, scores)}
