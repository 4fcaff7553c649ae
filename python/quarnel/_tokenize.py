"""Search terms of technical text: words, stems and code identifiers.

Words are Unicode word characters, case-folded; English stop words are dropped
(except the ones that name statements, "if", "with", "for" and "while": in
technical text they are what the reader asks about), and the rest are
reduced to their Snowball stems, so "raise", "raised" and "raises" match.

A code identifier (`snake_case`, `dotted.names`, `CamelCase`, `__init__`) is
kept whole, case-folded and unstemmed, so that a query naming
`os.path.join` matches that name exactly, and also split into its parts,
each treated as a word, so that "path" and "join" match it as well.
"""

from __future__ import annotations

import functools
import re
from collections import Counter

import snowballstemmer  # type: ignore[import-untyped]

# Identifiers may join word runs with dots; a trailing dot ends a sentence.
_RAW_TOKEN = re.compile(r"\w+(?:\.\w+)*")
_CAMEL_PART = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+|[^\W\d_]+")

_STOP_WORDS = frozenset(
    """
    a about above after again against all also am an and any are aren as at be because been before being
    below between both but by can cannot could did do does doing down during each few for from further
    had has have having he her here hers herself him himself his how i if in into is it its itself just
    let me more most my myself no nor not now of off on once only or other ought our ours ourselves out
    over own same shall she should so some such than that the their theirs them themselves then there
    these they this those through to too under until up upon us very was we were what when where which
    while who whom why will with would you your yours yourself yourselves
    """.split()
) - {"if", "with", "for", "while"}

_stemmer = snowballstemmer.stemmer("english")
# Distinct raw tokens seen so far and their terms; bounded so that an endless
# stream of new identifiers cannot grow it without limit.
_TERMS_OF_TOKEN: dict[str, tuple[str, ...]] = {}
_TOKEN_CACHE_LIMIT = 200_000


def _word_term(word: str) -> str:
    """The stem of one plain word, or "" for a stop word or a single character."""
    folded = word.casefold()
    if len(folded) < 2 or folded in _STOP_WORDS:
        return ""
    return str(_stemmer.stemWord(folded))


def _is_identifier(token: str) -> bool:
    if "_" in token or "." in token:
        return True
    # CamelCase: an upper-case letter after a lower-case one.
    return any(a.islower() and b.isupper() for a, b in zip(token, token[1:]))


def _token_terms(token: str) -> tuple[str, ...]:
    if not _is_identifier(token):
        term = _word_term(token)
        return (term,) if term else ()
    parts = [p for piece in re.split(r"[._]+", token) for p in _CAMEL_PART.findall(piece)]
    terms = [token.casefold().strip("_")]
    terms += [t for t in map(_word_term, parts) if t and t != terms[0]]
    return tuple(dict.fromkeys(t for t in terms if t))


def _terms_of(token: str) -> tuple[str, ...]:
    cache = _TERMS_OF_TOKEN
    found = cache.get(token)
    if found is None:
        if len(cache) >= _TOKEN_CACHE_LIMIT:
            cache.clear()
        found = cache[token] = _token_terms(token)
    return found


def terms(text: str) -> list[str]:
    """The search terms of a text, in order (an identifier gives its whole name, then its parts)."""
    return [term for token in _RAW_TOKEN.findall(text) for term in _terms_of(token)]


@functools.lru_cache(maxsize=4096)
def term_counts(text: str) -> tuple[dict[str, int], int]:
    """Each term's count in a text, and the text's length in terms.

    Remembered per text: a retriever returns the same chunks for many queries.
    The dictionary is shared between calls; callers must not change it.
    """
    counts: dict[str, int] = {}
    length = 0
    # Distinct tokens first: a passage repeats most of its words.
    for token, repeats in Counter(_RAW_TOKEN.findall(text)).items():
        for term in _terms_of(token):
            counts[term] = counts.get(term, 0) + repeats
            length += repeats
    return counts, length
