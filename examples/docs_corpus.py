"""Python's bundled documentation topics as a retrieval corpus of passages.

The topics are the text behind ``help("try")`` (``pydoc_data.topics``), shipped
with every CPython installation, so the corpus needs no download. Each topic is
chunked into passages of about 60-400 words; a passage remembers its topic,
which serves as its source document (cluster), and a rough rhetorical role.
"""

from __future__ import annotations

import re
import sys
from dataclasses import dataclass

# Chunk sizes in words: merge paragraphs up to the target, never beyond the
# maximum; a passage below the minimum is folded into its neighbour.
MIN_WORDS = 60
TARGET_WORDS = 160
MAX_WORDS = 400
# Passages shorter than this carry too little text to be worth a candidate.
FRAGMENT_WORDS = 15


@dataclass
class Chunk:
    chunk_id: str
    topic: str
    cluster: int
    index: int  # position among the passages of its topic
    text: str
    words: int
    role: str = ""


def load_topics() -> dict[str, str]:
    """The documentation topics shipped with the interpreter, by topic name."""
    try:
        from pydoc_data.topics import topics
    except ImportError:  # stripped-down interpreters may lack the package
        sys.exit("pydoc_data.topics is not available in this Python installation")
    return dict(sorted(topics.items()))


def topic_title(text: str) -> str:
    """The heading a topic opens with ('The "try" statement'), quotes removed."""
    first = text.strip().splitlines()[0] if text.strip() else ""
    return first.replace('"', "").strip()


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


def normalise(text: str) -> str:
    return " ".join(text.split())


def build_chunks(topics: dict[str, str]) -> list[Chunk]:
    """All passages of all topics, each identical passage only once.

    Many passages appear twice: on a statement's own page ("try") and in the
    chapter that contains it ("compound"). Like a real ingestion pipeline we
    drop exact copies, keeping the one from the narrowest topic (fewest
    passages); near-duplicates stay, for the selectors to cope with.
    """
    passages = {topic: chunk_topic(text) for topic, text in topics.items()}
    home: dict[str, tuple[int, str]] = {}  # normalised text -> (topic size, topic)
    for topic, texts in passages.items():
        for text in texts:
            key = normalise(text)
            home[key] = min(home.get(key, (len(texts), topic)), (len(texts), topic))

    chunks = []
    for cluster, (topic, texts) in enumerate(passages.items()):
        for k, text in enumerate(texts):
            if home[normalise(text)][1] != topic:
                continue
            chunks.append(Chunk(f"{topic}#{k}", topic, cluster, k, text, len(text.split()),
                                classify_role(text)))
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
